// The drive set: one Watcher per watched drive in a table of 27 slots indexed by drive index (A = 1 ...
// Z = 26; slot 0 is never used), the scan of drives C to Z, the lifetime count of fragments saved and
// the saving of every watcher's pending files when the service saves its state. What it keeps lives
// in the settings store (SettingsStore.h).
//
// Drives arrive from the command channel as text; a drive string is one whose first character is the
// upper-case letter ("C" or "C:\"). Every entry point checks the letter or index it is given: nothing
// outside 'A'..'Z' / 1..26 ever reaches the slot table or the store. An index that cannot hold a watcher
// is treated as an empty slot (the accessors answer 0, operations that need a watcher throw).
//
// Threads: the command thread drives it; the service's control handler calls Rescan on device changes.
// One lock guards the available-drives list; the slots and the lifetime values are not locked, and
// callers do not change one slot from two threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"
#include "service/drives/SettingsStore.h"
#include "service/watcher/Watcher.h"

namespace kestrel::drives {

inline constexpr int kDriveSlots = 27;

// Thrown by the operations that need the watcher of a drive whose slot is empty. Thrown and caught by
// value (catch it as const DefragInfoException& or const std::exception&).
class DefragInfoException : public std::exception {
  public:
    const char* what() const noexcept override { return "No DefragInfo on this drive"; }
};

// The names of the "PhysicalDisk" performance instances ("0 C: D:", "_Total"), asked for each time a
// watcher is started; the service supplies the idle monitor's enumeration.
using DiskInstanceSource = std::function<std::vector<std::wstring>()>;

struct DriveSetPlatform {
    // Where the watchers get their change notification, drives and file-system control; its `drives`
    // (the process's own when null) also answers the drive scan.
    watcher::WatcherPlatform watchers;
    // Empty: no instances are known and every watcher gets an unnamed idle event.
    DiskInstanceSource diskInstances;
};

class DriveSet {
  public:
    // `registry` must outlive the drive set. Loads the lifetime count, creates the parameters key and
    // its "WatchingDrives" subkey when missing, and scans the drives when `scanAtStart` is set. The
    // service passes SystemRegistry(), kLocalMachine, kParametersPath and false, and calls Rescan itself.
    DriveSet(reg::Registry& registry, reg::RawKey root, std::wstring parametersPath, bool scanAtStart,
             DriveSetPlatform platform = {});
    // Writes the lifetime count and deletes every watcher (each stops its threads). Pending files are
    // saved only by SaveAll.
    ~DriveSet();
    DriveSet(const DriveSet&) = delete;
    DriveSet& operator=(const DriveSet&) = delete;

    // Drive index and root. DriveIndex is the first character's code minus 64 without case folding (0
    // for an empty string); the result addresses a drive only when it lies in 1..26.
    static int DriveIndex(std::wstring_view drive);
    static bool IsDriveIndex(int index) { return index >= 1 && index <= 26; }
    // "C:\" for 3; empty for an index that is no drive.
    static std::wstring DriveRoot(int index);

    // Looks at drives C to Z: the fixed and removable ones become the available drives, and each of them
    // that the store marks as watched gets its watcher started (StartWatcher). A watcher whose drive is
    // gone (no longer there, or not ready) is dropped; one whose drive holds
    // another volume now, or whose change source has died, is dropped and created anew. A dropped
    // watcher's pending files are saved as the drive's queue first, so they come back with the drive.
    // Returns 0.
    int Rescan();

    // Starts watching the drive of `index` when it is ready, marked as watched and has no watcher yet:
    // disk instance, CreateWatcher, the saved queue restored, "Move" applied, StartWatching. False when
    // the index is no drive, the drive is not ready or its watcher could not be created (its root does
    // not open; the slot stays empty); true otherwise.
    bool StartWatcher(int index);

    // Creates the drive's watcher with the disk instance name for its idle monitor, in place of the one
    // the slot held (whose pending files move to the new one), prepares it, applies the stored "Move"
    // and hands it the stored exclusions. Its threads are not started. Throws std::invalid_argument for
    // a string that names no drive, std::runtime_error ("No handle") when the drive's root cannot be
    // opened for change notification (the slot is then left empty, and the files a predecessor still
    // had are saved as the drive's queue), and what the Watcher throws.
    void CreateWatcher(std::wstring_view drive, const std::wstring& diskInstanceName);
    // Starts the threads of the slot's watcher (once) and records the drive as watched. Throws
    // DefragInfoException when the slot is empty.
    void StartWatching(int index);
    void StartWatching(std::wstring_view drive);
    // Records the drive as not watched and deletes its watcher. When the store cannot record it (a
    // damaged store), the watcher is kept, since the store still names the drive watched and the next
    // start would watch it again; that is traced and the result is false.
    bool StopWatching(std::wstring_view drive);
    // Deletes the slot's watcher, if any; the drive stays recorded as watched.
    void DeleteWatcher(int index);
    void DeleteWatcher(std::wstring_view drive);
    // Sets the Move flag of the slot's watcher. Throws DefragInfoException when the slot is empty.
    watcher::Watcher& SetMove(int index, bool on);
    watcher::Watcher& SetMove(std::wstring_view drive, bool on);
    // Queues a path with the slot's watcher (AddFileToDefragList). Throws DefragInfoException when the
    // slot is empty.
    bool QueueFile(int index, const std::wstring& path);
    // Stops every watcher (each finishes the file it is working on), writes the lifetime count, then,
    // slot by slot, saves each watcher's pending files to the drive's saved queue and deletes it. The
    // drives stay recorded as watched. Every watcher is told to stop before the first is waited for, so
    // that the stops run side by side.
    void SaveAll();
    // Writes the lifetime count and each watcher's pending files as its drive's queue without stopping
    // or waiting for any watcher: for the system's shutdown, when the process may end at any moment and
    // a file in the middle of its defragmentation cannot be waited for. The watchers run on.
    void SaveState();
    // The end of the command thread: the state saved and every watcher ended, which is what SaveAll does.
    void Shutdown() { SaveAll(); }

    // Looks for drives that went away or came back without a device event to tell (the host has none,
    // and on Windows one can be missed): when a started watcher's change source has stopped reporting
    // (its root deleted, moved away or unmounted), its drive holds another volume (compared only where
    // the system sends no device events: a directory made anew or covered by a mount on the host), or a
    // drive whose watcher was dropped is ready again,
    // it runs Rescan, which drops the first (its pending files kept as the drive's queue in the store)
    // and watches the second again with that queue. Otherwise it costs a look at each watcher and one
    // readiness check of each dropped drive. The command thread calls it once a poll.
    void CheckDrives();

    // True when the slot's watcher runs and is still good for its drive: started, the drive holds the
    // volume it was made for, and its change source still reports. Another request to watch the drive
    // then has nothing to do (a new watcher would first wait for this one's threads to end).
    bool WatcherRunning(int index);

    // The slot's watcher and its values; null / 0 for an empty slot or an index that is no drive.
    watcher::Watcher* WatcherAt(int index) const;
    std::int32_t FragmentsSaved(int index) const;
    std::int32_t FilesLeft(int index) const;
    std::int32_t LargestFragmentsSaved(int index) const;
    std::int64_t VolumeClusters(int index) const;
    std::int64_t FreeClusters(int index) const;

    // The drive paths of the watchers in slot order, without separator ("C:\E:\").
    std::wstring WatchedDrives() const;
    // The roots of the available drives not recorded as watched, without separator.
    std::wstring AvailableDrives();
    // The lifetime count of fragments saved, brought up to date first: when the sum of the watchers'
    // FragmentsSaved rises above its highest value so far, the rise is added. Traces
    // "LifeTime frags saved = %d".
    std::int32_t LifeTimeTotal();

    // Settings of a drive, through the store; exclusions also reach the drive's watcher.
    std::vector<std::wstring> GetExclusions(std::wstring_view drive);
    // An exclusion beyond the bounds (SettingsStore::TryAddExclusion) is not stored, and the refusal is
    // traced as "Exclusion refused for drive %c: %s\n".
    bool AddExclusion(std::wstring_view drive, std::wstring_view path);
    // On success the running watcher's exclusions are replaced by the ones left, so the removed path
    // stops being excluded at once.
    bool RemoveExclusion(std::wstring_view drive, std::wstring_view path);
    std::uint32_t ReadMove(int index);
    std::uint32_t ReadMove(std::wstring_view drive);
    void WriteMove(std::wstring_view drive, std::uint32_t value);
    bool IsWatching(std::wstring_view drive);

    SettingsStore& Store() { return store_; }

  private:
    struct Slot {
        std::unique_ptr<watcher::Watcher> watcher;
        bool started = false;
        std::wstring volume;  // the drive's VolumeIdentity when the watcher was created
    };
    Slot* SlotOf(int index);
    const Slot* SlotOf(int index) const;
    watcher::Watcher& Need(int index);
    std::wstring DiskInstanceFor(const std::wstring& root);
    // The index of a drive string the store accepts ('A'..'Z' first), or 0.
    static int CheckedIndex(std::wstring_view drive);
    // Deletes the slot's watcher, if any, after counting what it saved into the lifetime count.
    void ClearSlot(Slot& slot);
    // Saves the slot's pending files as the drive's queue and deletes its watcher, which waits for its
    // threads.
    void DropWatcher(int index, const wchar_t* why);
    // Writes a drive's saved queue. With `replace`, and after a save at shutdown, a queue stored before
    // is deleted first, so that no path of it outlives the new one; otherwise values are written over.
    void SaveQueue(int index, const std::vector<std::wstring>& paths, bool replace = false);

    DriveSetPlatform platform_;
    drives::Drives& drives_;
    SettingsStore store_;
    std::array<Slot, kDriveSlots> slots_;
    std::array<bool, kDriveSlots> dropped_{};  // watcher dropped by Rescan; CheckDrives looks for its return
    std::map<std::wstring, std::wstring> diskRecords_;  // drive root -> disk instance name
    std::mutex availableLock_;
    std::vector<std::wstring> available_;
    std::int32_t lifeTime_ = 0;
    std::int32_t highWater_ = 0;
    bool stateSaved_ = false;  // SaveState wrote queues in this run
};

}  // namespace kestrel::drives
