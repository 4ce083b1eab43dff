// MailslotEndpoint: one mailslot handle with its name, in a writer and a reader variant. Both programs
// build these in: the service reads its command slot and writes replies, the panel writes commands and
// reads its reply slot.
//
// Wire form of one message: the text as UTF-16LE code units followed by a single zero byte, so a text of
// n code units travels as 2n+1 bytes. A reader does not rely on that length: it takes the text up to the
// first zero code unit, and a last odd byte counts as a code unit whose high byte is zero.
//
// Failures are reported through results and "[VANTOR]" debug lines, never by exceptions. An endpoint is
// used by one thread at a time; the mailslot itself queues messages from any number of writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Mailslot.h"

namespace kestrel {

// The bytes that carry `text` (2n+1 for n UTF-16 code units).
std::vector<std::uint8_t> EncodeMailslotMessage(std::wstring_view text);
// The text carried by a message of any length: up to the first zero code unit, or all of it.
std::wstring DecodeMailslotMessage(const std::uint8_t* data, std::size_t size);

class MailslotEndpoint {
  public:
    MailslotEndpoint() = default;
    // Closes the handle and empties the name.
    virtual ~MailslotEndpoint();
    MailslotEndpoint(const MailslotEndpoint&) = delete;
    MailslotEndpoint& operator=(const MailslotEndpoint&) = delete;

    // Opens (writer) or creates (reader) the named mailslot; true on success.
    virtual bool Open(const std::wstring& name) = 0;
    virtual bool IsOpen() const { return handle_.valid(); }

    // The name last passed to Open or Create.
    const std::wstring& Name() const { return name_; }

  protected:
    mailslot::MailslotHandle handle_;
    std::wstring name_;
};

// Opens an existing mailslot and sends texts into it.
class MailslotWriter : public MailslotEndpoint {
  public:
    // Closes a handle that is open, then opens the name for writing.
    bool Open(const std::wstring& name) override;
    // Sends the text as one message. A writer whose open failed fails here too, with its own line.
    virtual bool Write(const std::wstring& text);
    // How long a write may wait for room in a full reader before it fails (see mailslot::Write).
    void SetRoomWait(std::uint32_t milliseconds) { roomWaitMs_ = milliseconds; }
    std::uint32_t RoomWait() const { return roomWaitMs_; }

  private:
    std::uint32_t roomWaitMs_ = mailslot::kDefaultRoomWaitMs;
};

// Creates a mailslot and takes one pending text at a time, without ever waiting.
class MailslotReader : public MailslotEndpoint {
  public:
    // The same as Create(name, false).
    bool Open(const std::wstring& name) override;
    // Closes a handle that is open and creates the mailslot anew; with `secure`, under the command
    // slot's access rules. False when the name is refused or held by another reader.
    bool Create(const std::wstring& name, bool secure);
    // The next pending text, or an empty text when there is none or it cannot be read.
    virtual std::wstring Read();
    // The next pending message's text, or nothing when no message waits. Unlike Read, this tells a
    // message whose text is empty (no bytes, or a zero first code unit) from an empty mailslot, so that
    // a reader that stops at "nothing waiting" is not held up by empty messages. A message that waits
    // but cannot be read counts as taken, with an empty text.
    virtual std::optional<std::wstring> ReadMessage();
};

}  // namespace kestrel
