// ReplySender: the answer to one command. It owns one writer endpoint on the mailslot that the request
// named, sends "CODE, TEXT" lines into it, and closes it when destroyed, so every command opens the
// client's mailslot anew and holds nothing between commands.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Reply.h"

namespace kestrel::core {

// Makes the writer endpoint of a sender. The service uses plain MailslotWriters; tests and the fuzz
// target put recording ones in their place.
using ReplyWriterFactory = std::function<std::unique_ptr<MailslotWriter>()>;

class ReplySender {
  public:
    // How long writes may wait for room in a full client mailslot: each at most `perReply`, and all the
    // writes that share this budget at most `left` together (milliseconds); the time a write waited is
    // taken off `left`.
    struct RoomWait {
        std::uint32_t perReply = 0;
        std::uint32_t left = 0;
    };

    // An empty factory makes MailslotWriters. With `roomWait`, writes wait for room only within that
    // shared budget (the command thread shares one between all the replies of a period, so that clients
    // whose mailslots are full or whose readers have stopped cannot hold up the others); without it a
    // write waits as long as a writer does by default.
    explicit ReplySender(ReplyWriterFactory factory = {}, RoomWait* roomWait = nullptr);
    ReplySender(const ReplySender&) = delete;
    ReplySender& operator=(const ReplySender&) = delete;

    // Drops the writer it owns, makes a new one and opens `name` with it. False when the open failed;
    // the writer is kept all the same, and each later send then fails with its own debug line.
    bool Open(const std::wstring& name);
    // Sends ComposeReply(code, text). A sender that was never opened sends nothing and answers false:
    // that is the sender of a request whose reply name may not be answered.
    bool Send(int code, std::wstring_view text);
    // Sends the six statistics numbers with code 22.
    bool SendNumbers(const protocol::Statistics& numbers);

    bool HasWriter() const { return writer_ != nullptr; }

  private:
    ReplyWriterFactory factory_;
    RoomWait* roomWait_;
    std::unique_ptr<MailslotWriter> writer_;
};

}  // namespace kestrel::core
