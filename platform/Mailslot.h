// The mailslot boundary: one-way, message-preserving local channels addressed by name.
//
// On Windows these are real mailslots (CreateMailslotW, CreateFileW, GetMailslotInfo, ReadFile,
// WriteFile). On the host each name is one Unix datagram socket; datagrams keep both the message
// boundaries and their order. The kernel queues only a few datagrams on a socket, so a host reader keeps
// a thread of its own that moves them as they come into the reader's own queue; that queue, not a system
// setting, decides how much a reader holds (kMaxQueuedBytes). The host's sockets live in one directory,
// chosen in this order: $KESTREL_MAILSLOT_DIR (host mode points it into its state directory, tests at a
// directory of their own), else $XDG_RUNTIME_DIR/kestrel, else /tmp/kestrel-<uid>. Its last component is
// created with mode 0700 when missing; it must be a real directory (not a link) of this user, or every create
// and open fails with kErrorAccessDenied, and access for others is taken away. NAME (folded to lower case)
// becomes "NAME.slot", the socket, and "NAME.lock", a lock file held with flock by the live reader, so that a
// reader that died leaves nothing that blocks the next one. A socket path must fit a socket address (107
// bytes): a longer one fails with kErrorFilenameExcedRange, so the directory's path should stay under
// about 37 characters for the longest names (the default directories do).
//
// Names: only local names of the form "\\.\mailslot\NAME" are accepted, where NAME is 1 to
// kMaxMailslotNameLength characters from A-Z, a-z, 0-9, '_', '-' and '.', contains no ".." and does not end
// with '.' (Windows drops trailing dots from a path, which would make two spellings name one slot). The
// prefix is matched without regard to case, and so is NAME: mailslot names are case-insensitive on
// Windows, and the host folds NAME to lower case. Every other name is refused with kErrorInvalidName before
// anything is opened or created, so a name never reaches the file system as a path of its own choosing.
//
// Errors are Win32 error codes on both targets; the host maps its failures onto the same codes.
// Nothing here throws. Each handle is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Handle.h"
#include "platform/SystemError.h"

namespace kestrel::mailslot {

// A raw mailslot handle: a HANDLE on Windows, an object of the host implementation on the host. -1 is
// the invalid value on both (INVALID_HANDLE_VALUE on Windows).
using RawMailslot = std::intptr_t;
inline constexpr RawMailslot kInvalidMailslot = -1;

struct MailslotHandleTraits {
    using value_type = RawMailslot;
    static RawMailslot Invalid() noexcept { return kInvalidMailslot; }
    // Closes a reader (which gives its name free again) or a writer.
    static void Close(RawMailslot handle) noexcept;
};
using MailslotHandle = UniqueHandle<MailslotHandleTraits>;

// Win32 error codes (platform/SystemError.h); the host maps its failures onto them.
using namespace kestrel::errors;

// How much a host reader keeps for its reader: messages wait, in order, until they are read, up to
// kMaxQueuedBytes, each message counted as its size plus kQueuedMessageOverhead (so a flood of empty
// messages is bounded too). That is thousands of the protocol's requests and replies. Once a reader
// holds that much it takes no more until it is read; writes then fail with kErrorNoSystemResources, as a
// Windows mailslot's do when the system has no room left for a message. Windows has no bound of its own.
inline constexpr std::size_t kMaxQueuedBytes = std::size_t{1} << 20;
inline constexpr std::size_t kQueuedMessageOverhead = 64;

// The next-size value that means "no message waiting" (MAILSLOT_NO_MESSAGE).
inline constexpr std::uint32_t kNoMessage = 0xFFFFFFFF;

inline constexpr std::size_t kMaxMailslotNameLength = 64;
inline constexpr std::wstring_view kMailslotPrefix = L"\\\\.\\mailslot\\";

// The access rules of the service's command mailslot: deny everything to built-in guests and anonymous
// logons, read, write and execute for authenticated users, everything for administrators, each entry
// inherited by objects and containers. Security descriptor text, revision 1.
inline constexpr std::wstring_view kCommandSlotSecurity =
    L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)";

// The NAME part of an accepted mailslot name (as given, case kept), or an empty view when the name is
// refused. Pure text check; identical on both targets.
inline std::wstring_view MailslotShortName(std::wstring_view name) {
    if (name.size() <= kMailslotPrefix.size())
        return {};
    for (std::size_t i = 0; i < kMailslotPrefix.size(); ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kMailslotPrefix[i])
            return {};
    }
    std::wstring_view shortName = name.substr(kMailslotPrefix.size());
    if (shortName.size() > kMaxMailslotNameLength)
        return {};
    for (wchar_t c : shortName) {
        bool allowed = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                       c == L'_' || c == L'-' || c == L'.';
        if (!allowed)
            return {};
    }
    if (shortName.find(L"..") != std::wstring_view::npos || shortName.back() == L'.')
        return {};
    return shortName;
}

inline bool IsValidMailslotName(std::wstring_view name) {
    return !MailslotShortName(name).empty();
}

// The outcome of CreateReader. `handle` is valid on success; otherwise `error` says why. When a
// security descriptor was asked for and could not be built, `descriptorError` holds that error code and
// the mailslot is created with default security nonetheless.
struct CreateResult {
    MailslotHandle handle;
    std::uint32_t error = kErrorSuccess;
    std::uint32_t descriptorError = kErrorSuccess;
};

// The outcome of OpenWriter: a valid handle, or an invalid one and the error code.
struct OpenResult {
    MailslotHandle handle;
    std::uint32_t error = kErrorSuccess;
};

// What is waiting in a reader: the size in bytes of the next message (kNoMessage when there is none) and
// the number of messages. Only the size is reliable: Wine counts a message of no bytes as none.
struct MailslotInfo {
    std::uint32_t nextSize = kNoMessage;
    std::uint32_t count = 0;
};

// Creates the reading end of a mailslot: any message size, and a read never waits. On Windows the read
// time-out is 0 rather than MAILSLOT_WAIT_FOREVER: a caller asks GetInfo before it reads, so whenever a
// message is there both time-outs behave alike, and when GetInfo and the read disagree (a message of no
// bytes under Wine) a read with time-out 0 fails at once where the other would stall its thread for good.
// On the host, closing the handle also ends the reader's receiving thread and drops what it held. With
// `secure`, the slot gets the kCommandSlotSecurity descriptor (Windows; the host's mailslot directory is
// private to its user anyway). Fails with kErrorAlreadyExists when another reader, in this or any other
// process, holds the name. The caller owns the handle; closing it frees the name.
CreateResult CreateReader(const std::wstring& name, bool secure);

// Opens the writing end of an existing mailslot. Fails (kErrorFileNotFound) when nobody reads the name.
// The caller owns the handle.
OpenResult OpenWriter(const std::wstring& name);

// How long a host write waits at most for room in a full reader (milliseconds, real time).
inline constexpr std::uint32_t kDefaultRoomWaitMs = 500;

// Sends one message of `size` bytes (0 is allowed). kErrorSuccess, or the error code. On the host, when
// the reader holds kMaxQueuedBytes already (or its thread lags behind, or its process is stopped), the call
// waits up to `roomWaitMs` for room and then fails with kErrorNoSystemResources; the message is not sent.
// A writer that must not be held up by a reader it does not control (the service answering whoever
// asked) passes a short wait. A Windows mailslot write never waits for its reader; there the wait
// changes nothing.
std::uint32_t Write(RawMailslot writer, const void* data, std::uint32_t size,
                    std::uint32_t roomWaitMs = kDefaultRoomWaitMs);

// Asks a reader what is waiting, without waiting. kErrorSuccess and `info`, or the error code.
std::uint32_t GetInfo(RawMailslot reader, MailslotInfo& info);

// Takes the next message into `buffer`, which must hold at least its size (from GetInfo); `bytesRead`
// receives the message's length. Without a message it fails at once with kErrorSemTimeout. A message of
// no bytes may fail to read (Wine reports ERROR_BROKEN_PIPE) but is taken out all the same. kErrorSuccess or
// the error code (kErrorInsufficientBuffer when the buffer is too small, and the message stays; Wine
// instead fills the buffer, reports success and drops the rest).
std::uint32_t Read(RawMailslot reader, void* buffer, std::uint32_t size, std::uint32_t& bytesRead);

}  // namespace kestrel::mailslot
