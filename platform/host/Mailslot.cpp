// Host mailslots: one Unix datagram socket per name in a private directory of this user.
//
// A reader binds "<dir>/<name>.slot" while it holds an exclusive flock on "<dir>/<name>.lock". The lock
// tells a live reader from a dead one: the kernel drops it when the holder's process ends, however it
// ends, so a socket file left behind by a crashed reader is simply removed and bound anew, while a name
// whose lock is held belongs to someone else. Lock files stay in place (removing one could let two
// readers lock two different files of the same name). A writer is a datagram socket connected to the
// reader's socket.
//
// The kernel keeps only a few datagrams queued on a socket (net.unix.max_dgram_qlen, 10 by default), far
// fewer than a mailslot must hold. So each reader moves what arrives into a queue of its own: a receiving
// thread waits on the socket and drains it as datagrams come, and GetInfo and Read drain it too before
// they look, so a message written before they are called is always seen. Every move from the socket to
// the queue happens under the reader's lock, which keeps the order of arrival. The queue is bounded by
// kMaxQueuedBytes; once it is full the socket is left alone, its few places fill up, and writers then
// fail after the wait they ask for (half a second by default) with kErrorNoSystemResources.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Mailslot.h"
#include "platform/host/ErrnoMapping.h"

namespace kestrel::mailslot {
namespace {

// The longest wait for room a writer may ask for when the socket's own queue is full. The receiving
// thread makes room at once unless the reader's queue is at its bound or its process is stopped.
constexpr int kMaxRoomWaitMs = 60000;
// How many datagrams one pass moves from the socket under the reader's lock, so that neither GetInfo nor
// the receiving thread holds it for long while writers keep sending.
constexpr std::size_t kDrainBatch = 64;
// How long the receiving thread pauses when a datagram could not be taken (no memory for it).
constexpr int kStuckPauseMs = 10;

struct FdTraits {
    using value_type = int;
    static int Invalid() noexcept { return -1; }
    static void Close(int fd) noexcept { ::close(fd); }
};
using Fd = UniqueHandle<FdTraits>;

// What a host mailslot handle points at: a writer's connected socket, or a ReaderSlot.
struct HostSlot {
    explicit HostSlot(bool isReader) : reader(isReader) {}
    virtual ~HostSlot() = default;
    HostSlot(const HostSlot&) = delete;
    HostSlot& operator=(const HostSlot&) = delete;

    const bool reader;
    Fd socket;
};

struct WriterSlot : HostSlot {
    WriterSlot() : HostSlot(false) {}
};

class ReaderSlot : public HostSlot {
  public:
    ReaderSlot(Fd boundSocket, Fd nameLock, std::string path) : HostSlot(true) {
        socket = std::move(boundSocket);
        lock_ = std::move(nameLock);
        socketPath_ = std::move(path);
    }

    // Stops the receiving thread, then removes the socket file while the lock is still held, so that no
    // new reader can take the name before the socket is gone.
    ~ReaderSlot() override {
        if (receiver_.joinable()) {
            {
                std::lock_guard guard(mutex_);
                stopping_ = true;
            }
            room_.notify_all();
            const std::uint64_t one = 1;
            while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
            }
            receiver_.join();
        }
        ::unlink(socketPath_.c_str());
        socket.reset();
        lock_.reset();
    }

    // Starts the receiving thread. kErrorSuccess or the error code.
    std::uint32_t Start() {
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_)
            return host::Win32ErrorFromErrno(errno);
        // The thread takes no signals: they belong to the threads of the program that handle them.
        sigset_t all, previous;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous);
        std::uint32_t error = kErrorSuccess;
        try {
            receiver_ = std::thread([this] { Receive(); });
        } catch (const std::system_error&) {
            error = kErrorNoSystemResources;
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return error;
    }

    std::uint32_t Info(MailslotInfo& info) {
        std::lock_guard guard(mutex_);
        DrainLocked();
        if (!queue_.empty()) {
            const std::size_t next = queue_.front().size();
            info.nextSize = next >= kNoMessage ? kNoMessage - 1 : static_cast<std::uint32_t>(next);
            info.count = static_cast<std::uint32_t>(queue_.size());
        }
        return kErrorSuccess;
    }

    std::uint32_t Take(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) {
        std::lock_guard guard(mutex_);
        if (queue_.empty())
            DrainLocked();
        if (queue_.empty())
            return kErrorSemTimeout;
        std::vector<std::uint8_t>& front = queue_.front();
        if (front.size() > size)
            return kErrorInsufficientBuffer;  // the message stays, as on Windows
        if (!front.empty())
            std::memcpy(buffer, front.data(), front.size());
        bytesRead = static_cast<std::uint32_t>(front.size());
        const bool wasFull = queuedBytes_ >= kMaxQueuedBytes;
        queuedBytes_ -= front.size() + kQueuedMessageOverhead;
        queue_.pop_front();
        if (wasFull && queuedBytes_ < kMaxQueuedBytes)
            room_.notify_one();
        return kErrorSuccess;
    }

  private:
    enum class Drained { kEmpty, kFull, kStuck };

    // Moves up to kDrainBatch datagrams from the socket into the queue while it has room. The caller
    // holds mutex_.
    Drained DrainLocked() {
        for (std::size_t moved = 0; moved < kDrainBatch;) {
            if (queuedBytes_ >= kMaxQueuedBytes)
                return Drained::kFull;
            // With MSG_TRUNC the result is the whole length of the next datagram (0 for an empty one).
            ssize_t length = ::recv(socket.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
            if (length < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK ? Drained::kEmpty : Drained::kStuck;
            }
            std::vector<std::uint8_t> message;
            try {
                message.resize(static_cast<std::size_t>(length));
                queue_.emplace_back();
            } catch (const std::bad_alloc&) {
                return Drained::kStuck;  // left in the socket for a later pass
            }
            char none = 0;
            ssize_t got = ::recv(socket.get(), length > 0 ? static_cast<void*>(message.data()) : &none,
                                 message.size(), MSG_DONTWAIT);
            if (got < 0) {
                queue_.pop_back();
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK ? Drained::kEmpty : Drained::kStuck;
            }
            message.resize(static_cast<std::size_t>(got) < message.size() ? static_cast<std::size_t>(got)
                                                                          : message.size());
            queuedBytes_ += message.size() + kQueuedMessageOverhead;
            queue_.back() = std::move(message);
            ++moved;
        }
        return Drained::kEmpty;  // a batch moved; the next pass takes the rest
    }

    // The receiving thread: waits for datagrams (or for room, while the queue is full) and moves them
    // into the queue until the reader is closed.
    void Receive() {
        pollfd ready[2] = {{socket.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        for (;;) {
            {
                std::unique_lock guard(mutex_);
                room_.wait(guard, [this] { return stopping_ || queuedBytes_ < kMaxQueuedBytes; });
                if (stopping_)
                    return;
            }
            int count = ::poll(ready, 2, -1);
            if (count < 0) {
                if (errno != EINTR)
                    ::poll(&ready[1], 1, kStuckPauseMs);
                continue;
            }
            if (ready[1].revents != 0)
                return;  // closing
            if (ready[0].revents == 0)
                continue;
            Drained drained;
            {
                std::lock_guard guard(mutex_);
                if (stopping_)
                    return;
                drained = DrainLocked();
            }
            if (drained == Drained::kStuck)
                ::poll(&ready[1], 1, kStuckPauseMs);
        }
    }

    Fd lock_;                 // the flock that marks the name as taken
    std::string socketPath_;  // removed on close, while the lock is still held
    Fd wake_;                 // an eventfd that tells the receiving thread to end
    std::mutex mutex_;
    std::condition_variable room_;  // signalled when a full queue gets room again
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queuedBytes_ = 0;  // sizes plus kQueuedMessageOverhead per message
    bool stopping_ = false;
    std::thread receiver_;
};

HostSlot* FromRaw(RawMailslot raw) {
    if (raw == kInvalidMailslot || raw == 0)
        return nullptr;
    return reinterpret_cast<HostSlot*>(raw);
}

ReaderSlot* ReaderFromRaw(RawMailslot raw) {
    HostSlot* slot = FromRaw(raw);
    return slot != nullptr && slot->reader ? static_cast<ReaderSlot*>(slot) : nullptr;
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
    auto* slot = new (std::nothrow) ReaderSlot(std::move(socket), std::move(lock), socketPath);
    if (slot == nullptr) {
        ::unlink(socketPath.c_str());
        result.error = kErrorNotEnoughMemory;
        return result;
    }
    result.handle.reset(ToRaw(slot));  // from here on, closing the handle undoes everything
    result.error = slot->Start();
    if (result.error != kErrorSuccess)
        result.handle.reset();
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
    auto* slot = new (std::nothrow) WriterSlot;
    if (slot == nullptr) {
        result.error = kErrorNotEnoughMemory;
        return result;
    }
    slot->socket = std::move(socket);
    result.handle.reset(ToRaw(slot));
    return result;
}

std::uint32_t Write(RawMailslot writer, const void* data, std::uint32_t size, std::uint32_t roomWaitMs) {
    HostSlot* slot = FromRaw(writer);
    if (slot == nullptr || slot->reader)
        return kErrorInvalidHandle;
    if (data == nullptr && size != 0)
        return kErrorInvalidParameter;
    const char empty = 0;
    if (data == nullptr)
        data = &empty;
    const int wait = roomWaitMs < static_cast<std::uint32_t>(kMaxRoomWaitMs) ? static_cast<int>(roomWaitMs)
                                                                             : kMaxRoomWaitMs;
    int waited = 0;
    for (;;) {
        ssize_t sent = ::send(slot->socket.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<std::uint32_t>(sent) == size ? kErrorSuccess : kErrorGenFailure;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return host::Win32ErrorFromErrno(errno);
        // The socket's few places are taken: the reader's thread empties them at once unless the reader's
        // queue is full, so wait a little for room before giving up.
        if (waited >= wait)
            return kErrorNoSystemResources;
        pollfd ready{slot->socket.get(), POLLOUT, 0};
        int step = wait - waited < 50 ? wait - waited : 50;
        ::poll(&ready, 1, step);
        waited += step;
    }
}

std::uint32_t GetInfo(RawMailslot reader, MailslotInfo& info) {
    info = MailslotInfo{};
    ReaderSlot* slot = ReaderFromRaw(reader);
    if (slot == nullptr)
        return kErrorInvalidHandle;
    return slot->Info(info);
}

std::uint32_t Read(RawMailslot reader, void* buffer, std::uint32_t size, std::uint32_t& bytesRead) {
    bytesRead = 0;
    ReaderSlot* slot = ReaderFromRaw(reader);
    if (slot == nullptr)
        return kErrorInvalidHandle;
    if (buffer == nullptr && size != 0)
        return kErrorInvalidParameter;
    return slot->Take(buffer, size, bytesRead);
}

}  // namespace kestrel::mailslot
