// Host change notification: one inotify instance per open drive, one watch per directory of its backing
// directory's subtree.
//
// inotify reports writes, not size changes, so the watch remembers the size of every file below the root
// (read when a directory is first watched) and turns a write into a record only when the file's size is
// no longer the one remembered. New directories are watched as they appear; a file that already has data
// when its new directory is first read grew before the watch could see it and is reported then. Moves
// within the tree carry the remembered sizes along; directories moved or deleted out of the tree are
// forgotten. When the kernel's event queue overflows, the whole tree is read again and every file whose
// size differs from the remembered one is reported, so nothing is lost.
//
// A drive with a simulated layout beneath its directory (DriveEntry::layout) has it brought up to date
// with every event as the event is read: a file written, created or deleted is synced, a move within the
// tree carries its clusters along, a directory that appears, goes or moves in or out is compared as a
// whole, and after an overflow the whole drive is. Records are only ever delivered after the events that
// produced them were read, so the layout has followed a file before the watcher hears of it.
//
// Records wait in a queue until a Read is outstanding; each completion fills the caller's buffer with as
// many whole records as fit and keeps the rest for the next Read. Only when that queue itself passes its
// limit are its records dropped, and the next completion then reports 0 bytes with
// ERROR_NOTIFY_ENUM_DIR, as Windows does when its buffer overflows.
#include "platform/host/InotifyChangeNotification.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/Utf16.h"
#include "platform/FsRecords.h"

namespace kestrel::notify {
namespace {

constexpr std::uint32_t kEventMask = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// How long one poll of the inotify descriptor lasts before the stop event is looked at again (real ms).
// Records wake the poll at once; the period only bounds how late a stop is seen, and each wake-up costs
// the idle service processor time (at 10 ms the change threads alone took about 0.1 % of a core per
// watched drive), so it is a fifth of a second: far inside the several seconds a watcher's other
// threads may take to end.
constexpr int kPollMs = 200;
// Records kept for the next Read at most; beyond that they are dropped and reported as an overflow.
constexpr std::size_t kMaxPending = 100000;
constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
constexpr std::size_t kRecordHeader = offsetof(fs::FILE_NOTIFY_INFORMATION, FileName);

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

bool HasPrefixDir(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

class InotifyWatch : public DirectoryWatch {
  public:
    InotifyWatch(int fd, std::string root, std::shared_ptr<drives::DriveLayout> layout)
        : fd_(fd), root_(std::move(root)), layout_(std::move(layout)) {
        AddTree("", false);
        // The files may have changed since the layout was made; from here on the watches see every change.
        SyncTree("");
    }
    ~InotifyWatch() override { close(fd_); }

    std::intptr_t Value() const override { return fd_; }
    // The backing directory itself was deleted, moved away or unmounted: whatever takes its place is
    // not watched, so nothing will arrive from here on.
    bool Alive() const override { return !rootGone_.load(); }

    std::uint32_t Read(void* buffer, std::uint32_t size, BatchHandler& handler) override {
        if (outstanding_)
            return kErrorInvalidFunction;
        buffer_ = static_cast<std::uint8_t*>(buffer);
        size_ = size;
        handler_ = &handler;
        outstanding_ = true;
        return 0;
    }

    WaitResult Wait(timing::Event& stop) override {
        for (;;) {
            if (stop.IsSet())
                return WaitResult::Stopped;
            if (outstanding_ && (!pending_.empty() || lost_)) {
                Deliver();
                return WaitResult::Completed;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, kPollMs) > 0 && (p.revents & POLLIN) != 0)
                ReadEvents();
        }
    }

  private:
    struct Pending {
        std::u16string name;  // relative to the root, with backslashes
    };

    std::string Full(const std::string& relative) const {
        return relative.empty() ? root_ : root_ + "/" + relative;
    }

    // The layout's path of a path relative to the root: "\\" and the names, separated by backslashes.
    static std::wstring VolumePath(const std::string& relative) {
        std::wstring path = L"\\" + FromUtf8(relative);
        for (wchar_t& c : path) {
            if (c == L'/')
                c = L'\\';
        }
        return path;
    }
    void SyncFile(const std::string& relative) {
        if (layout_)
            layout_->FileChanged(VolumePath(relative));
    }
    void SyncTree(const std::string& relative) {
        if (layout_)
            layout_->TreeChanged(relative.empty() ? std::wstring(L"\\") : VolumePath(relative));
    }

    void Report(const std::string& relative) {
        if (pending_.size() >= kMaxPending) {
            pending_.clear();
            lost_ = true;
            return;
        }
        std::wstring wide = FromUtf8(relative);
        for (wchar_t& c : wide) {
            if (c == L'/')
                c = L'\\';
        }
        pending_.push_back({ToUtf16(wide)});
    }

    // Remembers a file's current size; reports it when it differs from the remembered one (or, for a file
    // not known before, when `reportUnknown` and it has data).
    void Measure(const std::string& relative, bool reportUnknown) {
        struct stat st {};
        if (lstat(Full(relative).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        auto it = sizes_.find(relative);
        if (it == sizes_.end()) {
            sizes_.emplace(relative, size);
            if (reportUnknown && size > 0)
                Report(relative);
        } else if (it->second != size) {
            it->second = size;
            Report(relative);
        }
    }

    // Watches a directory and everything below it, remembering the files' sizes.
    void AddTree(const std::string& relative, bool reportUnknown) {
        const std::string full = Full(relative);
        const int wd = inotify_add_watch(fd_, full.c_str(), kEventMask);
        if (wd < 0)
            return;
        dirs_[wd] = relative;
        DIR* dir = opendir(full.c_str());
        if (dir == nullptr)
            return;
        std::vector<std::string> subdirs;
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string child = Join(relative, name);
            struct stat st {};
            if (lstat(Full(child).c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                subdirs.push_back(child);
            } else if (S_ISREG(st.st_mode)) {
                Measure(child, reportUnknown);
            }
        }
        closedir(dir);
        for (const std::string& sub : subdirs)
            AddTree(sub, reportUnknown);
    }

    // Forgets a directory that left the tree: its watches and the sizes below it.
    void ForgetTree(const std::string& relative) {
        for (auto it = dirs_.begin(); it != dirs_.end();) {
            if (it->second == relative || HasPrefixDir(it->second, relative)) {
                inotify_rm_watch(fd_, it->first);
                it = dirs_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = sizes_.begin(); it != sizes_.end();) {
            it = HasPrefixDir(it->first, relative) ? sizes_.erase(it) : std::next(it);
        }
    }

    // A directory moved within the tree: its watches and sizes follow it.
    void RenameTree(const std::string& from, const std::string& to) {
        for (auto& [wd, path] : dirs_) {
            if (path == from || HasPrefixDir(path, from))
                path = to + path.substr(from.size());
        }
        std::vector<std::pair<std::string, std::uint64_t>> moved;
        for (auto it = sizes_.begin(); it != sizes_.end();) {
            if (HasPrefixDir(it->first, from)) {
                moved.emplace_back(to + it->first.substr(from.size()), it->second);
                it = sizes_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& entry : moved)
            sizes_.insert(std::move(entry));
    }

    void ReadEvents() {
        alignas(inotify_event) char chunk[16384];
        struct MoveFrom {
            std::string path;
            bool directory;
        };
        std::map<std::uint32_t, MoveFrom> movedFrom;
        for (;;) {
            const ssize_t length = read(fd_, chunk, sizeof chunk);
            if (length <= 0)
                break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(chunk + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_Q_OVERFLOW) != 0) {
                    overflowed_ = true;
                    continue;
                }
                if ((event->mask & (IN_IGNORED | IN_MOVE_SELF)) != 0) {
                    const auto watched = dirs_.find(event->wd);
                    if (watched != dirs_.end() && watched->second.empty())
                        rootGone_.store(true);
                    if ((event->mask & IN_IGNORED) != 0)
                        dirs_.erase(event->wd);
                    continue;  // a directory below that moved is handled by its parent's events
                }
                auto dir = dirs_.find(event->wd);
                if (dir == dirs_.end() || event->len == 0)
                    continue;
                const std::string path = Join(dir->second, event->name);
                const bool isDir = (event->mask & IN_ISDIR) != 0;
                if ((event->mask & IN_MOVED_FROM) != 0) {
                    movedFrom[event->cookie] = {path, isDir};
                } else if ((event->mask & IN_MOVED_TO) != 0) {
                    auto from = movedFrom.find(event->cookie);
                    if (from != movedFrom.end()) {
                        if (layout_)
                            layout_->Renamed(VolumePath(from->second.path), VolumePath(path));
                        if (isDir) {
                            RenameTree(from->second.path, path);
                        } else if (auto size = sizes_.find(from->second.path); size != sizes_.end()) {
                            const std::uint64_t bytes = size->second;
                            sizes_.erase(size);
                            sizes_[path] = bytes;
                        }
                        movedFrom.erase(from);
                    } else if (isDir) {
                        SyncTree(path);
                        AddTree(path, false);
                    } else {
                        SyncTree(path);
                        sizes_.erase(path);
                        Measure(path, false);
                    }
                } else if ((event->mask & IN_CREATE) != 0) {
                    if (isDir) {
                        SyncTree(path);
                        AddTree(path, true);
                    } else {
                        SyncFile(path);
                        sizes_[path] = 0;  // a new file starts empty; its writes follow
                    }
                } else if ((event->mask & IN_DELETE) != 0) {
                    if (isDir) {
                        SyncTree(path);
                        ForgetTree(path);
                    } else {
                        SyncFile(path);
                        sizes_.erase(path);
                    }
                } else if ((event->mask & IN_MODIFY) != 0 && !isDir) {
                    SyncFile(path);
                    Measure(path, true);
                }
            }
        }
        // Moved out of the tree: forget them.
        for (auto& [cookie, from] : movedFrom) {
            SyncTree(from.path);
            if (from.directory) {
                ForgetTree(from.path);
            } else {
                sizes_.erase(from.path);
            }
        }
        if (overflowed_) {
            overflowed_ = false;
            SyncTree("");
            AddTree("", true);
        }
    }

    // Completes the outstanding Read with as many whole records as fit.
    void Deliver() {
        outstanding_ = false;
        if (lost_) {
            lost_ = false;
            handler_->OnBatch(kErrorNotifyEnumDir, 0);
            return;
        }
        std::size_t used = 0;      // where the next record would start (4-byte aligned)
        std::size_t previous = 0;  // start of the last record written
        std::size_t end = 0;       // end of the last record's name
        while (!pending_.empty()) {
            const std::u16string& name = pending_.front().name;
            const std::size_t nameBytes = name.size() * sizeof(char16_t);
            if (used + kRecordHeader + nameBytes > size_) {
                if (end == 0) {
                    // A name longer than the whole buffer can never be delivered.
                    pending_.pop_front();
                    handler_->OnBatch(kErrorNotifyEnumDir, 0);
                    return;
                }
                break;
            }
            if (end != 0) {
                const auto next = static_cast<std::uint32_t>(used - previous);
                std::memcpy(buffer_ + previous, &next, sizeof next);
            }
            const std::uint32_t zero = 0, action = fs::kFileActionModified;
            const auto length = static_cast<std::uint32_t>(nameBytes);
            std::memcpy(buffer_ + used, &zero, 4);
            std::memcpy(buffer_ + used + 4, &action, 4);
            std::memcpy(buffer_ + used + 8, &length, 4);
            std::memcpy(buffer_ + used + kRecordHeader, name.data(), nameBytes);
            previous = used;
            end = used + kRecordHeader + nameBytes;
            used = (end + 3) & ~std::size_t{3};
            pending_.pop_front();
        }
        handler_->OnBatch(0, static_cast<std::uint32_t>(end));
    }

    int fd_;
    std::string root_;
    std::shared_ptr<drives::DriveLayout> layout_;           // null: a directory without a simulated layout
    std::unordered_map<int, std::string> dirs_;             // watch -> directory relative to the root
    std::unordered_map<std::string, std::uint64_t> sizes_;  // file relative to the root -> size
    std::deque<Pending> pending_;
    bool overflowed_ = false;
    bool lost_ = false;
    std::uint8_t* buffer_ = nullptr;
    std::uint32_t size_ = 0;
    BatchHandler* handler_ = nullptr;
    bool outstanding_ = false;
    std::atomic<bool> rootGone_{false};  // written by the change thread, read by the drive set
};

}  // namespace

std::unique_ptr<DirectoryWatch> InotifyChangeNotification::Open(const std::wstring& root,
                                                                std::uint32_t& error) {
    if (root.size() != 3 || root[1] != L':' || root[2] != L'\\') {
        error = kErrorInvalidName;
        return nullptr;
    }
    const std::optional<drives::DriveEntry> entry = table_.Find(root[0]);
    const std::wstring directory = entry ? entry->directory : std::wstring();
    struct stat st {};
    const std::string path = ToUtf8(directory);
    if (directory.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = kErrorPathNotFound;
        return nullptr;
    }
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        error = (errno == EMFILE || errno == ENFILE) ? kErrorTooManyOpenFiles : kErrorInvalidFunction;
        return nullptr;
    }
    error = 0;
    return std::make_unique<InotifyWatch>(fd, path, entry->layout);
}

ChangeNotification& DefaultChangeNotification() {
    static InotifyChangeNotification notification(drives::HostDriveTable());
    return notification;
}

}  // namespace kestrel::notify
