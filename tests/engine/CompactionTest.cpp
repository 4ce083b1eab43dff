// Compaction of fragmented files: whole-file moves, gathering into the largest free run, the trim of
// large leading extents, compressed files, and files that vanish or are locked on the way.
#include <gtest/gtest.h>

#include "platform/Trace.h"
#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "tests/engine/MoverTestSupport.h"

namespace kestrel::engine::test {
namespace {

using sim::Fault;
using sim::kHoleLcn;
using Runs = std::vector<sim::Run>;

// The volume holds the clusters a move frees until its checkpoint (its default rules), as NTFS does.
class CompactionTest : public MoverTest {
  protected:
    // A checkpoint between every move and the next bitmap read: the clusters a pass freed are free for
    // the next pass, as on a volume whose checkpoint came while the engine was moving.
    void CheckpointBeforeEachBitmapRead() {
        control_.onControl = [this](std::uint32_t code, int) {
            if (code == fs::kFsctlGetVolumeBitmap)
                volume_.Checkpoint();
        };
    }

    // Runs Process on the file as the watcher would hand it over.
    std::int32_t Process(const std::wstring& path) {
        if (!engine_)
            engine_ = std::make_unique<DefragEngine>(control_, L"C:\\");
        info_ = Info(*engine_, path);
        CompactNonCompressedFragmentedFile compaction(*engine_, info_);
        return compaction.Process(moved_, defragmented_);
    }

    std::unique_ptr<DefragEngine> engine_;
    FileInfo info_;
    std::int32_t moved_ = 0;
    std::int32_t defragmented_ = 0;
};

// Extents of 50, 40 and 30 clusters, with gaps taken between them so that their old places never form
// a run of 120 once freed; the only other free space is a run of 100 clusters.
class ThreeExtents : public CompactionTest {
  protected:
    void SetUp() override {
        Add(L"\\f.dat", {{0, 2000, 50}, {50, 2100, 40}, {90, 2200, 30}});
        LeaveFree({{1000, 100}});
    }
};

TEST_F(ThreeExtents, GathersTheFirstTwoAndLeavesTheLast) {
    CheckpointBeforeEachBitmapRead();
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 0);
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 1000, 90}, {90, 2200, 30}}));
    EXPECT_EQ(volume_.Fragments(L"\\f.dat"), 2);
    EXPECT_TRUE(capture.Contains(L"In CompactNonCompressedFragmentedFile::Process filename = C:\\f.dat\n"));
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\f.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\f.dat - start VCN = 0, to cluster 1000, length 90\n"}));
    EXPECT_EQ(LinesStartingWith(capture, L"in FindBiggestFreeSpace").size(), 2u);
    // Nothing was left to skip: the last extent fits the freed 50 clusters but has no partner.
    EXPECT_FALSE(capture.Contains(L"Couldn't consolidate any more fragments into a bigger chunk.\n"));
    EXPECT_EQ(defragmented_, 0);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only
}

TEST_F(ThreeExtents, WithoutACheckpointTheLastExtentIsSkipped) {
    // The old places of the gathered extents are still held at the second pass: the biggest free run is
    // the 10 clusters behind the gathered piece, the last extent does not fit it and is skipped.
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 0);
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 1000, 90}, {90, 2200, 30}}));
    EXPECT_EQ(LinesStartingWith(capture, L"in FindBiggestFreeSpace").size(), 2u);
    EXPECT_TRUE(capture.Contains(L"Couldn't consolidate any more fragments into a bigger chunk.\n"));
    EXPECT_EQ(volume_.HeldClusters(), 90);
    EXPECT_EQ(defragmented_, 0);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only
}

TEST_F(ThreeExtents, MoveTakenFromUnderneathIsReportedAndMeasured) {
    volume_.InjectFault({Fault::Kind::TakeTargetBeforeMove, fs::kFsctlMoveFile, L"", 0, 0});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_EQ(
        LinesStartingWith(capture, L"couldn't"),
        (std::vector<std::wstring>{L"couldn't move segment\n",
                                   L"couldn't compact segment in C:\\f.dat, start Vcn=0 , length 90\n"}));
    EXPECT_TRUE(capture.Contains(L"Fragments = 3\n"));
    EXPECT_EQ(info_.fragments, 3);
    EXPECT_EQ(defragmented_, 0);
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 2000, 50}, {50, 2100, 40}, {90, 2200, 30}}));
}

TEST_F(ThreeExtents, FileLockedByAnotherProcess) {
    // Locked when compaction opens its own handle: left for later as a file in use, nothing moved.
    control_.onOpen = [](const std::wstring&, int number) {
        return number == 3 ? fs::kErrorSharingViolation : 0u;  // after the watcher's and Process's maps
    };
    EXPECT_EQ(Process(L"\\f.dat"), kFileInUse);
    EXPECT_EQ(control_.requests[fs::kFsctlMoveFile], 0);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only

    // Locked when the move opens it: the move fails, the file is measured and stays as it was.
    const int before = control_.fileOpens;
    control_.onOpen = [before](const std::wstring&, int number) {
        return number == before + 4 ? fs::kErrorSharingViolation : 0u;
    };
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_TRUE(capture.Contains(L"couldn't move segment\n"));
    EXPECT_EQ(volume_.Fragments(L"\\f.dat"), 3);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only
}

TEST_F(ThreeExtents, FileDeletedDuringTheMove) {
    volume_.InjectFault({Fault::Kind::DeleteBeforeRequest, fs::kFsctlMoveFile, L"\\f.dat", 0, 0});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_FALSE(volume_.Exists(L"\\f.dat"));
    EXPECT_TRUE(capture.Contains(L"couldn't move segment\n"));
    EXPECT_TRUE(capture.Contains(L"Fragments = -2\n"));
    EXPECT_EQ(info_.clusters, 0u);
    EXPECT_EQ(defragmented_, 0);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only
}

TEST_F(ThreeExtents, FailedMappingThrowsAndClosesTheHandle) {
    // The map after the move fails while pending.
    control_.onControl = [&](std::uint32_t code, int) {
        if (code == fs::kFsctlMoveFile)
            volume_.InjectFault(
                {Fault::Kind::Pending, fs::kFsctlGetRetrievalPointers, L"", fs::kStatusUnsuccessful, 0});
    };
    EXPECT_THROW(Process(L"\\f.dat"), BadFileStats);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // the engine's volume only
}

TEST_F(CompactionTest, FileThatFitsSomewhereIsMovedWhole) {
    Add(L"\\f.dat", {{0, 2000, 200}, {200, 3000, 100}});
    LeaveFree({{1000, 150}, {5000, 300}});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 5000, 300}}));
    EXPECT_TRUE(capture.Contains(
        L"I Defragmented C:\\f.dat, old LCN=2000, new LCN=5000, length=300 fragments now=1\n"));
    EXPECT_FALSE(capture.Contains(L"in FindBiggestFreeSpace\n"));
    EXPECT_EQ(defragmented_, 1);
    EXPECT_EQ(info_.fragments, 1);
}

TEST_F(CompactionTest, NothingToDoForOnePieceOrEmptyFiles) {
    Add(L"\\one.dat", {{0, 2000, 100}});
    Add(L"\\two.dat", {{0, 3000, 10}, {10, 3100, 10}});
    ASSERT_TRUE(volume_.CreateFile(L"\\empty.dat"));
    engine_ = std::make_unique<DefragEngine>(control_, L"C:\\");
    // A FileInfo of one fragment: 0, without mapping the file.
    FileInfo one = Info(*engine_, L"\\one.dat");
    const int opens = control_.fileOpens;
    CompactNonCompressedFragmentedFile first(*engine_, one);
    EXPECT_EQ(first.Process(moved_, defragmented_), 0);
    EXPECT_EQ(control_.fileOpens, opens);
    // A file that was fragmented when measured but is in one piece now: 1, nothing moved.
    FileInfo two = Info(*engine_, L"\\two.dat");
    ASSERT_TRUE(volume_.DeleteFile(L"\\two.dat"));
    tags_.erase(L"\\two.dat");
    Add(L"\\two.dat", {{0, 3000, 20}});
    CompactNonCompressedFragmentedFile second(*engine_, two);
    EXPECT_EQ(second.Process(moved_, defragmented_), 1);
    EXPECT_EQ(control_.requests[fs::kFsctlMoveFile], 0);
    // No clusters: 1.
    EXPECT_EQ(Process(L"\\empty.dat"), 1);
}

TEST_F(CompactionTest, SparseFileThatBeginsWithAHoleIsGatheredBehindTheHole) {
    // No run holds the whole file; the largest holds three of its four extents. The hole owns nothing
    // and is not moved: the gathering starts with the first extent that owns clusters.
    Add(L"\\s.dat",
        {{0, kHoleLcn, 3008}, {3008, 2000, 32}, {3040, 2100, 32}, {3072, 2200, 32}, {3104, 2300, 32}},
        sim::FileKind::Sparse);
    LeaveFree({{1000, 100}});
    ASSERT_EQ(volume_.Fragments(L"\\s.dat"), 4);
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\s.dat"), 0);
    EXPECT_EQ(volume_.Runs(L"\\s.dat"), (Runs{{0, kHoleLcn, 3008}, {3008, 1000, 96}, {3104, 2300, 32}}));
    EXPECT_EQ(volume_.Fragments(L"\\s.dat"), 2);
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\s.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\s.dat - start VCN = 3008, to cluster 1000, length 96\n"}));
}

TEST_F(CompactionTest, FirstExtentLargerThanTheBiggestRunIsSkipped) {
    Add(L"\\f.dat", {{0, 2000, 60}, {60, 2100, 20}, {80, 2200, 20}});
    LeaveFree({{1000, 50}});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\f.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\f.dat - start VCN = 60, to cluster 1000, length 40\n"}));
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 2000, 60}, {60, 1000, 40}}));
    // From three fragments to two: counted.
    EXPECT_EQ(info_.fragments, 2);
    EXPECT_EQ(defragmented_, 1);
}

TEST_F(CompactionTest, NoExtentFitsTheBiggestRun) {
    Add(L"\\f.dat", {{0, 2000, 60}, {60, 2100, 60}});
    LeaveFree({{1000, 50}});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 0);
    EXPECT_TRUE(capture.Contains(L"Couldn't consolidate any more fragments into a bigger chunk.\n"));
    EXPECT_EQ(control_.requests[fs::kFsctlMoveFile], 0);
}

TEST_F(CompactionTest, LargeLeadingExtentsOfAHeavilyFragmentedFileStay) {
    // Twelve extents: 40, 40, then ten of 5 (130 clusters; a tenth is 13). The biggest free run (100)
    // would take both large ones; they stay, and gathering starts at the third extent.
    Runs runs{{0, 2000, 40}, {40, 2100, 40}};
    for (int i = 0; i < 10; ++i)
        runs.push_back({80 + 5 * i, 2200 + 10 * i, 5});
    Add(L"\\f.dat", runs);
    LeaveFree({{1000, 100}});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\f.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\f.dat - start VCN = 80, to cluster 1000, length 50\n"}));
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 2000, 40}, {40, 2100, 40}, {80, 1000, 50}}));
    EXPECT_EQ(info_.fragments, 3);
    EXPECT_EQ(defragmented_, 1);
}

TEST_F(CompactionTest, WalksTheFileInSeveralPasses) {
    // Six extents of 30; free runs of 60 only: each pass gathers two extents into the next run.
    Runs runs;
    for (int i = 0; i < 6; ++i)
        runs.push_back({30 * i, 3000 + 100 * i, 30});
    Add(L"\\f.dat", runs);
    LeaveFree({{1000, 60}, {1100, 60}, {1200, 60}});
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\f.dat"), 1);
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\f.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\f.dat - start VCN = 0, to cluster 1000, length 60\n",
                                         L"C:\\f.dat - start VCN = 60, to cluster 1100, length 60\n",
                                         L"C:\\f.dat - start VCN = 120, to cluster 1200, length 60\n"}));
    EXPECT_EQ(volume_.Runs(L"\\f.dat"), (Runs{{0, 1000, 60}, {60, 1100, 60}, {120, 1200, 60}}));
    EXPECT_EQ(info_.fragments, 3);
    EXPECT_EQ(defragmented_, 1);
}

// A compressed file of 88 allocated clusters in three extents (the middle one ends in a hole); its
// first extents sit at 2000 and, `gap` clusters further, behind free space, so that once the first two
// have been gathered elsewhere their old places and the gap form one free run of 56 + gap clusters.
class CompressedFile : public CompactionTest {
  protected:
    void Build(std::int64_t gap, std::int64_t biggest) {
        const std::int64_t second = 2032 + gap;
        Add(L"\\c.dat", {{0, 2000, 32}, {32, second, 24}, {56, kHoleLcn, 8}, {64, 3000, 32}},
            sim::FileKind::Compressed);
        LeaveFree({{1000, biggest}, {2032, gap}});
    }
};

TEST_F(CompressedFile, FirstPassAsksForOneUnitMoreThanTheFileHolds) {
    // 95 free clusters hold the file's 88, but the request is 96: no whole-file move, gathering.
    Build(8, 95);
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\c.dat"), 1);
    EXPECT_EQ(LinesStartingWith(capture, L"C:\\c.dat - start VCN"),
              (std::vector<std::wstring>{L"C:\\c.dat - start VCN = 0, to cluster 1000, length 88\n"}));
    EXPECT_TRUE(LinesStartingWith(capture, L"I Defragmented").empty());
    EXPECT_EQ(volume_.Runs(L"\\c.dat"), (Runs{{0, 1000, 56}, {56, kHoleLcn, 8}, {64, 1056, 32}}));
}

TEST_F(CompressedFile, SecondPassAsksForSixteenMore) {
    // Pass 1 gathers 56 clusters into the run of 60; once they are released at a checkpoint, their old
    // places and the gap of 44 form a run of 100: enough for the 96 of the first pass, not for the 112
    // of the second.
    Build(44, 60);
    CheckpointBeforeEachBitmapRead();
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\c.dat"), 0);
    EXPECT_EQ(LinesStartingWith(capture, L"in FindBiggestFreeSpace").size(), 2u);
    EXPECT_EQ(volume_.Runs(L"\\c.dat"), (Runs{{0, 1000, 56}, {56, kHoleLcn, 8}, {64, 3000, 32}}));
}

TEST_F(CompressedFile, HeldPlacesAreNoRunForTheSecondPass) {
    // Without a checkpoint the old places are still held at the second pass: no run of 112 appears, the
    // largest free run (the gap of 56) is too small for the extent left, and the file stays in two
    // pieces. On NTFS the watcher tries the file again later, when the clusters are free.
    Build(56, 60);
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\c.dat"), 0);
    EXPECT_EQ(volume_.Runs(L"\\c.dat"), (Runs{{0, 1000, 56}, {56, kHoleLcn, 8}, {64, 3000, 32}}));
    EXPECT_TRUE(LinesStartingWith(capture, L"I Defragmented").empty());
    EXPECT_EQ(volume_.HeldClusters(), 56);
}

TEST_F(CompressedFile, SecondPassTakesARunOfItsRequest) {
    // The same with a gap of 56: a run of 112 appears, and the second pass moves the file there whole.
    Build(56, 60);
    CheckpointBeforeEachBitmapRead();
    trace::ScopedCapture capture;
    EXPECT_EQ(Process(L"\\c.dat"), 1);
    EXPECT_EQ(volume_.Runs(L"\\c.dat"), (Runs{{0, 2000, 56}, {56, kHoleLcn, 8}, {64, 2056, 32}}));
    EXPECT_EQ(LinesStartingWith(capture, L"I Defragmented").size(), 1u);
}

}  // namespace
}  // namespace kestrel::engine::test
