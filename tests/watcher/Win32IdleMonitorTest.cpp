// Windows only (run under Wine): the idle monitor over the system's own PDH and WMI. Where the system has
// no "PhysicalDisk" object (Wine), the enumeration is empty, the drive gets no disk instance and stays
// idle; a monitor given an instance the system does not know neither crashes nor holds its Watcher up.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>

#include "service/watcher/DiskInstances.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

TEST(Win32IdleMonitorTest, WithoutAPhysicalDiskObjectTheDriveIsAlwaysIdle) {
    timing::ScopedTimeDivisor divisor(10);
    const std::vector<std::wstring> disks = EnumPhysicalDisks();
    for (const std::wstring& name : disks)
        EXPECT_FALSE(name.empty());
    const std::wstring instance = FindDiskInstance(disks, L"C:\\");
    if (!disks.empty())
        GTEST_SKIP() << "this system has \"PhysicalDisk\" instances; the empty path is not taken";
    EXPECT_TRUE(instance.empty());
    Watcher w(L"c:", instance);
    w.Prepare();
    w.StartThreads();
    Sleep(300);
    EXPECT_TRUE(Access::IdleEvent(w).IsSet());
}

TEST(Win32IdleMonitorTest, AMonitorOfAnUnknownInstanceEndsWithItsWatcher) {
    timing::ScopedTimeDivisor divisor(10);
    const auto before = std::chrono::steady_clock::now();
    {
        Watcher w(L"c:", L"99 Q: kestrel-unknown");
        w.Prepare();
        w.StartThreads();
        Sleep(500);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
}

}  // namespace
}  // namespace kestrel::watcher
