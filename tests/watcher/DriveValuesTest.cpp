// The drive-values thread and the free-cluster count it streams from the bitmap request: the count
// equals the walk of an engine's free-run search over a full bitmap copy, stays 64-bit, and the thread
// measures again after a second while it finds nothing and ends at once when its Watcher goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/FreeClusterCount.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

// The measurement as an engine with a full bitmap copy makes it: every free run after LCN 0.
std::int64_t EngineWalk(fs::FileSystemControl& fs, const std::wstring& path) {
    engine::DefragEngine engine(fs, path);
    std::int64_t start = 0, length = 0, total = 0;
    for (;;) {
        start += length;
        const std::int64_t r = engine.FindFreeRun(start, 0, length, 0);
        if (r == 0)
            break;
        start = r;
        total += length;
    }
    return total;
}

sim::Geometry Volume(std::int64_t clusters, std::int64_t zoneStart = 0, std::int64_t zoneEnd = 0) {
    sim::Geometry g;
    g.totalClusters = clusters;
    g.mftZoneStart = zoneStart;
    g.mftZoneEnd = zoneEnd;
    return g;
}

TEST(FreeClusterCount, EqualsTheWalkOverAFullBitmapCopyPageByPage) {
    timing::ScopedTimeDivisor divisor(100);
    std::mt19937 random(7);
    struct Layout {
        std::int64_t clusters, zoneStart, zoneEnd;
    };
    // Sizes that end inside a byte and a word, an MFT zone in the middle and one at the end.
    for (const Layout& layout : {Layout{1003, 0, 0}, Layout{4096, 100, 299}, Layout{70001, 69000, 70000}}) {
        sim::SimVolume volume(Volume(layout.clusters, layout.zoneStart, layout.zoneEnd));
        for (std::int64_t lcn = 1; lcn < layout.clusters;) {
            const std::int64_t run = 1 + static_cast<std::int64_t>(random() % 90);
            if (random() % 2 == 0)
                volume.Occupy(lcn, std::min(run, layout.clusters - lcn));
            lcn += run;
        }
        sim::SimFileSystem fs;
        fs.Mount(L'C', volume);
        const std::int64_t expected = EngineWalk(fs, L"C:\\");
        ASSERT_GT(expected, 0);
        for (std::uint32_t page : {8u, 24u, 4096u, engine::kFreeCountPageBytes}) {
            SCOPED_TRACE(page);
            EXPECT_EQ(engine::CountFreeClusters(fs, L"C:\\", nullptr, page), expected);
        }
        // A pending answer is waited for; a refused one counts nothing, as the engine's copy shows nothing.
        volume.InjectFault({sim::Fault::Kind::Pending, fs::kFsctlGetVolumeBitmap, {}, 0, 0});
        EXPECT_EQ(engine::CountFreeClusters(fs, L"C:\\", nullptr, 8), expected);
        volume.InjectFault(
            {sim::Fault::Kind::Status, fs::kFsctlGetVolumeBitmap, {}, fs::kStatusInvalidParameter});
        EXPECT_EQ(engine::CountFreeClusters(fs, L"C:\\", nullptr, 8), 0);
    }
}

TEST(FreeClusterCount, LcnZeroIsNeverCountedAndAMissingVolumeCountsNothing) {
    timing::ScopedTimeDivisor divisor(1000);
    sim::SimVolume volume(Volume(64));
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);
    EXPECT_EQ(engine::CountFreeClusters(fs, L"C:\\"), 63);
    EXPECT_EQ(EngineWalk(fs, L"C:\\"), 63);
    EXPECT_EQ(engine::CountFreeClusters(fs, L"Q:\\"), 0);  // no such volume: after the engine's retries
    EXPECT_EQ(engine::CountFreeClusters(fs, L"1:\\"), 0);
    timing::Event stop(true, true);
    EXPECT_EQ(engine::CountFreeClusters(fs, L"Q:\\", &stop), std::nullopt);
}

// A volume too large to simulate cluster by cluster: its bitmap pages are made up on request. Clusters
// below `usedBelow` are in use, the rest free; the MFT zone is [zoneStart, zoneEnd].
class SyntheticVolume : public fs::FileSystemControl {
  public:
    SyntheticVolume(std::int64_t total, std::int64_t usedBelow, std::int64_t zoneStart, std::int64_t zoneEnd)
        : total_(total), usedBelow_(usedBelow), zoneStart_(zoneStart), zoneEnd_(zoneEnd) {}
    fs::OpenResult OpenVolume(const std::wstring&) override { return {reinterpret_cast<fs::RawHandle>(1)}; }
    fs::OpenResult OpenFile(const std::wstring&) override {
        return {fs::kInvalidHandle, fs::kErrorFileNotFound};
    }
    void Close(fs::RawHandle) noexcept override {}
    bool Bind() override { return true; }
    bool Wait(fs::RawHandle, std::uint32_t) override { return true; }
    std::optional<std::uint64_t> FindFileSize(const std::wstring&) override { return std::nullopt; }
    fs::NtStatus Control(fs::RawHandle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t, void* out, std::uint32_t outLength) override {
        if (code == fs::kFsctlGetNtfsVolumeData) {
            fs::NTFS_VOLUME_DATA_BUFFER data{};
            data.TotalClusters = total_;
            data.BytesPerCluster = 4096;
            data.MftZoneStart = zoneStart_;
            data.MftZoneEnd = zoneEnd_;
            std::memcpy(out, &data, sizeof(data));
            io.Status = fs::kStatusSuccess;
            io.Information = sizeof(data);
            return io.Status;
        }
        fs::STARTING_LCN_INPUT_BUFFER input{};
        std::memcpy(&input, in, sizeof(input));
        const std::int64_t start = input.StartingLcn & ~std::int64_t{7};
        fs::VOLUME_BITMAP_BUFFER header{};
        header.StartingLcn = start;
        header.BitmapSize = total_ - start;
        std::memcpy(out, &header, fs::kVolumeBitmapHeaderSize);
        const std::uint64_t need = static_cast<std::uint64_t>(total_ - start + 7) / 8;
        const std::uint64_t room = outLength - fs::kVolumeBitmapHeaderSize;
        const std::uint64_t bytes = std::min(need, room);
        auto* bits = static_cast<std::uint8_t*>(out) + fs::kVolumeBitmapHeaderSize;
        // Byte-aligned in this volume: usedBelow is a multiple of 8.
        const std::int64_t usedBytes =
            std::clamp<std::int64_t>((usedBelow_ - start) / 8, 0, static_cast<std::int64_t>(bytes));
        std::memset(bits, 0xFF, static_cast<std::size_t>(usedBytes));
        std::memset(bits + usedBytes, 0,
                    static_cast<std::size_t>(bytes - static_cast<std::uint64_t>(usedBytes)));
        io.Information = fs::kVolumeBitmapHeaderSize + bytes;
        io.Status = bytes < need ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
        return io.Status;
    }

  private:
    std::int64_t total_, usedBelow_, zoneStart_, zoneEnd_;
};

TEST(FreeClusterCount, AVolumeOfMoreThanTwoToTheThirtyTwoClustersCountsInSixtyFourBits) {
    const std::int64_t total = (std::int64_t{1} << 32) + 12345;
    const std::int64_t usedBelow = std::int64_t{1} << 20;
    const std::int64_t zoneStart = std::int64_t{3} << 30, zoneEnd = zoneStart + 999;
    SyntheticVolume volume(total, usedBelow, zoneStart, zoneEnd);
    const std::optional<std::int64_t> free =
        engine::CountFreeClusters(volume, L"C:\\", nullptr, 8 * 1024 * 1024);
    EXPECT_EQ(free, total - usedBelow - 1000);  // past 2^32: the low 32 bits alone would say 12345 - ...
}

TEST(DriveValues, MeasuresTheFreeClustersAndAFullVolumeAgainEverySecond) {
    WatcherRig rig;  // time runs 100 times faster: a second is 10 ms, five minutes 3 s
    sim::SimVolume volume(Volume(20000));
    ASSERT_TRUE(volume.Occupy(1, 4999));
    ASSERT_TRUE(volume.AddFile(L"\\late", {{0, 5000, 1000}}));
    ASSERT_TRUE(volume.Occupy(6000, 14000));
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);
    WatcherPlatform platform = rig.Platform();
    platform.fileSystem = &fs;

    // A full volume (cluster 0 never counts): 0, measured again every second.
    Watcher w(L"C", L"", platform);
    EXPECT_EQ(w.VolumeClusters(), 0);  // no engine of the defragmentation thread yet
    w.Prepare();
    w.StartThreads();
    ASSERT_TRUE(WaitUntil([&] { return Access::DriveMeasurements(w) >= 3; }, 2000));
    EXPECT_EQ(w.FreeClusters(), 0);

    // One free run of 1,000 clusters: found by the next measurement, which then waits five minutes.
    ASSERT_TRUE(volume.DeleteFile(L"\\late"));
    ASSERT_TRUE(WaitUntil([&] { return w.FreeClusters() == 1000; }));
    const std::uint64_t measured = Access::DriveMeasurements(w);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Access::DriveMeasurements(w), measured);
}

TEST(DriveValues, AWatcherDestroyedDuringTheFiveMinuteWaitEndsAtOnce) {
    WatcherRig rig;
    timing::ScopedTimeDivisor slower(10);  // five minutes are 30 s here
    sim::SimVolume volume(Volume(4096));
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);
    WatcherPlatform platform = rig.Platform();
    platform.fileSystem = &fs;
    auto w = std::make_unique<Watcher>(L"C", L"", platform);
    w->Prepare();
    w->StartThreads();
    ASSERT_TRUE(WaitUntil([&] { return Access::DriveMeasurements(*w) == 1; }));
    EXPECT_EQ(w->FreeClusters(), 4095);
    const auto before = std::chrono::steady_clock::now();
    w.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

}  // namespace
}  // namespace kestrel::watcher
