// The drive set over the host's file-backed registry: what a service saves when it stops comes back in
// the next process, even when the first one is killed right after its save. Host only.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/host/HostRegistry.h"
#include "tests/drives/DriveSetRig.h"
#include "tests/drives/KilledChild.h"

namespace kestrel::drives {
namespace {

using Access = watcher::WatcherTestAccess;

class DriveSetRestartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-driveset-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/registry.dat";
        rig.Add(L'C', kDriveFixed);
        rig.Add(L'E', kDriveRemovable);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, file;
    DriveSetRig rig;
};

TEST_F(DriveSetRestartTest, QueuesExclusionsAndTheLifeTimeCountOutliveAKilledProcess) {
    const std::vector<std::wstring> queued{L"C:\\Data\\one.db", L"C:\\Data\\two.db", L"C:\\three.log"};
    ASSERT_TRUE(RunInKilledChild([&] {
        reg::HostRegistry registry(file);
        DriveSet set(registry, reg::kLocalMachine, std::wstring(kParametersPath), true, rig.Platform());
        if (set.WatchedDrives() != L"C:\\E:\\")
            return false;
        for (const std::wstring& path : queued)
            set.QueueFile(3, path);
        set.AddExclusion(L"C:\\", L"\\cache\\");
        set.StopWatching(L"E:\\");
        set.WriteMove(L"C", 0);
        Access::SetFragmentsSaved(*set.WatcherAt(3), 42);
        set.Shutdown();
        return set.WatchedDrives().empty();
    }));

    // The restored files rest 30 scaled seconds before the watcher tries them (and drops them, as they
    // do not exist). Time runs ten times slower here than in the rig, so that the checks below end well
    // within that rest even on a slow machine (under the thread sanitizer the rig's 0.3 s were not always
    // enough).
    timing::ScopedTimeDivisor patient(10);
    reg::HostRegistry registry(file);
    DriveSet set(registry, reg::kLocalMachine, std::wstring(kParametersPath), true, rig.Platform());
    EXPECT_EQ(set.WatchedDrives(), L"C:\\");
    EXPECT_EQ(set.AvailableDrives(), L"E:\\");
    EXPECT_EQ(set.LifeTimeTotal(), 42);
    watcher::Watcher* c = set.WatcherAt(3);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->MoveFlag());
    EXPECT_EQ(Access::Exclusions(*c).back(), L"\\CACHE\\");
    EXPECT_EQ(set.Store().RestoreQueue(3, [](const std::wstring&) {}), 0u);  // taken by the watcher

    // The restored files are the watcher's now: the next save writes them again.
    set.Shutdown();
    std::vector<std::wstring> saved;
    set.Store().RestoreQueue(3, [&](const std::wstring& path) { saved.push_back(path); });
    std::sort(saved.begin(), saved.end());
    std::vector<std::wstring> expected = queued;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(saved, expected);
}

}  // namespace
}  // namespace kestrel::drives
