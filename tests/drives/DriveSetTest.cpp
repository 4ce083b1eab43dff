// The drive set over the in-memory registry and a fixed drive table, with real watchers on scripted
// change notification: which drives the scan watches, what stopping and starting record, the lifetime
// count, queues and exclusions reaching the watchers, and drives named from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "common/Utf16.h"
#include "platform/FsRecords.h"
#include "platform/MemoryRegistry.h"
#include "platform/Trace.h"
#include "tests/drives/DriveSetRig.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::drives {
namespace {

using Access = watcher::WatcherTestAccess;
using watcher::WaitUntil;

std::vector<std::wstring> Sorted(std::vector<std::wstring> paths) {
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A file-system control on which opening drive C's volume holds the caller until released, as a drive
// busy with a long request would; every other call fails at once.
class HoldingControl : public fs::FileSystemControl {
  public:
    fs::OpenResult OpenVolume(const std::wstring& devicePath) override {
        if (devicePath.find(L"C:") != std::wstring::npos) {
            std::unique_lock lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        }
        return {fs::kInvalidHandle, kNotReady};
    }
    fs::OpenResult OpenFile(const std::wstring&) override { return {fs::kInvalidHandle, kNotReady}; }
    void Close(fs::RawHandle) noexcept override {}
    bool Bind() override { return true; }
    fs::NtStatus Control(fs::RawHandle, fs::IO_STATUS_BLOCK&, std::uint32_t, const void*, std::uint32_t,
                         void*, std::uint32_t) override {
        return fs::kStatusInvalidParameter;
    }
    bool Wait(fs::RawHandle, std::uint32_t) override { return true; }
    std::optional<std::uint64_t> FindFileSize(const std::wstring&) override { return std::nullopt; }

    bool WaitHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return held_ > 0; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    static constexpr std::uint32_t kNotReady = 21;
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    bool released_ = false;
};

class DriveSetTest : public ::testing::Test {
  protected:
    std::unique_ptr<DriveSet> Make(bool scan = true) {
        return std::make_unique<DriveSet>(registry, reg::kLocalMachine, std::wstring(kParametersPath), scan,
                                          rig.Platform());
    }
    std::optional<reg::Value> Get(const std::wstring& sub, std::wstring_view name) {
        reg::Key k = registry.Open(reg::kLocalMachine, std::wstring(kParametersPath) + sub, reg::kKeyRead);
        reg::Value value;
        if (!k || registry.QueryValue(k.get(), name, &value) != reg::kErrorSuccess)
            return std::nullopt;
        return value;
    }
    std::vector<std::wstring> SavedQueue(wchar_t letter) {
        SettingsStore store(registry);
        std::vector<std::wstring> paths;
        store.RestoreQueue(letter - 64, [&](const std::wstring& path) { paths.push_back(path); });
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    DriveSetRig rig;
    reg::MemoryRegistry registry;
};

TEST_F(DriveSetTest, AFreshStoreWatchesTheFixedAndRemovableDrivesWithMoveOn) {
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'D', kDriveCdRom);
    rig.Add(L'E', kDriveRemovable);
    rig.Add(L'F', kDriveRemovable, /*ready=*/false);
    rig.Add(L'G', kDriveRemote);
    rig.instances = {L"_Total", L"0 C: E:", L"1 F:"};
    auto set = Make();

    EXPECT_EQ(set->WatchedDrives(), L"C:\\E:\\");
    EXPECT_EQ(set->WatcherAt(4), nullptr);
    EXPECT_EQ(set->WatcherAt(6), nullptr);   // not ready: skipped, tried again at the next scan
    EXPECT_EQ(set->AvailableDrives(), L"");  // every drive found counts as watched
    for (int index : {3, 5}) {
        ASSERT_NE(set->WatcherAt(index), nullptr);
        EXPECT_TRUE(set->WatcherAt(index)->MoveFlag());
        EXPECT_EQ(set->WatcherAt(index)->DiskInstanceName(), L"0 C: E:");
        EXPECT_EQ(Get(L"\\WatchingDrives", std::to_wstring(index)), reg::Value::Dword(1));
    }
    EXPECT_EQ(set->ReadMove(3), 1u);
    EXPECT_EQ(Get(L"\\WatchingDrives", L"4"), std::nullopt);
    EXPECT_EQ(Get(L"", L"LifeTime"), reg::Value::Dword(0));

    // The medium arrives and the instances are listed anew: F is started; C keeps the instance name it
    // was first given when its watcher is created again.
    DriveEntry f = *rig.table.Find(L'F');
    f.ready = true;
    rig.table.Set(L'F', f);
    rig.instances = {L"_Total", L"1 F: C:"};
    set->DeleteWatcher(3);
    set->Rescan();
    EXPECT_EQ(set->WatchedDrives(), L"C:\\E:\\F:\\");
    EXPECT_EQ(set->WatcherAt(3)->DiskInstanceName(), L"0 C: E:");
    EXPECT_EQ(set->WatcherAt(6)->DiskInstanceName(), L"1 F: C:");
}

TEST_F(DriveSetTest, StopWatchingIsRecordedAndOutlastsTheNextScan) {
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'E', kDriveRemovable);
    auto set = Make();
    ASSERT_EQ(set->WatchedDrives(), L"C:\\E:\\");

    set->StopWatching(L"C");
    EXPECT_EQ(Get(L"\\WatchingDrives", L"3"), reg::Value::Dword(0));
    EXPECT_EQ(set->WatcherAt(3), nullptr);
    set->Rescan();
    EXPECT_EQ(set->WatcherAt(3), nullptr);
    EXPECT_EQ(set->WatchedDrives(), L"E:\\");
    EXPECT_EQ(set->AvailableDrives(), L"C:\\");

    // A deleted watcher is not recorded: the next scan brings it back.
    set->DeleteWatcher(L"E:\\");
    EXPECT_EQ(set->WatchedDrives(), L"");
    set->Rescan();
    EXPECT_EQ(set->WatchedDrives(), L"E:\\");

    // Watching again, as the command channel does it.
    set->CreateWatcher(L"C", L"");
    EXPECT_EQ(Get(L"\\WatchingDrives", L"3"), reg::Value::Dword(0));  // recorded only once started
    set->StartWatching(L"C");
    set->StartWatching(3);  // a second start starts no second set of threads
    EXPECT_EQ(Get(L"\\WatchingDrives", L"3"), reg::Value::Dword(1));
    EXPECT_EQ(set->WatchedDrives(), L"C:\\E:\\");
    EXPECT_EQ(set->AvailableDrives(), L"");
}

TEST_F(DriveSetTest, StopWatchingThatTheStoreCannotRecordKeepsTheDriveWatchedAndSaysWhy) {
    rig.Add(L'C', kDriveFixed);
    // A store whose "WatchingDrives" values can no longer be written, as a damaged host store refuses.
    class RefusingRegistry : public reg::MemoryRegistry {
      public:
        std::uint32_t SetValue(reg::RawKey key, std::wstring_view name, const reg::Value& value) override {
            if (refuse)
                return reg::kErrorAccessDenied;
            return MemoryRegistry::SetValue(key, name, value);
        }
        bool refuse = false;
    } refusing;
    DriveSet set(refusing, reg::kLocalMachine, std::wstring(kParametersPath), true, rig.Platform());
    ASSERT_EQ(set.WatchedDrives(), L"C:\\");
    refusing.refuse = true;
    trace::ScopedCapture traces;
    EXPECT_FALSE(set.StopWatching(L"C:\\"));
    EXPECT_TRUE(
        traces.Contains(L"Cannot stop watching drive C:\\: the settings store could not be written\n"));
    EXPECT_NE(set.WatcherAt(3), nullptr);
    EXPECT_TRUE(set.IsWatching(L"C:\\"));
    EXPECT_EQ(set.WatchedDrives(), L"C:\\");  // listed where the store says it is
    EXPECT_EQ(set.AvailableDrives(), L"");

    refusing.refuse = false;
    EXPECT_TRUE(set.StopWatching(L"C:\\"));
    EXPECT_EQ(set.WatcherAt(3), nullptr);
    EXPECT_EQ(set.AvailableDrives(), L"C:\\");
}

TEST_F(DriveSetTest, ADriveWhoseRootCannotBeOpenedGetsNoWatcherAndNoMark) {
    rig.Add(L'C', kDriveFixed);
    rig.table.Set(L'Q', DriveEntry{});  // a fixed drive whose root does not open for change notification
    trace::ScopedCapture traces;
    auto set = Make();
    EXPECT_EQ(set->WatcherAt(17), nullptr);
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    EXPECT_TRUE(traces.Contains(L"Cannot watch drive Q:\\: No handle\n"));
    // As the watch command does it, for that drive and for a letter with no drive at all.
    for (const wchar_t* drive : {L"Q", L"R:\\"}) {
        SCOPED_TRACE(static_cast<int>(drive[0]));
        EXPECT_THROW(set->CreateWatcher(drive, L""), std::runtime_error);
        EXPECT_THROW(set->StartWatching(std::wstring_view(drive)), DefragInfoException);
    }
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    EXPECT_EQ(Get(L"\\WatchingDrives", L"17"), std::nullopt);
    EXPECT_EQ(Get(L"\\WatchingDrives", L"18"), std::nullopt);
    EXPECT_EQ(rig.changes.OpenWatches(), 1u);
}

TEST_F(DriveSetTest, AWatcherWhoseDriveWentAwayIsDroppedWithItsQueueSavedAndComesBackWithTheDrive) {
    timing::ScopedTimeDivisor patient(10);  // the queued files rest (and stay) for 3 s of real time
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'E', kDriveRemovable);
    auto set = Make();
    ASSERT_EQ(set->WatchedDrives(), L"C:\\E:\\");
    set->QueueFile(5, L"E:\\a.txt");
    set->QueueFile(5, L"E:\\b.txt");
    trace::ScopedCapture traces;
    set->Rescan();  // nothing changed: every watcher stays
    for (const std::wstring& line : traces.Lines())
        EXPECT_NE(line.rfind(L"Drive ", 0), 0u) << ToUtf8(line);

    // The medium is taken out. (A queue stored for E before is replaced by the files of its watcher.)
    set->Store().SaveQueue(L"E:\\", {L"E:\\old1", L"E:\\old2", L"E:\\old3"});
    DriveEntry e = *rig.table.Find(L'E');
    e.ready = false;
    rig.table.Set(L'E', e);
    set->Rescan();
    EXPECT_EQ(set->WatcherAt(5), nullptr);
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    EXPECT_EQ(rig.changes.OpenWatches(), 1u);  // E's root is no longer held open
    EXPECT_TRUE(traces.Contains(L"Drive E:\\ is gone: its watcher ends, 2 files kept for its return\n"));
    EXPECT_EQ(Get(L"\\WatchingDrives", L"5"), reg::Value::Dword(1));

    // It comes back: a new watcher, which has the files again.
    e.ready = true;
    rig.table.Set(L'E', e);
    set->Rescan();
    ASSERT_NE(set->WatcherAt(5), nullptr);
    EXPECT_EQ(Sorted(set->WatcherAt(5)->PendingPaths()),
              (std::vector<std::wstring>{L"E:\\a.txt", L"E:\\b.txt"}));
    EXPECT_EQ(Get(L"\\FilesFor E", L"0"), std::nullopt);  // taken from the store

    // Another volume under C's letter: its watcher is made anew, and its files go over to the new one.
    set->QueueFile(3, L"C:\\c.txt");
    rig.table.Set(L'C', *rig.table.Find(L'C'));
    set->Rescan();
    EXPECT_TRUE(
        traces.Contains(L"Drive C:\\ holds another volume: its watcher ends, 1 files kept for its return\n"));
    ASSERT_NE(set->WatcherAt(3), nullptr);
    EXPECT_EQ(set->WatcherAt(3)->PendingPaths(), std::vector<std::wstring>{L"C:\\c.txt"});

    // C's change source dies (the volume went away and came back under the open handle).
    rig.changes.Detach(L"C:\\", notify::kErrorInvalidHandle);
    ASSERT_TRUE(WaitUntil([&] { return !set->WatcherAt(3)->ChangeSourceAlive(); }));
    set->Rescan();
    EXPECT_TRUE(traces.Contains(
        L"Drive C:\\ reports no more changes: its watcher ends, 1 files kept for its return\n"));
    ASSERT_NE(set->WatcherAt(3), nullptr);
    EXPECT_TRUE(set->WatcherAt(3)->ChangeSourceAlive());
    rig.changes.Push(L"C:\\", notify::MakeNotifyBatch({{fs::kFileActionModified, L"d.txt"}}));
    ASSERT_TRUE(WaitUntil([&] { return Sorted(set->WatcherAt(3)->PendingPaths()).size() == 2; }));

    // The drive leaves the table altogether.
    rig.table.Remove(L'E');
    set->Rescan();
    EXPECT_EQ(set->WatcherAt(5), nullptr);
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    EXPECT_EQ(set->AvailableDrives(), L"");
    EXPECT_EQ(rig.changes.OpenWatches(), 1u);
    set->SaveAll();
    EXPECT_EQ(SavedQueue(L'E'), (std::vector<std::wstring>{L"E:\\a.txt", L"E:\\b.txt"}));
    EXPECT_EQ(SavedQueue(L'C'), (std::vector<std::wstring>{L"C:\\c.txt", L"C:\\d.txt"}));
}

TEST_F(DriveSetTest, CheckDrivesFindsADriveThatWentAwayAndCameBackWithoutADeviceEvent) {
    timing::ScopedTimeDivisor patient(10);  // the queued files rest (and stay) for 3 s of real time
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'E', kDriveRemovable);
    auto set = Make();
    set->QueueFile(5, L"E:\\a.txt");
    trace::ScopedCapture traces;
    set->CheckDrives();  // all is well: nothing changes
    ASSERT_NE(set->WatcherAt(5), nullptr);

    // E's directory goes (the host's change source sees its root deleted; no device event comes).
    DriveEntry e = *rig.table.Find(L'E');
    e.ready = false;
    rig.table.Set(L'E', e);
    rig.changes.Detach(L"E:\\", notify::kErrorInvalidHandle);
    ASSERT_TRUE(WaitUntil([&] { return !set->WatcherAt(5)->ChangeSourceAlive(); }));
    set->CheckDrives();
    EXPECT_EQ(set->WatcherAt(5), nullptr);
    EXPECT_TRUE(traces.Contains(L"Drive E:\\ is gone: its watcher ends, 1 files kept for its return\n"));
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    set->CheckDrives();  // still gone
    EXPECT_EQ(set->WatcherAt(5), nullptr);

    // It comes back: watched again, with its files.
    e.ready = true;
    rig.table.Set(L'E', e);
    set->CheckDrives();
    ASSERT_NE(set->WatcherAt(5), nullptr);
    EXPECT_EQ(set->WatcherAt(5)->PendingPaths(), std::vector<std::wstring>{L"E:\\a.txt"});
    EXPECT_EQ(set->WatchedDrives(), L"C:\\E:\\");

    // Gone again, and no longer wanted before it returns: it stays unwatched, its queue kept.
    e.ready = false;
    rig.table.Set(L'E', e);
    rig.changes.Detach(L"E:\\", notify::kErrorInvalidHandle);
    ASSERT_TRUE(WaitUntil([&] { return !set->WatcherAt(5)->ChangeSourceAlive(); }));
    set->CheckDrives();
    ASSERT_EQ(set->WatcherAt(5), nullptr);
    EXPECT_TRUE(set->StopWatching(L"E"));
    e.ready = true;
    rig.table.Set(L'E', e);
    set->CheckDrives();
    EXPECT_EQ(set->WatcherAt(5), nullptr);
    EXPECT_EQ(set->AvailableDrives(), L"E:\\");
    EXPECT_EQ(SavedQueue(L'E'), std::vector<std::wstring>{L"E:\\a.txt"});
}

TEST_F(DriveSetTest, SaveAllTellsEveryWatcherToStopBeforeItWaitsForTheFirst) {
    timing::ScopedTimeDivisor patient(10);
    HoldingControl control;
    rig.fileSystem = &control;
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'D', kDriveFixed);
    auto set = Make();
    ASSERT_TRUE(control.WaitHeld());  // C's watcher is busy with its drive and cannot stop yet
    set->QueueFile(4, L"D:\\d.txt");
    watcher::Watcher* d = set->WatcherAt(4);
    ASSERT_NE(d, nullptr);
    std::thread saver([&] { set->SaveAll(); });
    const bool toldAtOnce = WaitUntil([&] { return Access::StopEvent(*d).IsSet(); }, 2000);
    control.Release();
    saver.join();
    EXPECT_TRUE(toldAtOnce);
    EXPECT_EQ(set->WatchedDrives(), L"");
    EXPECT_EQ(SavedQueue(L'D'), std::vector<std::wstring>{L"D:\\d.txt"});
}

TEST_F(DriveSetTest, LifeTimeCountsEveryFragmentSavedAlsoAfterAWatcherWent) {
    rig.Add(L'C', kDriveFixed);
    rig.Add(L'D', kDriveFixed);
    {
        SettingsStore store(registry);
        store.CreateKeys();
        store.SaveLifeTime(100);
    }
    auto set = Make();
    trace::ScopedCapture trace;
    EXPECT_EQ(set->LifeTimeTotal(), 100);  // nothing saved yet

    Access::SetFragmentsSaved(*set->WatcherAt(3), 3);
    Access::SetFragmentsSaved(*set->WatcherAt(4), 5);
    EXPECT_EQ(set->LifeTimeTotal(), 108);
    EXPECT_TRUE(trace.Contains(L"LifeTime frags saved = 108"));
    EXPECT_EQ(set->LifeTimeTotal(), 108);  // the same sum adds nothing again

    // A watcher that goes (its drive no longer watched, or gone) has what it saved up to its end
    // counted, and what the others save from then on counts at once: a sum that fell and had to climb
    // back above its highest value first would lose every fragment saved on the way.
    Access::SetFragmentsSaved(*set->WatcherAt(4), 7);
    set->DeleteWatcher(4);
    EXPECT_EQ(set->LifeTimeTotal(), 110);
    Access::SetFragmentsSaved(*set->WatcherAt(3), 5);
    EXPECT_EQ(set->LifeTimeTotal(), 112);
    Access::SetFragmentsSaved(*set->WatcherAt(3), 10);
    EXPECT_EQ(set->LifeTimeTotal(), 117);

    // The count saturates rather than wrapping negative.
    Access::SetFragmentsSaved(*set->WatcherAt(3), INT_MAX);
    EXPECT_EQ(set->LifeTimeTotal(), INT_MAX);

    set->SaveAll();
    EXPECT_EQ(Get(L"", L"LifeTime"), reg::Value::Dword(static_cast<std::uint32_t>(INT_MAX)));
}

TEST_F(DriveSetTest, ExclusionsBeyondTheBoundsAreRefusedTracedAndKeptFromTheWatcher) {
    rig.Add(L'C', kDriveFixed);
    auto set = Make();
    const std::size_t defaults = Access::Exclusions(*set->WatcherAt(3)).size();
    trace::ScopedCapture capture;
    EXPECT_FALSE(set->AddExclusion(L"C:\\", L"C:\\a;b"));
    EXPECT_FALSE(set->AddExclusion(L"C:\\", L"C:\\" + std::wstring(98, L'x')));
    EXPECT_TRUE(capture.Contains(L"Exclusion refused for drive C: it holds \";\"\n"));
    EXPECT_TRUE(capture.Contains(L"Exclusion refused for drive C: longer than 100 characters\n"));
    std::vector<std::wstring> added;
    for (int n = 0; n < 10; ++n) {
        added.push_back(L"\\DIR" + std::to_wstring(n) + L"\\");
        EXPECT_TRUE(set->AddExclusion(L"C:\\", added.back()));
    }
    EXPECT_FALSE(capture.Contains(L"Exclusion refused for drive C: the drive already has 10 exclusions\n"));
    EXPECT_FALSE(set->AddExclusion(L"C:\\", L"\\more\\"));
    EXPECT_TRUE(capture.Contains(L"Exclusion refused for drive C: the drive already has 10 exclusions\n"));
    EXPECT_EQ(set->GetExclusions(L"C"), added);

    // The watcher holds each accepted one once, however often the list is handed over again.
    for (int i = 0; i < 3; ++i)
        set->GetExclusions(L"C:\\");
    const std::vector<std::wstring> list = Access::Exclusions(*set->WatcherAt(3));
    ASSERT_EQ(list.size(), defaults + added.size());
    EXPECT_TRUE(std::equal(added.begin(), added.end(), list.begin() + static_cast<std::ptrdiff_t>(defaults)));
}

TEST_F(DriveSetTest, QueuesAndExclusionsReachTheWatcherAndSurviveASave) {
    rig.Add(L'C', kDriveFixed);
    auto set = Make();
    EXPECT_TRUE(set->QueueFile(3, L"C:\\a.txt"));
    // A watcher created anew takes over the files its predecessor still held.
    set->CreateWatcher(L"C:\\", L"");
    set->StartWatching(3);
    EXPECT_TRUE(set->QueueFile(3, L"C:\\b.txt"));

    const std::size_t defaults = Access::Exclusions(*set->WatcherAt(3)).size();
    EXPECT_TRUE(set->AddExclusion(L"C:\\", L"\\temp\\"));
    EXPECT_TRUE(set->AddExclusion(L"C:\\", L"\\cache\\"));
    EXPECT_FALSE(set->AddExclusion(L"C:\\", L"\\TEMP\\"));
    std::vector<std::wstring> list = Access::Exclusions(*set->WatcherAt(3));
    ASSERT_EQ(list.size(), defaults + 2);
    EXPECT_EQ(list[defaults], L"\\TEMP\\");

    // A removed exclusion stops applying in the running watcher at once.
    EXPECT_TRUE(set->RemoveExclusion(L"C:\\", L"\\Temp\\"));
    EXPECT_FALSE(set->RemoveExclusion(L"C:\\", L"\\temp\\"));
    list = Access::Exclusions(*set->WatcherAt(3));
    ASSERT_EQ(list.size(), defaults + 1);
    EXPECT_EQ(list.back(), L"\\CACHE\\");
    EXPECT_EQ(set->GetExclusions(L"C"), std::vector<std::wstring>{L"\\CACHE\\"});

    set->WriteMove(L"C", 0);
    EXPECT_FALSE(set->SetMove(L"C", set->ReadMove(3) != 0).MoveFlag());

    set->SaveAll();
    EXPECT_EQ(set->WatchedDrives(), L"");
    EXPECT_EQ(Get(L"\\WatchingDrives", L"3"), reg::Value::Dword(1));  // watched again at the next scan
    EXPECT_EQ(Get(L"\\FilesFor C", L"0").has_value(), true);

    // The next start restores the queue into the new watcher (and deletes it from the store), reads
    // "Move" and hands over the exclusions.
    set->Rescan();
    watcher::Watcher* c = set->WatcherAt(3);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->MoveFlag());
    EXPECT_EQ(Access::Exclusions(*c).back(), L"\\CACHE\\");
    EXPECT_EQ(Get(L"\\FilesFor C", L"0"), std::nullopt);
    set->SaveAll();
    EXPECT_EQ(SavedQueue(L'C'), (std::vector<std::wstring>{L"C:\\a.txt", L"C:\\b.txt"}));
}

TEST_F(DriveSetTest, DrivesAndIndexesFromOutsideNeverReachBeyondTheTable) {
    rig.Add(L'C', kDriveFixed);
    auto set = Make();
    EXPECT_EQ(DriveSet::DriveIndex(L"C:\\"), 3);
    EXPECT_EQ(DriveSet::DriveIndex(L"c"), 35);  // no case folding: no drive
    EXPECT_EQ(DriveSet::DriveIndex(L""), 0);

    for (int index : {INT_MIN, -1, 0, 4, 26, 27, 35, 1000, INT_MAX}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(set->WatcherAt(index), nullptr);
        EXPECT_EQ(set->FragmentsSaved(index), 0);
        EXPECT_EQ(set->FilesLeft(index), 0);
        EXPECT_EQ(set->LargestFragmentsSaved(index), 0);
        EXPECT_EQ(set->FreeClusters(index), 0);
        EXPECT_EQ(set->VolumeClusters(index), 0);
        EXPECT_THROW(set->SetMove(index, true), DefragInfoException);
        EXPECT_THROW(set->QueueFile(index, L"x"), DefragInfoException);
        EXPECT_THROW(set->StartWatching(index), DefragInfoException);
        EXPECT_FALSE(set->StartWatcher(index));
        set->DeleteWatcher(index);
    }
    try {
        set->SetMove(26, false);
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "No DefragInfo on this drive");
    }

    for (const wchar_t* drive : {L"c:\\", L"", L"@", L"[", L"3", L"\xFFFF"}) {
        SCOPED_TRACE(static_cast<int>(drive[0]));
        EXPECT_THROW(set->CreateWatcher(drive, L""), std::invalid_argument);
        EXPECT_THROW(set->StartWatching(std::wstring_view(drive)), DefragInfoException);
        EXPECT_THROW(set->SetMove(std::wstring_view(drive), true), DefragInfoException);
        set->StopWatching(drive);
        set->DeleteWatcher(std::wstring_view(drive));
        EXPECT_FALSE(set->AddExclusion(drive, L"\\x\\"));  // refused drive: nothing stored
        EXPECT_TRUE(set->GetExclusions(drive).empty());
        EXPECT_FALSE(set->RemoveExclusion(drive, L"\\x\\"));
    }
    // Lower-case c named drive C nowhere.
    EXPECT_EQ(set->WatchedDrives(), L"C:\\");
    EXPECT_EQ(Get(L"\\WatchingDrives", L"3"), reg::Value::Dword(1));
    EXPECT_TRUE(set->GetExclusions(L"C").empty());
}

}  // namespace
}  // namespace kestrel::drives
