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
// A file whose writes leave its size where it was (rewritten after a truncation, or overwritten in
// place) is reported once when it is closed after writing: inotify reports a truncation as a write like
// any other, and by the time the event is read the rewrite may have restored the size, so only this rule
// gives a truncate-and-rewrite one answer whatever the timing. Files kept open and written in place
// without a change of size (a database's pages) are not reported.
//
// Files and trees moved in from outside the tree are new data on the drive, as a copy is on Windows: every
// file in them that has data is reported.
//
// The events are read a bounded chunk at a time, and between two chunks the records are delivered and the
// stop event looked at, so a writer that keeps the kernel's queue full holds up neither. The stop event
// itself is in the poll set (platform/host/EventDescriptor.h): an idle watch sleeps until something
// happens.
//
// A directory that cannot be watched (the user's inotify watch limit, fs.inotify.max_user_watches,
// reached; no permission) is traced, counted and said once on standard error; its files are still
// measured, and such directories are read again every 60 seconds, reporting every file whose size
// changed, and watched as soon as a watch can be had. A root that cannot be watched fails the Open.
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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/Format.h"
#include "common/Utf16.h"
#include "platform/FsRecords.h"
#include "platform/Trace.h"
#include "platform/host/ErrnoMapping.h"
#include "platform/host/EventDescriptor.h"

namespace kestrel::notify {
namespace {

constexpr std::uint32_t kEventMask = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                     IN_EXCL_UNLINK;
// How long one poll lasts when the stop event has no descriptor to poll (real ms): it bounds how late
// the stop is seen then. With the descriptor the poll waits for events alone.
constexpr int kFallbackPollMs = 200;
// The bytes of events read at a time; the records are delivered and the stop event looked at between two
// reads. A chunk is a few hundred events, each a stat and a layout sync at most: milliseconds.
constexpr std::size_t kChunkBytes = 8192;
// How often directories without a watch are read again (nominal ms).
constexpr timing::Millis kRescanMs = 60000;
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
    InotifyWatch(int fd, std::string root, std::wstring drive, std::shared_ptr<drives::DriveLayout> layout,
                 std::shared_ptr<InotifyChangeNotification::Counters> counters)
        : fd_(fd),
          root_(std::move(root)),
          drive_(std::move(drive)),
          layout_(std::move(layout)),
          counters_(std::move(counters)) {
        AddTree("", false);
        if (rootError_ != 0)
            return;
        // The files may have changed since the layout was made; from here on the watches see every change.
        SyncTree("");
    }
    ~InotifyWatch() override { close(fd_); }

    // The errno of a root that could not be watched; 0 when it is watched.
    int rootError() const { return rootError_; }

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
        const int stopFd = timing::EventDescriptor(stop);
        for (;;) {
            if (stop.IsSet())
                return WaitResult::Stopped;
            if (outstanding_ && (!pending_.empty() || lost_)) {
                Deliver();
                return WaitResult::Completed;
            }
            int timeout = stopFd < 0 ? kFallbackPollMs : -1;
            if (!movedFrom_.empty())
                timeout = 0;  // the other half of a move may be the next event: look once more at once
            if (!unwatched_.empty()) {
                const std::uint64_t now = timing::NowMs();
                if (now >= nextRescan_) {
                    Rescan();
                    nextRescan_ = now + timing::Scaled(kRescanMs);
                    continue;
                }
                const auto left = static_cast<int>(std::min<std::uint64_t>(nextRescan_ - now, 1u << 30));
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
            pollfd polled[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
            const int ready = poll(polled, stopFd < 0 ? 1 : 2, timeout);
            if ((ready > 0 && (polled[0].revents & POLLIN) != 0) || !movedFrom_.empty())
                ReadEvents();
        }
    }

  private:
    struct Pending {
        std::u16string name;  // relative to the root, with backslashes
    };
    struct Known {
        std::uint64_t size = 0;
        bool rewritten = false;  // written since it was last reported, its size unchanged
    };
    struct MoveFrom {
        std::string path;
        bool directory;
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
    // not known before, when `reportUnknown` and it has data). A write (`written`) that left the size as
    // it was marks the file for a report when it is closed.
    void Measure(const std::string& relative, bool reportUnknown, bool written = false) {
        struct stat st {};
        if (lstat(Full(relative).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        auto it = sizes_.find(relative);
        if (it == sizes_.end()) {
            sizes_.emplace(relative, Known{size, false});
            if (reportUnknown && size > 0)
                Report(relative);
        } else if (it->second.size != size) {
            it->second = Known{size, false};
            Report(relative);
        } else if (written) {
            it->second.rewritten = true;
        }
    }

    // A directory that could not be watched: traced, counted, said once on standard error when the
    // watch limit is the cause, and read again by the periodic rescan from now on.
    void WatchFailed(const std::string& relative, int error) {
        if (!unwatched_.insert(relative).second)
            return;
        counters_->failedWatches.fetch_add(1);
        trace::Write(Format(L"Cannot watch %s for changes (errno %d); it is read again every 60 seconds\n",
                            FromUtf8(Full(relative)), error));
        if (error == ENOSPC && !counters_->limitSaid.exchange(true)) {
            const std::string line =
                "Kestrel: the inotify watch limit (fs.inotify.max_user_watches) is "
                "reached: folders of " +
                ToUtf8(drive_) +
                " without a watch are read again every 60 seconds; raise the limit "
                "to see their changes at once\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fflush(stderr);
        }
        if (unwatched_.size() == 1)
            nextRescan_ = timing::NowMs() + timing::Scaled(kRescanMs);
    }

    // inotify_add_watch, refused with ENOSPC past a test's limit on the directories watched.
    int AddWatch(const std::string& relative) {
        const std::int64_t limit = counters_->watchLimit.load();
        if (limit >= 0 && dirs_.size() >= static_cast<std::size_t>(limit) &&
            std::none_of(dirs_.begin(), dirs_.end(),
                         [&](const auto& dir) { return dir.second == relative; })) {
            errno = ENOSPC;
            return -1;
        }
        return inotify_add_watch(fd_, Full(relative).c_str(), kEventMask);
    }

    // Watches a directory and everything below it, remembering the files' sizes. A directory whose watch
    // fails is still read, and so is everything below it.
    void AddTree(const std::string& relative, bool reportUnknown) {
        const std::string full = Full(relative);
        const int wd = AddWatch(relative);
        if (wd < 0) {
            const int error = errno;
            if (relative.empty()) {
                rootError_ = error;
                return;
            }
            if (error == ENOENT || error == ENOTDIR)
                return;  // gone again already
            WatchFailed(relative, error);
        } else {
            dirs_[wd] = relative;
            unwatched_.erase(relative);
        }
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

    // Reads the directories that have no watch again: each one's files are compared with the remembered
    // sizes (new, grown, shrunk, gone) and new subdirectories are taken in; a directory is watched again
    // when a watch can be had now. Only a directory where something changed is synced in the layout.
    void Rescan() {
        std::unordered_set<std::string> watched;
        for (const auto& [wd, path] : dirs_)
            watched.insert(path);
        const std::vector<std::string> dirs(unwatched_.begin(), unwatched_.end());
        for (const std::string& relative : dirs) {
            if (unwatched_.count(relative) == 0)
                continue;  // forgotten, or taken in again, while an earlier one was read
            const std::string full = Full(relative);
            const int wd = AddWatch(relative);
            if (wd >= 0) {
                dirs_[wd] = relative;
                unwatched_.erase(relative);
                watched.insert(relative);
            }
            DIR* dir = opendir(full.c_str());
            if (dir == nullptr) {
                if (wd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
                    SyncTree(relative);
                    ForgetTree(relative);
                }
                continue;
            }
            std::vector<std::string> changed, added;
            std::unordered_set<std::string> present;
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..")
                    continue;
                std::string child = Join(relative, name);
                struct stat st {};
                if (lstat(Full(child).c_str(), &st) != 0)
                    continue;
                if (S_ISDIR(st.st_mode)) {
                    if (watched.count(child) == 0 && unwatched_.count(child) == 0)
                        added.push_back(std::move(child));
                } else if (S_ISREG(st.st_mode)) {
                    const auto it = sizes_.find(child);
                    if (it == sizes_.end() ? st.st_size > 0
                                           : it->second.size != static_cast<std::uint64_t>(st.st_size))
                        changed.push_back(child);
                    present.insert(std::move(child));
                }
            }
            closedir(dir);
            std::vector<std::string> gone;
            ForEachFileIn(relative, [&](const std::string& path) {
                if (present.count(path) == 0)
                    gone.push_back(path);
            });
            if (changed.empty() && added.empty() && gone.empty())
                continue;
            SyncTree(relative);
            for (const std::string& path : gone)
                sizes_.erase(path);
            for (const std::string& path : changed)
                Measure(path, true);
            for (const std::string& path : added)
                AddTree(path, true);
        }
    }

    // The stretch of `sizes_` that holds the files below a directory ("" is the root).
    std::map<std::string, Known>::iterator BelowBegin(const std::string& dir) {
        return dir.empty() ? sizes_.begin() : sizes_.lower_bound(dir + "/");
    }
    bool IsBelow(const std::string& path, const std::string& dir) const {
        return dir.empty() || HasPrefixDir(path, dir);
    }
    // Calls `f` with every remembered file directly in `dir`, in name order. The files of each
    // subdirectory are passed over with one look-up, so a directory costs its own files, however many
    // lie deeper.
    template <class F>
    void ForEachFileIn(const std::string& dir, F f) {
        const std::size_t start = dir.empty() ? 0 : dir.size() + 1;
        for (auto it = BelowBegin(dir); it != sizes_.end() && IsBelow(it->first, dir);) {
            const std::size_t slash = it->first.find('/', start);
            if (slash == std::string::npos) {
                f(it->first);
                ++it;
            } else {
                // "dir/sub0" is the first path behind every "dir/sub/...": '0' follows '/'.
                it = sizes_.lower_bound(it->first.substr(0, slash) + static_cast<char>('/' + 1));
            }
        }
    }
    // Forgets the sizes of every file below a directory.
    void ForgetSizesBelow(const std::string& dir) {
        auto end = BelowBegin(dir);
        while (end != sizes_.end() && IsBelow(end->first, dir))
            ++end;
        sizes_.erase(BelowBegin(dir), end);
    }

    // Takes a directory and every directory below it out of the set of those without a watch and
    // returns them. The set is ordered: those below are one stretch, behind "dir/".
    std::vector<std::string> TakeUnwatched(const std::string& dir) {
        std::vector<std::string> taken;
        if (unwatched_.erase(dir) != 0)
            taken.push_back(dir);
        if (dir.empty())
            return taken;
        for (auto it = unwatched_.lower_bound(dir + "/"); it != unwatched_.end() && HasPrefixDir(*it, dir);) {
            taken.push_back(*it);
            it = unwatched_.erase(it);
        }
        return taken;
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
        if (!relative.empty())
            ForgetSizesBelow(relative);
        TakeUnwatched(relative);
    }

    // A directory moved within the tree: its watches and sizes follow it.
    void RenameTree(const std::string& from, const std::string& to) {
        for (auto& [wd, path] : dirs_) {
            if (path == from || HasPrefixDir(path, from))
                path = to + path.substr(from.size());
        }
        std::vector<std::pair<std::string, Known>> moved;
        for (auto it = BelowBegin(from); it != sizes_.end() && HasPrefixDir(it->first, from);) {
            moved.emplace_back(to + it->first.substr(from.size()), it->second);
            it = sizes_.erase(it);
        }
        for (auto& entry : moved)
            sizes_.insert(std::move(entry));
        for (const std::string& dir : TakeUnwatched(from))
            unwatched_.insert(to + dir.substr(from.size()));
    }

    // Moves whose second half has not come are moves out of the tree: forget what left.
    void MovedOut(const MoveFrom& from) {
        SyncTree(from.path);
        if (from.directory) {
            ForgetTree(from.path);
        } else {
            sizes_.erase(from.path);
        }
    }

    // Reads one chunk of events and follows them. The first half of a move that ends the chunk is kept
    // until the next read, where its second half would be; any other unmatched first half left the tree.
    void ReadEvents() {
        alignas(inotify_event) char chunk[kChunkBytes];
        const ssize_t length = read(fd_, chunk, sizeof chunk);
        if (length <= 0) {
            for (const auto& [cookie, from] : movedFrom_)
                MovedOut(from);
            movedFrom_.clear();
            return;
        }
        std::optional<std::uint32_t> heldCookie;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(chunk + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            heldCookie.reset();
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
                movedFrom_[event->cookie] = {path, isDir};
                heldCookie = event->cookie;
            } else if ((event->mask & IN_MOVED_TO) != 0) {
                auto from = movedFrom_.find(event->cookie);
                if (from != movedFrom_.end()) {
                    if (layout_)
                        layout_->Renamed(VolumePath(from->second.path), VolumePath(path));
                    if (isDir) {
                        RenameTree(from->second.path, path);
                    } else if (auto size = sizes_.find(from->second.path); size != sizes_.end()) {
                        const Known known = size->second;
                        sizes_.erase(size);
                        sizes_[path] = known;
                    }
                    movedFrom_.erase(from);
                } else if (isDir) {
                    // Moved in from outside: every file in it with data is new to the drive.
                    SyncTree(path);
                    AddTree(path, true);
                } else {
                    SyncTree(path);
                    sizes_.erase(path);
                    Measure(path, true);
                }
            } else if ((event->mask & IN_CREATE) != 0) {
                if (isDir) {
                    SyncTree(path);
                    AddTree(path, true);
                } else {
                    SyncFile(path);
                    sizes_[path] = Known{};  // a new file starts empty; its writes follow
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
                Measure(path, true, true);
            } else if ((event->mask & IN_CLOSE_WRITE) != 0 && !isDir) {
                auto known = sizes_.find(path);
                if (known != sizes_.end() && known->second.rewritten) {
                    known->second.rewritten = false;
                    SyncFile(path);
                    Report(path);
                }
            }
        }
        for (auto it = movedFrom_.begin(); it != movedFrom_.end();) {
            if (heldCookie && it->first == *heldCookie) {
                ++it;
                continue;
            }
            MovedOut(it->second);
            it = movedFrom_.erase(it);
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
    std::wstring drive_;                           // "X:\", for what is said on standard error
    std::shared_ptr<drives::DriveLayout> layout_;  // null: a directory without a simulated layout
    std::shared_ptr<InotifyChangeNotification::Counters> counters_;
    std::unordered_map<int, std::string> dirs_;  // watch -> directory relative to the root
    std::set<std::string> unwatched_;            // directories without a watch, read by Rescan
    std::uint64_t nextRescan_ = 0;               // NowMs of the next Rescan, while any
    // File relative to the root -> size. Ordered, so that the files below a directory are one stretch of
    // it: reading a directory again, forgetting or renaming one costs what is below it, not every file
    // of the drive.
    std::map<std::string, Known> sizes_;
    std::map<std::uint32_t, MoveFrom> movedFrom_;  // first halves of moves, by cookie
    std::deque<Pending> pending_;
    int rootError_ = 0;
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
    auto watch = std::make_unique<InotifyWatch>(fd, path, root, entry->layout, counters_);
    if (watch->rootError() != 0) {
        // Without a watch on the root nothing of the drive would ever be seen.
        const int rootError = watch->rootError();
        trace::Write(Format(L"Cannot watch %s for changes (errno %d)\n", directory, rootError));
        if (rootError == ENOSPC && !counters_->limitSaid.exchange(true)) {
            const std::string line =
                "Kestrel: the inotify watch limit (fs.inotify.max_user_watches) is "
                "reached: drive " +
                ToUtf8(root) + " cannot be watched\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fflush(stderr);
        }
        counters_->failedWatches.fetch_add(1);
        error = host::Win32ErrorFromErrno(rootError);
        return nullptr;
    }
    error = 0;
    return watch;
}

ChangeNotification& DefaultChangeNotification() {
    static InotifyChangeNotification notification(drives::HostDriveTable());
    return notification;
}

}  // namespace kestrel::notify
