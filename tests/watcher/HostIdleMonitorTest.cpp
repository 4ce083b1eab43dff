// The idle monitor over the host's own disk counters (/proc/diskstats): a read load on the block device
// under a test directory makes the monitor reset the idle event.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Trace.h"
#include "platform/host/HostDiskCounters.h"
#include "service/watcher/DiskInstances.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kFileChunks = 64;  // a 64 MiB file

// Reads the file again and again past the page cache (O_DIRECT where the file system allows it, else
// dropping the cached pages first), resting a little between reads so that the disk is busy part of the
// time, not all of it.
void ReadLoad(const std::string& path, std::atomic<bool>& stop) {
    void* raw = nullptr;
    if (posix_memalign(&raw, 4096, kChunk) != 0)
        return;
    std::unique_ptr<void, decltype(&std::free)> buffer(raw, &std::free);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT);
    const bool direct = fd >= 0;
    if (!direct)
        fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    std::size_t chunk = 0;
    while (!stop.load()) {
        if (!direct && chunk == 0)
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        if (::pread(fd, buffer.get(), kChunk, static_cast<off_t>(chunk * kChunk)) <= 0)
            break;
        chunk = (chunk + 1) % kFileChunks;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
}

TEST(HostIdleMonitor, AReadLoadOnTheDiskUnderTheDriveResetsTheIdleEvent) {
    const std::filesystem::path directory =
        std::filesystem::path(testing::TempDir()) / ("kestrel-idle-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    struct Cleanup {
        std::filesystem::path path;
        ~Cleanup() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } cleanup{directory};

    WatcherRig rig;
    timing::ScopedTimeDivisor divisor(5);  // 20 ms samples, 200 ms to 1 s between them
    rig.drives.Set(L'C', drives::BackedBy(directory.wstring()));
    perf::HostDiskCounters counters(rig.drives);
    if (::access(counters.DiskstatsPath().c_str(), R_OK) != 0)
        GTEST_SKIP() << "/proc/diskstats cannot be read on this machine";
    const std::string device = counters.DeviceOf(directory.wstring());
    if (device.empty())
        GTEST_SKIP() << "no block device with statistics holds " << directory << " (e.g. tmpfs or overlay)";
    const std::wstring instance = FindDiskInstance(EnumPhysicalDisks(counters), L"C:\\");
    ASSERT_EQ(instance.rfind(L"0 C:", 0), 0u) << "device " << device;

    const std::string file = (directory / "load").string();
    {
        std::vector<char> chunk(kChunk, 'k');
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        for (std::size_t i = 0; i < kFileChunks; ++i)
            ASSERT_EQ(::write(fd, chunk.data(), kChunk), static_cast<ssize_t>(kChunk));
        ::fsync(fd);
        ::close(fd);
    }

    trace::ScopedCapture traces;
    WatcherPlatform platform = rig.Platform();
    platform.diskCounters = &counters;
    Watcher w(L"C", instance, platform);
    w.Prepare();
    ASSERT_TRUE(Access::IdleEvent(w).IsSet());
    std::atomic<bool> stop{false};
    std::thread load(ReadLoad, file, std::ref(stop));
    w.StartThreads();
    const bool reset = WaitUntil([&] { return !Access::IdleEvent(w).IsSet(); }, 8000);
    stop = true;
    load.join();
    EXPECT_TRUE(reset) << "the monitor never found " << device << " busy under the read load";
    // The reset comes from a measured busy share, not from the initial percent.
    bool busyShare = false;
    const std::wstring prefix = L"Disk " + instance + L" is ";
    for (const std::wstring& line : traces.Lines()) {
        if (line.rfind(prefix, 0) == 0 && line.find(L"-") == std::wstring::npos)
            busyShare = busyShare || std::wcstol(line.c_str() + prefix.size(), nullptr, 10) <= 95;
    }
    EXPECT_TRUE(busyShare);
}

// The samples over statistics files laid out as the kernel's are: the device's line of the whole list is
// found among others whose names begin alike, or the device's own one-line file is read instead; each
// sample reads the files afresh, and a device that is no longer listed makes the reads fail.
TEST(HostIdleMonitor, SamplesReadOnlyTheLineOfTheDeviceUnderTheDrive) {
    namespace stdfs = std::filesystem;
    const stdfs::path root =
        stdfs::path(testing::TempDir()) / ("kestrel-stats-" + std::to_string(::getpid()));
    stdfs::create_directories(root / "drive");
    stdfs::create_directories(root / "dev");
    struct Cleanup {
        stdfs::path path;
        ~Cleanup() {
            std::error_code ignored;
            stdfs::remove_all(path, ignored);
        }
    } cleanup{root};
    struct stat info {};
    ASSERT_EQ(::stat((root / "drive").c_str(), &info), 0);
    stdfs::create_symlink(
        "../../devices/virtual/block/fakedisk",
        root / "dev" / (std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev))));
    auto list = [&](std::uint64_t ticks, const char* name) {
        std::ofstream(root / "diskstats", std::ios::trunc)
            << "   7       0 loop0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
            << " 253       1 " << name << "1 1 2 3 4 5 6 7 8 9 77777 11\n"
            << " 253       0 " << name << " 1 2 3 4 5 6 7 8 9 " << ticks << " 11 12 13 14 15 16 17\n";
    };
    auto own = [&](std::uint64_t ticks) {
        stdfs::create_directories(root / "class" / "fakedisk");
        std::ofstream(root / "class" / "fakedisk" / "stat", std::ios::trunc)
            << "       1        2        3        4        5        6        7        8        0     "
            << ticks << "    11\n";
    };
    WatcherRig rig;
    rig.drives.Set(L'C', drives::BackedBy((root / "drive").wstring()));
    for (bool ownFile : {false, true}) {
        // With its own file the device's line of the list is not read (its figure here would be wrong).
        list(ownFile ? 55555 : 1000, "fakedisk");
        if (ownFile)
            own(1000);
        perf::HostDiskCounters counters(rig.drives, (root / "diskstats").string(), (root / "dev").string(),
                                        (root / "class").string());
        ASSERT_EQ(counters.DeviceOf((root / "drive").wstring()), "fakedisk");
        std::unique_ptr<perf::CounterSession> session = counters.OpenSession();
        std::unique_ptr<perf::Refresher> refresher = session->CreateRefresher();
        std::int32_t error = 0;
        std::unique_ptr<perf::CounterAccess> access;
        ASSERT_EQ(refresher->AddObjectByPath(L"Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"0 C:\"", error,
                                             access),
                  perf::AddResult::Added);
        std::int32_t idleHandle = 0, baseHandle = 0;
        ASSERT_EQ(access->GetPropertyHandle(L"PercentIdleTime", idleHandle), 0);
        ASSERT_EQ(access->GetPropertyHandle(L"PercentIdleTime_Base", baseHandle), 0);
        std::uint64_t idle0 = 0, base0 = 0, idle1 = 0, base1 = 0;
        refresher->Refresh();
        ASSERT_TRUE(access->ReadQword(idleHandle, idle0));
        ASSERT_TRUE(access->ReadQword(baseHandle, base0));
        EXPECT_EQ(base0 - idle0, 1000u * 10000u) << "busy time: io_ticks (ms) in 100 ns units";
        // 3 ms more of I/O in at least 20 ms: the next sample's busy time grows by exactly that.
        list(ownFile ? 55555 : 1003, "fakedisk");
        if (ownFile)
            own(1003);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        refresher->Refresh();
        ASSERT_TRUE(access->ReadQword(idleHandle, idle1));
        ASSERT_TRUE(access->ReadQword(baseHandle, base1));
        EXPECT_EQ((base1 - base0) - (idle1 - idle0), 3u * 10000u);
        if (!ownFile) {
            list(1400, "otherdisk");  // the device is gone from the list
            refresher->Refresh();
            EXPECT_FALSE(access->ReadQword(idleHandle, idle1));
        }
    }
}

}  // namespace
}  // namespace kestrel::watcher
