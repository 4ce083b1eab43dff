// Host mailslots: one Unix datagram socket per name in a private directory of this user.
//
// A reader binds "<dir>/<name>.slot" while it holds an exclusive flock on "<dir>/<name>.lock". The lock
// tells a live reader from a dead one: the kernel drops it when the holder's process ends, however it
// ends, so a socket file left behind by a crashed reader is simply removed and bound anew, while a name
// whose lock is held belongs to someone else. Lock files stay in place (removing one could let two
// readers lock two different files of the same name). A writer is a datagram socket connected to the
// reader's socket. Every call that could wait is made non-blocking.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/Mailslot.h"
#include "platform/host/ErrnoMapping.h"

namespace kestrel::mailslot {
namespace {

// How long a writer waits for room when the reader's queue is full before it gives up.
constexpr int kFullQueueWaitMs = 500;

struct FdTraits {
    using value_type = int;
    static int Invalid() noexcept { return -1; }
    static void Close(int fd) noexcept { ::close(fd); }
};
using Fd = UniqueHandle<FdTraits>;

// What a host mailslot handle points at.
struct HostSlot {
    Fd socket;
    Fd lock;                 // readers only: the flock that marks the name as taken
    std::string socketPath;  // readers only: removed on close, while the lock is still held

    ~HostSlot() {
        if (!socketPath.empty())
            ::unlink(socketPath.c_str());
        socket.reset();
        lock.reset();  // last, so that no new reader can take the name before the socket is gone
    }
};

HostSlot* FromRaw(RawMailslot raw) {
    if (raw == kInvalidMailslot || raw == 0)
        return nullptr;
    return reinterpret_cast<HostSlot*>(raw);
}

// The directory of the sockets, created when missing; it must be this user's and closed to others.
std::uint32_t SlotDirectory(std::string& dir) {
    const char* chosen = std::getenv("KESTREL_MAILSLOT_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (chosen != nullptr && *chosen != '\0') {
        dir = chosen;
    } else if (runtime != nullptr && runtime[0] == '/') {
        dir = std::string(runtime) + "/kestrel";
    } else {
        dir = "/tmp/kestrel-" + std::to_string(::geteuid());
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return host::Win32ErrorFromErrno(errno);
    struct stat status {};
    if (::lstat(dir.c_str(), &status) != 0)
        return host::Win32ErrorFromErrno(errno);
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        return kErrorAccessDenied;
    if ((status.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return kErrorAccessDenied;
    return kErrorSuccess;
}

// The socket address of a mailslot name, and the path of its lock file.
std::uint32_t SlotPaths(const std::wstring& name, sockaddr_un& address, std::string& socketPath,
                        std::string& lockPath) {
    std::wstring_view shortName = MailslotShortName(name);
    if (shortName.empty())
        return kErrorInvalidName;
    std::string base;
    if (std::uint32_t error = SlotDirectory(base); error != kErrorSuccess)
        return error;
    base += '/';
    for (wchar_t c : shortName) {  // only ASCII letters, digits, '_', '-' and '.' get here
        char ascii = static_cast<char>(c);
        base += (ascii >= 'A' && ascii <= 'Z') ? static_cast<char>(ascii - 'A' + 'a') : ascii;
    }
    socketPath = base + ".slot";
    lockPath = base + ".lock";
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
        return kErrorFilenameExcedRange;
    socketPath.copy(address.sun_path, socketPath.size());
    return kErrorSuccess;
}

RawMailslot ToRaw(HostSlot* slot) {
    return reinterpret_cast<RawMailslot>(slot);
}

}  // namespace

void MailslotHandleTraits::Close(RawMailslot handle) noexcept {
    delete FromRaw(handle);
}

CreateResult CreateReader(const std::wstring& name, bool /*secure*/) {
    CreateResult result;
    sockaddr_un address;
    std::string socketPath, lockPath;
    result.error = SlotPaths(name, address, socketPath, lockPath);
    if (result.error != kErrorSuccess)
        return result;

    Fd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        result.error = errno == EWOULDBLOCK ? kErrorAlreadyExists : host::Win32ErrorFromErrno(errno);
        return result;
    }
    // The name is ours now; a socket file still there was left by a reader that died.
    if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    auto* slot = new (std::nothrow) HostSlot;
    if (slot == nullptr) {
        ::unlink(socketPath.c_str());
        result.error = kErrorNotEnoughMemory;
        return result;
    }
    slot->socket = std::move(socket);
    slot->lock = std::move(lock);
    slot->socketPath = std::move(socketPath);
    result.handle.reset(ToRaw(slot));
    return result;
}

OpenResult OpenWriter(const std::wstring& name) {
    OpenResult result;
    sockaddr_un address;
    std::string socketPath, lockPath;
    result.error = SlotPaths(name, address, socketPath, lockPath);
    if (result.error != kErrorSuccess)
        return result;

    Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        result.error = host::Win32ErrorFromErrno(errno);
        return result;
    }
    auto* slot = new (std::nothrow) HostSlot;
    if (slot == nullptr) {
        result.error = kErrorNotEnoughMemory;
        return result;
    }
    slot->socket = std::move(socket);
    result.handle.reset(ToRaw(slot));
    return result;
}

std::uint32_t Write(RawMailslot writer, const void* data, std::uint32_t size) {
    HostSlot* slot = FromRaw(writer);
    if (slot == nullptr || !slot->socketPath.empty())
        return kErrorInvalidHandle;
    if (data == nullptr && size != 0)
        return kErrorInvalidParameter;
    const char empty = 0;
    if (data == nullptr)
        data = &empty;
    int waited = 0;
    for (;;) {
        ssize_t sent = ::send(slot->socket.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<std::uint32_t>(sent) == size ? kErrorSuccess : kErrorGenFailure;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return host::Win32ErrorFromErrno(errno);
        // The reader's queue is full: wait a little for room, as a reader that polls makes some soon.
        if (waited >= kFullQueueWaitMs)
            return kErrorNoSystemResources;
        pollfd ready{slot->socket.get(), POLLOUT, 0};
        int step = kFullQueueWaitMs - waited < 50 ? kFullQueueWaitMs - waited : 50;
        ::poll(&ready, 1, step);
        waited += step;
    }
}

std::uint32_t GetInfo(RawMailslot reader, MailslotInfo& info) {
    info = MailslotInfo{};
    HostSlot* slot = FromRaw(reader);
    if (slot == nullptr || slot->socketPath.empty())
        return kErrorInvalidHandle;
    for (;;) {
        // With MSG_TRUNC the result is the whole length of the next datagram (0 for an empty one).
        ssize_t next = ::recv(slot->socket.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (next >= 0) {
            info.nextSize =
                next >= static_cast<ssize_t>(kNoMessage) ? kNoMessage - 1 : static_cast<std::uint32_t>(next);
            info.count = 1;
            return kErrorSuccess;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kErrorSuccess;
        return host::Win32ErrorFromErrno(errno);
    }
}

std::uint32_t Read(RawMailslot reader, void* buffer, std::uint32_t size, std::uint32_t& bytesRead) {
    bytesRead = 0;
    HostSlot* slot = FromRaw(reader);
    if (slot == nullptr || slot->socketPath.empty())
        return kErrorInvalidHandle;
    if (buffer == nullptr && size != 0)
        return kErrorInvalidParameter;
    char empty = 0;
    if (buffer == nullptr)
        buffer = &empty;
    for (;;) {
        ssize_t got = ::recv(slot->socket.get(), buffer, size, MSG_TRUNC | MSG_DONTWAIT);
        if (got >= 0) {
            if (static_cast<std::size_t>(got) > size) {
                bytesRead = size;
                return kErrorInsufficientBuffer;
            }
            bytesRead = static_cast<std::uint32_t>(got);
            return kErrorSuccess;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kErrorSemTimeout;
        return host::Win32ErrorFromErrno(errno);
    }
}

}  // namespace kestrel::mailslot
