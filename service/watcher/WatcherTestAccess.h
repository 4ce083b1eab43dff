// Test-only access to a Watcher's queue, exclusions and events, for the tests, the benchmark and the fuzz
// target. Nothing in the service uses it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "service/watcher/Watcher.h"

namespace kestrel::watcher {

struct WatcherTestAccess {
    // A copy of the changed-file list, in order.
    static std::vector<FileEntry> ChangedFiles(Watcher& w) {
        std::lock_guard lock(w.lock_);
        return {w.changedFiles_.begin(), w.changedFiles_.end()};
    }
    static void ClearChangedFiles(Watcher& w) {
        std::lock_guard lock(w.lock_);
        w.changedIndex_.clear();
        w.changedFiles_.clear();
    }
    // Entries of the changed-file list and of its index by path, and of the pending-file map.
    static std::pair<std::size_t, std::size_t> ChangedCounts(Watcher& w) {
        std::lock_guard lock(w.lock_);
        return {w.changedFiles_.size(), w.changedIndex_.size()};
    }
    static std::size_t PendingCount(Watcher& w) {
        std::lock_guard lock(w.lock_);
        return w.pendingFiles_.size();
    }
    // Turns of the change thread's loop so far: one per read issued or retried.
    static std::uint64_t ChangeThreadTurns(Watcher& w) { return w.changeThreadTurns_.load(); }
    static std::vector<std::wstring> Exclusions(Watcher& w) {
        std::lock_guard lock(w.lock_);
        return w.exclusions_;
    }
    // Takes every count the queue semaphore holds and says how many there were.
    static int DrainQueue(Watcher& w) {
        int taken = 0;
        while (w.queue_.Wait(0))
            ++taken;
        return taken;
    }
    // Free-cluster measurements the drive-values thread has completed.
    static std::uint64_t DriveMeasurements(Watcher& w) { return w.driveMeasurements_.load(); }
    // Stands in for the defragmentation thread's count of fragments saved.
    static void SetFragmentsSaved(Watcher& w, std::int32_t saved) { w.fragmentsSaved_.store(saved); }
    static timing::Event& IdleEvent(Watcher& w) { return w.idle_; }
    static timing::Event& StopEvent(Watcher& w) { return w.stop_; }
    // The completion of a read, as the change thread receives it.
    static void Complete(Watcher& w, std::uint32_t error, std::uint32_t bytes) { w.OnBatch(error, bytes); }
    static std::uint8_t* NotifyBuffer(Watcher& w) { return w.notifyBuffer_.data(); }
    // Starts only the chosen threads (StartThreads starts all four), so that a test of one thread is not
    // disturbed by what the others do with the queue or the idle event.
    static void StartOnly(Watcher& w, bool change, bool defrag, bool idleMonitor, bool driveValues) {
        if (change)
            w.changeThread_.Start([&w] { return Watcher::WatchProc(&w); });
        if (defrag) {
            w.defragThread_.Start([&w] { return Watcher::DefragProc(&w); });
            w.defragThread_.SetIdlePriority();
        }
        if (idleMonitor)
            w.idleMonitorThread_.Start([&w] { return Watcher::PerfDiskProc(&w); });
        if (driveValues)
            w.driveValuesThread_.Start([&w] { return Watcher::GetDriveValuesProc(&w); });
    }
    // The threads that read the changed-file list and the queue count leave the defragmentation thread out.
    static void StartWithoutDefrag(Watcher& w) { StartOnly(w, true, false, true, true); }
};

}  // namespace kestrel::watcher
