// The engine's bitmap copy: sizing and growth, staleness, the MFT zone, pending answers, run hints and
// the polling of one cluster.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "platform/Trace.h"
#include "tests/engine/EngineTestSupport.h"

namespace kestrel::engine::test {
namespace {

// The copy agrees with the volume, cluster by cluster.
void ExpectCopyMatches(const DefragEngine& engine, const sim::SimVolume& volume) {
    const std::int64_t total = volume.geometry().totalClusters;
    ASSERT_EQ(engine.Bitmap().bitCount, static_cast<std::uint64_t>(total));
    const auto& zone = volume.geometry();
    for (std::int64_t lcn = 0; lcn < total; ++lcn) {
        // With volume data the zone is marked, even the "no zone" of 0 to 0 (cluster 0).
        const bool inZone = !engine.NoVolumeData() && lcn >= zone.mftZoneStart && lcn <= zone.mftZoneEnd;
        ASSERT_EQ(engine.Bitmap().IsUsed(lcn), volume.IsUsed(lcn) || inZone) << "cluster " << lcn;
    }
}

class LargeVolume : public EngineTest {
  protected:
    LargeVolume() : EngineTest({400000, 4096, 0, 0}) {}
    void SetUp() override {
        // Some allocation, so that the bits are not all alike.
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(volume_.Append(L"\\f" + std::to_wstring(i % 7), 997 + i));
    }
};

TEST_F(LargeVolume, WithoutVolumeDataTheBufferGrowsToTheAnnouncedSizeInOneStep) {
    RefuseVolumeData();
    DefragEngine engine(control_, L"C:\\");
    // The first guess of 16,402 bytes overflows; the answer's BitmapSize (400,000 clusters, not the
    // assumed 131,216) sizes the buffer at once: 400,000 / 8 + 160. Two round trips in all.
    EXPECT_EQ(control_.OutLengths(fs::kFsctlGetVolumeBitmap), (std::vector<std::uint32_t>{16386, 50144}));
    EXPECT_EQ(engine.TotalClusters(), 400000);
    EXPECT_EQ(engine.BitmapSizeValue(), 50160u);
    ExpectCopyMatches(engine, volume_);
}

TEST_F(LargeVolume, AnUndersizedBitmapFileGuessGrowsToo) {
    fs_.SetBitmapFileSize(L'C', 1000);
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(control_.OutLengths(fs::kFsctlGetVolumeBitmap), (std::vector<std::uint32_t>{1144, 50144}));
    ExpectCopyMatches(engine, volume_);
}

// Rewrites the header of every overflow answer, or fails the n-th bitmap request.
class BitmapAnswerControl : public RecordingControl {
  public:
    using RecordingControl::RecordingControl;
    std::optional<std::int64_t> overflowBitmapSize;  // written into overflow answers when set
    std::optional<std::int64_t> overflowStartingLcn;
    int failRequest = 0;  // 1 = the next bitmap request fails, 2 = the one after, and so on; 0 = none
    bool failAll = false;  // every bitmap request fails
    fs::NtStatus failStatus = fs::kStatusInvalidDeviceRequest;

    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        if (code == fs::kFsctlGetVolumeBitmap && (failAll || (failRequest > 0 && --failRequest == 0))) {
            io.Status = failStatus;
            io.Information = 0;
            return failStatus;
        }
        const fs::NtStatus status = RecordingControl::Control(handle, io, code, in, inLength, out, outLength);
        if (code == fs::kFsctlGetVolumeBitmap && status == fs::kStatusBufferOverflow) {
            auto* header = static_cast<std::uint8_t*>(out);
            if (overflowStartingLcn)
                std::memcpy(header, &*overflowStartingLcn, 8);
            if (overflowBitmapSize)
                std::memcpy(header + 8, &*overflowBitmapSize, 8);
        }
        return status;
    }
};

class BitmapAnswers : public LargeVolume {
  protected:
    BitmapAnswerControl answers_{fs_};
};

// Rewrites the success answers of the bitmap request the way no file system answers.
class DamagedSuccessControl : public RecordingControl {
  public:
    using RecordingControl::RecordingControl;
    enum class Damage { None, ShortByteCount, OtherStartingLcn, NoHeader } damage = Damage::None;

    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        const fs::NtStatus status = RecordingControl::Control(handle, io, code, in, inLength, out, outLength);
        if (code != fs::kFsctlGetVolumeBitmap || status != fs::kStatusSuccess)
            return status;
        if (damage == Damage::ShortByteCount)
            io.Information -= 1;  // one byte of bits missing
        if (damage == Damage::OtherStartingLcn) {
            const std::int64_t lcn = 8;
            std::memcpy(out, &lcn, sizeof lcn);
        }
        if (damage == Damage::NoHeader) {
            // Bits written where the copy's free clusters are, but a byte count below the header's.
            std::memset(static_cast<std::uint8_t*>(out) + 16, 0, outLength - 16);
            io.Information = 8;
        }
        return status;
    }
};

TEST_F(LargeVolume, ASuccessAnswerThatCannotBeReadWhollyOffersNoFreeSpace) {
    using Damage = DamagedSuccessControl::Damage;
    for (const Damage damage : {Damage::ShortByteCount, Damage::OtherStartingLcn, Damage::NoHeader}) {
        SCOPED_TRACE(static_cast<int>(damage));
        DamagedSuccessControl control(fs_);
        control.damage = damage;
        DefragEngine engine(control, L"C:\\");
        std::int64_t length = 0;
        EXPECT_EQ(engine.FindFreeRun(-1, 1, length), 0);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(engine.FindBiggestFreeSpace(length), 0);
        EXPECT_EQ(length, 0);
        EXPECT_FALSE(engine.IsClusterFree(390000));  // free on the volume, but not known to be
        // Once the answers are whole again, the next search reads the bitmap anew.
        control.damage = Damage::None;
        EXPECT_NE(engine.FindFreeRun(-1, 1, length), 0);
        ExpectCopyMatches(engine, volume_);
    }
}

TEST_F(BitmapAnswers, NothingPastAShortCopyIsOfferedAsFree) {
    // $Bitmap is reported far too small and every request fails: the copy covers only the first
    // 8,000 clusters, all shown in use. The clusters after it are not known to be free either.
    fs_.SetBitmapFileSize(L'C', 1000);
    answers_.failAll = true;
    DefragEngine engine(answers_, L"C:\\");
    ASSERT_LT(engine.Bitmap().bitCount, static_cast<std::uint64_t>(engine.TotalClusters()));
    std::int64_t length = 0;
    EXPECT_EQ(engine.FindFreeRun(-1, 1, length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(engine.FindBiggestFreeSpace(length), 0);
    EXPECT_EQ(length, 0);
    const auto pastCopy = static_cast<std::int64_t>(engine.Bitmap().bitCount) + 100;
    EXPECT_FALSE(engine.IsClusterFree(pastCopy));
    EXPECT_TRUE(engine.IsClusterFree(engine.TotalClusters()));  // past the volume's end
}

TEST_F(BitmapAnswers, AnImplausibleAnnouncedSizeFallsBackTo16402BytesPerOverflow) {
    // 16,402 bytes and then 16,402 more per overflow until the 50,000 bytes fit; then the real size
    // sizes the buffer once more: 400,000 / 8 + 160.
    const std::vector<std::uint32_t> stepwise{16386, 32788, 49190, 65592, 50144};
    const std::int64_t sizes[] = {0, -400000, 1000, std::int64_t{1} << 40};
    for (const std::int64_t size : sizes) {
        SCOPED_TRACE(size);
        answers_.calls.clear();
        answers_.overflowBitmapSize = size;
        RefuseVolumeData();
        DefragEngine engine(answers_, L"C:\\");
        EXPECT_EQ(answers_.OutLengths(fs::kFsctlGetVolumeBitmap), stepwise);
        ExpectCopyMatches(engine, volume_);
    }
    // So does a size that counts from anywhere but LCN 0.
    answers_.calls.clear();
    answers_.overflowBitmapSize.reset();
    answers_.overflowStartingLcn = 8;
    RefuseVolumeData();
    DefragEngine engine(answers_, L"C:\\");
    EXPECT_EQ(answers_.OutLengths(fs::kFsctlGetVolumeBitmap), stepwise);
}

// A request that fails after the buffer was regrown (an overflow answer had already been written into
// the copy): the copy offers no free space and is marked stale, so the next search reads it again.
TEST_F(BitmapAnswers, AFailedRequestAfterARegrowLeavesNoFreeSpaceAndAsksAgain) {
    for (const bool volumeData : {true, false}) {
        SCOPED_TRACE(volumeData);
        fs_.SetBitmapFileSize(L'C', 1000);  // an undersized guess: the first answer overflows
        if (!volumeData)
            RefuseVolumeData();
        answers_.calls.clear();
        answers_.failRequest = 2;
        DefragEngine engine(answers_, L"C:\\");
        EXPECT_EQ(answers_.OutLengths(fs::kFsctlGetVolumeBitmap).size(),
                  1u);  // the failed one is not recorded
        EXPECT_TRUE(engine.BitmapStale());
        std::int64_t length = 7;
        EXPECT_EQ(FindFreeRun(engine.Bitmap(), -1, 1, length, engine.TotalClusters()), 0);
        EXPECT_EQ(length, 0);

        // The next search reads the bitmap again, and finds what is free.
        EXPECT_NE(engine.FindFreeRun(0, 1, length), 0);
        EXPECT_FALSE(engine.BitmapStale());
        ExpectCopyMatches(engine, volume_);
    }
}

// A request that fails before anything was written leaves the copy as it was, the stale flag cleared.
TEST_F(BitmapAnswers, AFailedRequestWithoutARegrowLeavesTheCopyAsItWas) {
    DefragEngine engine(answers_, L"C:\\");
    ExpectCopyMatches(engine, volume_);
    ASSERT_TRUE(volume_.Append(L"\\late", 5000));
    answers_.failRequest = 1;
    engine.MarkBitmapStale();
    engine.RefreshBitmap();
    EXPECT_FALSE(engine.BitmapStale());
    ASSERT_TRUE(volume_.DeleteFile(L"\\late"));
    ExpectCopyMatches(engine, volume_);  // the copy from before the file was written
}

TEST_F(LargeVolume, WithVolumeDataTheFirstGuessFits) {
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(control_.OutLengths(fs::kFsctlGetVolumeBitmap), (std::vector<std::uint32_t>{50144}));
    fs_.SetBitmapFileSize(L'C', 50000);
    DefragEngine second(control_, L"C:\\");
    EXPECT_EQ(control_.OutLengths(fs::kFsctlGetVolumeBitmap), (std::vector<std::uint32_t>{50144, 50144}));
    ExpectCopyMatches(second, volume_);
}

class ZonedVolume : public EngineTest {
  protected:
    ZonedVolume() : EngineTest({10000, 4096, 100, 199}) {}
};

TEST_F(ZonedVolume, TheMftZoneIsNeverOfferedAsFreeSpace) {
    ASSERT_TRUE(volume_.Occupy(1, 99));  // everything before the zone is taken
    DefragEngine engine(control_, L"C:\\");
    ExpectCopyMatches(engine, volume_);
    std::int64_t length = 0;
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 200);
    EXPECT_EQ(length, 9800);
    length = 0;
    EXPECT_EQ(engine.FindBiggestFreeSpace(length), 200);

    // Without volume data nothing is known of the zone, and it is not protected.
    RefuseVolumeData();
    DefragEngine blind(control_, L"C:\\");
    EXPECT_EQ(blind.FindFreeRun(0, 1, length), 100);
    EXPECT_EQ(length, 9900);
}

TEST_F(EngineTest, TheCopyIsReReadOnlyWhenMarkedStale) {
    DefragEngine engine(control_, L"C:\\");
    std::int64_t length = 0;
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 1);  // the construction marked it stale: one re-read
    const std::size_t reads = control_.CountCalls(fs::kFsctlGetVolumeBitmap);
    ASSERT_TRUE(volume_.Occupy(1, 50));
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 1);  // still the old copy
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap), reads);
    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 51);
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap), reads + 1);
}

TEST_F(EngineTest, PendingBitmapAnswers) {
    DefragEngine engine(control_, L"C:\\");
    std::int64_t length = 0;
    trace::ScopedCapture capture;

    // A pending answer that completes is used.
    ASSERT_TRUE(volume_.Occupy(1, 10));
    volume_.InjectFault({sim::Fault::Kind::Pending, fs::kFsctlGetVolumeBitmap, L"", 0, 0});
    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 11);

    // One that never completes leaves the copy as it was, and the copy is used until marked stale again.
    ASSERT_TRUE(volume_.Occupy(11, 10));
    volume_.InjectFault({sim::Fault::Kind::PendingNeverEnds, fs::kFsctlGetVolumeBitmap, L"", 0, 0});
    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 11);
    EXPECT_FALSE(engine.BitmapStale());

    // One that completes with a failure is named in the trace; so is nothing else.
    volume_.InjectFault(
        {sim::Fault::Kind::Pending, fs::kFsctlGetVolumeBitmap, L"", fs::kStatusInvalidParameter, 0});
    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 11);
    volume_.InjectFault(
        {sim::Fault::Kind::Status, fs::kFsctlGetVolumeBitmap, L"", fs::kStatusInvalidDeviceRequest, 0});
    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 11);
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{L"STATUS_INVALID_PARAMETER\n"});

    engine.MarkBitmapStale();
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 21);
}

TEST_F(EngineTest, IsClusterFreePollsUntilFreeOrSixtyTimes) {
    ASSERT_TRUE(volume_.Occupy(500, 1));
    DefragEngine engine(control_, L"C:\\");
    std::size_t reads = control_.CountCalls(fs::kFsctlGetVolumeBitmap);
    EXPECT_TRUE(engine.IsClusterFree(501));
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap), reads + 1);
    reads += 1;
    EXPECT_FALSE(engine.IsClusterFree(500));
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap), reads + 60);
    EXPECT_TRUE(engine.IsClusterFree(10000));  // past the last cluster
    EXPECT_FALSE(engine.IsClusterFree(-1));
}

TEST_F(EngineTest, IsClusterFreeWaitsOutTheHoldOfAClusterFreedByAMove) {
    // A cluster a move freed is not free on NTFS until the checkpoint; the poll waits for it.
    ASSERT_TRUE(volume_.AddFile(L"\\f", {{0, 500, 1}}));
    auto move = [&](std::int64_t lcn) {
        fs::MOVE_FILE_DATA data{};
        data.StartingLcn = lcn;
        data.ClusterCount = 1;
        return volume_.Request({}, fs::kFsctlMoveFile, &data, sizeof data, nullptr, 0, L"\\f").status;
    };
    DefragEngine engine(control_, L"C:\\");
    ASSERT_EQ(move(600), fs::kStatusSuccess);
    std::size_t reads = control_.CountCalls(fs::kFsctlGetVolumeBitmap);
    EXPECT_TRUE(engine.IsClusterFree(500));
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap),
              reads + static_cast<std::size_t>(sim::kDefaultFreedClusterHold) + 1)
        << "the poll that comes after the hold finds it free";

    // A hold longer than the 60 polls: the poll gives up; after the checkpoint the cluster is free.
    volume_.SetRules({100, false});
    ASSERT_EQ(move(700), fs::kStatusSuccess);
    EXPECT_FALSE(engine.IsClusterFree(600));
    volume_.Checkpoint();
    EXPECT_TRUE(engine.IsClusterFree(600));
}

TEST_F(EngineTest, RunHintsAndTheirIndex) {
    // Free: [10,11) [20,23) [40,48) [100,200) [1000,10000).
    ASSERT_TRUE(volume_.Occupy(0, 10));
    ASSERT_TRUE(volume_.Occupy(11, 9));
    ASSERT_TRUE(volume_.Occupy(23, 17));
    ASSERT_TRUE(volume_.Occupy(48, 52));
    ASSERT_TRUE(volume_.Occupy(200, 800));
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(HintIndex(engine, 100000), 0);  // not built yet: searches start at LCN 0

    RebuildRunHints(engine, true);
    EXPECT_EQ(RunHintRebuildCounter(), 1);
    std::array<std::int64_t, kRunHintCount> expected{};
    const std::int64_t built[] = {10, 20, 40, 40, 100, 100, 100, 1000, 1000, 1000, 1000, 1000, 1000, 1000};
    std::copy(std::begin(built), std::end(built), expected.begin());
    EXPECT_EQ(engine.RunHints(), expected);
    EXPECT_EQ(HintIndex(engine, 0), 0);
    EXPECT_EQ(HintIndex(engine, 1), 0);
    EXPECT_EQ(HintIndex(engine, 3), 1);
    EXPECT_EQ(HintIndex(engine, 100), 6);
    EXPECT_EQ(HintIndex(engine, 20000), 13);  // slot 14 is empty
    EXPECT_EQ(HintIndex(engine, ~std::uint64_t{0}), 13);

    // Unforced rebuilds happen only when the process-wide count is a multiple of 50.
    DefragEngine other(control_, L"C:\\");
    for (int i = 1; i < 50; ++i) {
        RebuildRunHints(other, false);
        ASSERT_EQ(other.RunHints()[0], 0) << "call " << i;
    }
    EXPECT_EQ(RunHintRebuildCounter(), 50);
    RebuildRunHints(other, false);
    EXPECT_EQ(other.RunHints(), expected);
    EXPECT_EQ(RunHintRebuildCounter(), 51);
}

}  // namespace
}  // namespace kestrel::engine::test
