// The drive set over the host's file-backed registry: what a service saves when it stops comes back in
// the next process, even when the first one is killed right after its save. Host only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>

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

TEST_F(DriveSetRestartTest, WhatASaveAtShutdownWroteComesBackAfterTheProcessIsKilled) {
    // Six watched drives with files queued on each; the save is timed in the child.
    constexpr wchar_t kLast = L'H';
    constexpr int kDrives = kLast - L'C' + 1;
    for (wchar_t letter = L'D'; letter <= kLast; ++letter)
        rig.Add(letter, kDriveFixed);
    constexpr int kFilesPerDrive = 4;
    auto fileOf = [](wchar_t letter, int i) {
        return std::wstring{letter} + L":\\queued\\" + std::to_wstring(i) + L".dat";
    };
    timing::ScopedTimeDivisor patient(10);  // the queued files rest for 3 s: still queued at the save
    ASSERT_TRUE(RunInKilledChild([&] {
        reg::HostRegistry registry(file);
        DriveSet set(registry, reg::kLocalMachine, std::wstring(kParametersPath), true, rig.Platform());
        if (set.WatchedDrives().size() != kDrives * 3)
            return false;
        for (wchar_t letter = L'C'; letter <= kLast; ++letter) {
            for (int i = 0; i < kFilesPerDrive; ++i)
                set.QueueFile(letter - 64, fileOf(letter, i));
        }
        Access::SetFragmentsSaved(*set.WatcherAt(3), 17);
        const auto start = std::chrono::steady_clock::now();
        set.SaveState();  // the watchers run on; then the process dies without any other save
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::cout << "save at shutdown: " << kDrives << " drives, " << kDrives * kFilesPerDrive << " files, "
                  << ms << " ms" << std::endl;
        return set.WatchedDrives().size() == kDrives * 3;
    }));

    reg::HostRegistry registry(file);
    DriveSet set(registry, reg::kLocalMachine, std::wstring(kParametersPath), true, rig.Platform());
    EXPECT_EQ(set.LifeTimeTotal(), 17);
    for (wchar_t letter = L'C'; letter <= kLast; ++letter) {
        SCOPED_TRACE(static_cast<char>(letter));
        watcher::Watcher* w = set.WatcherAt(letter - 64);
        ASSERT_NE(w, nullptr);
        std::vector<std::wstring> expected;
        for (int i = 0; i < kFilesPerDrive; ++i)
            expected.push_back(fileOf(letter, i));
        std::vector<std::wstring> restored = w->PendingPaths();
        std::sort(restored.begin(), restored.end());
        EXPECT_EQ(restored, expected);
    }
}

}  // namespace
}  // namespace kestrel::drives
