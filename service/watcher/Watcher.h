// The watcher of one watched drive: its root opened for change notification, the queue of changed files,
// and four threads: the change thread (WatchProc), the defragmentation thread (DefragProc, at idle
// priority), the idle monitor (PerfDiskProc) and the drive-values thread (GetDriveValuesProc).
//
// Life: construct (no file-system I/O), Prepare, optionally AddExcludeName / move flag, StartThreads;
// destruction sets the stop event and waits for the four threads. Every operation and thread procedure
// catches every exception, writes "Caught exception in Watcher::<name>" to the trace stream and returns.
//
// Locking: one lock guards the changed-file list, the exclusion list, every transfer from the list
// into the pending-file map and every change of that map; it is held for a whole notification batch and
// for each single insertion, and no other lock is ever taken while it is held. The defragmentation thread
// reads its map without the lock (no other thread changes it); any other thread reads it only under the
// lock. The statistics are written by one thread each and read without the lock.
//
// Bounded: the changed-file list holds at most one entry per exact path (a later change of a path already
// listed only renews its queued time), so a disk that stays busy, while the defragmentation thread waits
// for it to become idle, costs memory in proportion to the files changed, not to the changes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ChangeNotification.h"
#include "platform/DiskCounters.h"
#include "platform/Drives.h"
#include "platform/FileSystemControl.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "service/engine/DefragEngine.h"
#include "service/watcher/FileEntry.h"

namespace kestrel::watcher {

// Bytes of the notification buffer: one batch of FILE_NOTIFY_INFORMATION records.
inline constexpr std::uint32_t kNotifyBufferSize = 8192;
// Counts the queue semaphore can hold.
inline constexpr std::int32_t kQueueMaximum = 100000;

// The operating-system services a Watcher uses; a null member means the process's own.
struct WatcherPlatform {
    notify::ChangeNotification* changes = nullptr;
    drives::Drives* drives = nullptr;
    // Where the engines of the defragmentation and drive-values threads issue their requests.
    fs::FileSystemControl* fileSystem = nullptr;
    // Where the idle monitor samples its disk's idle counters.
    perf::DiskCounters* diskCounters = nullptr;
};

class Watcher {
  public:
    // Copies the drive path and the disk instance name (which names the idle event; empty gives an
    // unnamed one) and creates the lock, the queue semaphore and the events. No file-system I/O. Throws
    // std::runtime_error when a synchronisation object cannot be created.
    Watcher(const std::wstring& drivePath, const std::wstring& diskInstanceName,
            const WatcherPlatform& platform = {});
    // Sets the stop event, waits for the threads (defragmentation, idle monitor, drive values, change),
    // closes them, then the directory (which cancels the outstanding read) and deletes the engine.
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Called once before StartThreads: sets the idle event, upper-cases and completes the drive path to
    // its root, opens the root for change notification, builds the default exclusions and writes
    // "Watching drive path = %s\n" to the console. True when the root was opened. When it cannot be
    // opened the rest is skipped ("No handle") and the result is false: such a Watcher receives nothing,
    // and the drive set does not keep it. Its change thread, if started, only waits for the stop event.
    bool Prepare();
    // Starts the change, defragmentation, idle-monitor and drive-values threads in that order and lowers
    // the defragmentation thread to idle priority.
    void StartThreads();

    // Adds a name to the exclusion list (upper-cased) unless an equal entry is there; one look-up, however
    // long the list. Any thread.
    void AddExcludeName(const std::wstring& name);
    // Replaces the exclusions added with AddExcludeName by `names` (upper-cased, empty and repeated ones
    // dropped); the default exclusions that Prepare built stay. For an exclusion the user removed while
    // the Watcher runs. Any thread.
    void ReplaceExclusions(const std::vector<std::wstring>& names);

    // Handles one batch of change-notification records (the bytes received, no more): every record of a
    // file whose upper-case full path contains no exclusion is queued, and the queue semaphore gets one
    // count per record. A path already in the changed-file list is not listed again: its entry takes the
    // batch's time, so that its rest starts again. A record whose action is 0 or above 5, or whose
    // name or next offset lies outside the batch, ends it. Runs on the change thread.
    void callback(std::span<const std::uint8_t> batch);

    // Queues a path for defragmentation without an exclusion check (the drive set's saved queue) and
    // releases the queue semaphore by one count; a path already listed is renewed as by callback. False
    // after an exception. Any thread.
    bool AddFileToDefragList(const std::wstring& path);
    // Sets the stop event and returns at once: every thread ends at its next look at the event. Lets the
    // drive set stop all its watchers together before it collects them one by one. Any thread.
    void RequestStop();
    // Stops the Watcher, waits for the defragmentation thread and appends every pending file, each path
    // once, in ascending PathHash order. The other threads run on until destruction.
    void GetFileListAndExit(std::list<FileEntry>& files);
    // The paths GetFileListAndExit would hand back now (the pending-file map with the changed-file list
    // laid over it, in ascending PathHash order), taken under the lock without stopping or waiting for
    // any thread: for a save that cannot wait for the work in progress (system shutdown, a drive that
    // went away). Any thread.
    std::vector<std::wstring> PendingPaths();

    // The drive's values, each written by one thread and read here without the lock.
    std::int32_t FilesLeft() const { return filesLeft_.load(std::memory_order_relaxed); }
    std::int32_t FragmentsSaved() const { return fragmentsSaved_.load(std::memory_order_relaxed); }
    std::int32_t LargestFragmentsSaved() const {
        return largestFragmentsSaved_.load(std::memory_order_relaxed);
    }
    std::int64_t FreeClusters() const { return freeClusters_.load(std::memory_order_relaxed); }
    // The volume's clusters as the defragmentation thread's engine knows them; 0 until it has one.
    std::int64_t VolumeClusters() const { return volumeClusters_.load(std::memory_order_relaxed); }

    // The thread procedures; each is given the Watcher.
    static std::uint32_t WatchProc(Watcher* self);
    static std::uint32_t DefragProc(Watcher* self);
    static std::uint32_t PerfDiskProc(Watcher* self);
    static std::uint32_t GetDriveValuesProc(Watcher* self);

    const std::wstring& DrivePath() const { return drivePath_; }
    const std::wstring& DiskInstanceName() const { return diskInstanceName_; }
    bool MoveFlag() const { return moveFlag_.load(); }
    void SetMoveFlag(bool move) { moveFlag_.store(move); }
    // True once Prepare opened the root for change notification.
    bool HasDirectory() const { return directory_ != nullptr; }
    // False when the root could not be opened, a read for changes failed, a read completed with an
    // error other than a cancel or an overflow, or the change source reports that the drive's root went
    // away: from then on this Watcher may receive nothing, and the drive set creates it anew.
    bool ChangeSourceAlive() const;
    // Batches whose changes were lost because more changes arrived than the buffer could hold.
    std::uint32_t LostBatches() const { return lostBatches_.load(); }

  private:
    friend struct WatcherTestAccess;

    // Receives the completions of the change thread's reads.
    struct Completion : notify::BatchHandler {
        Watcher* owner = nullptr;
        void OnBatch(std::uint32_t error, std::uint32_t bytes) override;
    };

    // ---- The defragmentation thread (DefragProc.cpp) ----
    // Moves every entry of the changed-file list into the pending-file map, one entry per hold of the
    // lock; a later entry replaces an earlier one of the same key. With `duplicateCheck`, an entry of
    // another path lost to a key collision is named in the trace.
    void Transfer(bool duplicateCheck);
    // One walk of the pending-file map in key order; false when the stop event ended it.
    bool Walk();
    // Fills the placement fields of an unmeasured entry from a fresh extent map; false when the file is
    // gone, cannot be mapped or owns no clusters.
    bool GetData(FileEntry& entry);
    // One attempt on one file; updates the map at `key` and the statistics.
    void ExecuteFileCommand(FileEntry entry, std::uint32_t key);
    // Rebuilds StartingSizes from the engine's bitmap.
    void GetStartingSizes();
    // Nominal time until the earliest entry of the map ends its rest (at once for one that rests no
    // more), infinite when the map is empty: how long the thread waits for a change before it walks anyway.
    timing::Millis QuietPassTimeout() const;
    // ---- end of the defragmentation thread ----

    void BuildDefaultExclusions();
    // The mount points of the drive and the system names that every path is checked against.
    std::vector<std::wstring> DefaultExclusions() const;
    // The handling of one completion: a batch, or the report of lost or cancelled ones.
    void OnBatch(std::uint32_t error, std::uint32_t bytes);
    // Lists a changed path, or renews the entry the list has for it. Under the lock.
    void QueueChanged(const std::wstring& path, std::int64_t now);
    // The two halves: renews the path's entry (false when it is not listed), or lists a path not listed.
    bool RenewChanged(const std::wstring& path, std::int64_t now);
    void ListChanged(const std::wstring& path, std::int64_t now);
    // Changes of the pending-file map by the defragmentation thread, under the lock.
    void ErasePending(std::uint32_t key);
    void StorePending(std::uint32_t key, FileEntry entry);

    notify::ChangeNotification& changes_;
    drives::Drives& drives_;
    fs::FileSystemControl& fileSystem_;

    std::wstring diskInstanceName_;
    std::atomic<std::int32_t> filesLeft_{0};
    std::atomic<std::int32_t> fragmentsSaved_{0};
    std::wstring drivePath_;
    threads::Thread changeThread_;
    threads::Thread defragThread_;
    threads::Thread idleMonitorThread_;
    threads::Thread driveValuesThread_;
    // The notification buffer outlives the directory: a read still outstanding may write into it until
    // the directory is closed.
    alignas(8) std::array<std::uint8_t, kNotifyBufferSize> notifyBuffer_{};
    std::unique_ptr<notify::DirectoryWatch> directory_;
    Completion completion_;
    std::list<FileEntry> changedFiles_;
    // The entry of each path in the changed-file list; the key views the path held by the list node.
    std::unordered_map<std::wstring_view, std::list<FileEntry>::iterator> changedIndex_;
    std::map<std::uint32_t, FileEntry> pendingFiles_;  // by PathHash; the defragmentation thread's own
    std::vector<std::wstring> exclusions_;
    // The entries of exclusions_ (all upper case), so that adding one costs one look-up, not a walk of
    // the whole list: the drive set hands the list over again whenever the panel asks for it.
    std::unordered_set<std::wstring> excluded_;
    std::atomic<bool> moveFlag_{true};
    std::atomic<std::int32_t> didWork_{0};
    std::mutex lock_;
    timing::Semaphore queue_{1, kQueueMaximum};
    timing::Event stop_{true, false};
    timing::Event idle_;
    std::atomic<std::int32_t> largestFragmentsSaved_{0};
    std::unique_ptr<engine::DefragEngine> engine_;
    std::array<std::uint32_t, 256> startingSizes_{};
    std::atomic<bool> recompute_{false};
    std::atomic<std::int64_t> freeClusters_{0};
    std::atomic<std::int64_t> volumeClusters_{0};  // published when the defragmentation thread has its engine
    std::atomic<std::uint32_t> lostBatches_{0};
    std::atomic<bool> changeSourceFailed_{false};
    std::atomic<std::uint64_t> changeThreadTurns_{0};  // turns of WatchProc's loop

    // ---- The idle monitor and the drive-values thread ----
    perf::DiskCounters* diskCounters_ = nullptr;       // set by the constructor, never null after it
    std::atomic<std::uint64_t> driveMeasurements_{0};  // free-cluster measurements completed

    // Scratch of callback, kept so that a batch allocates only the entries it queues.
    std::wstring fullPath_;
    std::wstring upperPath_;
};

}  // namespace kestrel::watcher
