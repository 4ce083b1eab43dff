// Moving clusters, one segment, segments in pieces, and the placement of whole files.
#include <gtest/gtest.h>

#include "platform/Trace.h"
#include "service/engine/FileMover.h"
#include "tests/engine/MoverTestSupport.h"

namespace kestrel::engine::test {
namespace {

using sim::Fault;
using sim::kHoleLcn;

// ---- FileMover::Move on a one-piece file ----

TEST_F(MoverTest, OnePieceFileMovesIntoTheFreeRunBeforeIt) {
    Add(L"\\a.dat", {{0, 5000, 100}});
    LeaveFree({{1000, 100}, {9000, 500}});
    DefragEngine engine(control_, L"C:\\");
    RebuildRunHints(engine, true);
    FileInfo info = Info(engine, L"\\a.dat");
    trace::ScopedCapture capture;
    std::int32_t moved = 0, defragmented = 0;
    FileMover mover(engine, info);
    EXPECT_EQ(mover.Move(moved, defragmented), 1);
    EXPECT_TRUE(capture.Contains(L"MovedFile C:\\a.dat, old LCN=5000, new LCN=1000, length=100\n"));
    EXPECT_EQ(moved, 1);
    EXPECT_EQ(defragmented, 0);
    EXPECT_EQ(info.firstLcn, 1000);
    EXPECT_EQ(volume_.Runs(L"\\a.dat"), (std::vector<sim::Run>{{0, 1000, 100}}));
}

TEST_F(MoverTest, OnlyARunThatEndsBeforeTheFileQualifies) {
    // 99 free clusters before the file, and plenty behind it: nothing to do.
    Add(L"\\a.dat", {{0, 5000, 100}});
    LeaveFree({{1000, 99}, {6000, 3000}});
    DefragEngine engine(control_, L"C:\\");
    RebuildRunHints(engine, true);
    FileInfo info = Info(engine, L"\\a.dat");
    std::int32_t moved = 0, defragmented = 0;
    FileMover mover(engine, info);
    EXPECT_EQ(mover.Move(moved, defragmented), 0);
    EXPECT_EQ(mover.TargetLcn(), 0);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(volume_.Runs(L"\\a.dat"), (std::vector<sim::Run>{{0, 5000, 100}}));
}

TEST_F(MoverTest, ARunThatEndsRightAtTheFileQualifies) {
    Add(L"\\b.dat", {{0, 5000, 100}});
    LeaveFree({{4900, 100}});
    DefragEngine engine(control_, L"C:\\");
    RebuildRunHints(engine, true);
    FileInfo info = Info(engine, L"\\b.dat");
    std::int32_t moved = 0, defragmented = 0;
    FileMover mover(engine, info);
    EXPECT_EQ(mover.Move(moved, defragmented), 1);
    EXPECT_EQ(volume_.Runs(L"\\b.dat"), (std::vector<sim::Run>{{0, 4900, 100}}));
}

// ---- MoveClusters and MoveFileSegment: the classification and the stale mark ----

TEST_F(MoverTest, TargetTakenAfterTheBitmapWasReadIsRefusedWithoutAStaleMark) {
    Add(L"\\a.dat", {{0, 5000, 100}});
    DefragEngine engine(control_, L"C:\\");
    engine.RefreshBitmap();
    ASSERT_FALSE(engine.BitmapStale());
    volume_.InjectFault({Fault::Kind::TakeTargetBeforeMove, fs::kFsctlMoveFile, L"", 0, 0});
    ExtentList list;
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 1000, 100, list), kMoveRefused);
    // The copy showed the target free, so it is not to blame and is not read again.
    EXPECT_FALSE(engine.BitmapStale());
    ASSERT_EQ(list.extents.size(), 1u);
    EXPECT_EQ(list.extents[0].lcn, 5000);

    // Aimed at clusters the copy already shows in use (the file's own): refused, and the copy is read
    // again.
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 4990, 100, list), kMoveRefused);
    EXPECT_TRUE(engine.BitmapStale());

    // A move that succeeds always marks the copy stale.
    engine.RefreshBitmap();
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 2000, 100, list), 1);
    EXPECT_TRUE(engine.BitmapStale());
    EXPECT_EQ(list.extents[0].lcn, 2000);
    EXPECT_EQ(list.label, L"GetFileFragmentsInfo");
}

TEST_F(MoverTest, SegmentResultsForRefusalsFailuresAndMissingFiles) {
    Add(L"\\a.dat", {{0, 5000, 100}, {100, 7000, 50}});
    DefragEngine engine(control_, L"C:\\");
    ExtentList list;
    // A VCN past the end of the file is an invalid request: refused.
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 500, 1000, 10, list), kMoveRefused);
    // Any other failure is "not moved".
    volume_.InjectFault({Fault::Kind::Status, fs::kFsctlMoveFile, L"", fs::kStatusDiskFull, 0});
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 1000, 100, list), 0);
    // A file that cannot be opened.
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\none.dat", 0, 1000, 10, list), 0);
    // A move from VCN 0 that succeeded counts only when the file now begins at the target: the second
    // extent moved, not the first, when asked from VCN 100.
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 100, 1000, 50, list), 1);
    EXPECT_EQ(volume_.Runs(L"\\a.dat"), (std::vector<sim::Run>{{0, 5000, 100}, {100, 1000, 50}}));
}

TEST_F(MoverTest, PendingMoveIsWaitedForOnTheVolume) {
    Add(L"\\a.dat", {{0, 5000, 100}});
    DefragEngine engine(control_, L"C:\\");
    ExtentList list;
    volume_.InjectFault({Fault::Kind::Pending, fs::kFsctlMoveFile, L"", 0, 0});
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 1000, 100, list), 1);
    EXPECT_TRUE(engine.BitmapStale());
    // One that never completes is not a success, and nothing moved.
    volume_.InjectFault({Fault::Kind::PendingNeverEnds, fs::kFsctlMoveFile, L"", 0, 0});
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\a.dat", 0, 2000, 100, list), 0);
    EXPECT_EQ(volume_.Runs(L"\\a.dat"), (std::vector<sim::Run>{{0, 1000, 100}}));
}

// ---- MoveSegmentInChunks ----

TEST_F(MoverTest, LargeSegmentMovesInPiecesEachBehindThePrevious) {
    Add(L"\\big.dat", {{0, 20000, 5000}});
    DefragEngine engine(control_, L"C:\\");
    ASSERT_EQ(MoveChunkClusters(engine), 2048u);
    trace::ScopedCapture capture;
    ExtentList list;
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\big.dat", 0, 1000, 5000, list));
    EXPECT_EQ(LinesStartingWith(capture, L"Attempting"),
              (std::vector<std::wstring>{L"Attempting start Vcn=0, to cluster=1000, length 2048\n",
                                         L"Attempting start Vcn=2048, to cluster=3048, length 2048\n",
                                         L"Attempting start Vcn=4096, to cluster=5096, length 904\n"}));
    EXPECT_EQ(
        LinesStartingWith(capture, L"Compacted"),
        (std::vector<std::wstring>{L"Compacted C:\\big.dat, start Vcn=0, to cluster=1000, length 2048\n",
                                   L"Compacted C:\\big.dat, start Vcn=2048, to cluster=3048, length 2048\n",
                                   L"Compacted C:\\big.dat, start Vcn=4096, to cluster=5096, length 904\n"}));
    EXPECT_EQ(volume_.Runs(L"\\big.dat"), (std::vector<sim::Run>{{0, 1000, 5000}}));
    ASSERT_EQ(list.extents.size(), 1u);
    EXPECT_EQ(list.extents[0].lcn, 1000);
}

TEST_F(MoverTest, LastPieceOfASegmentInsideTheFileStaysInsideTheSegment) {
    // The segment is the first extent; the free run holds exactly its 5,000 clusters. A last piece of a
    // full chunk would reach into the second extent and past the free run, and be refused.
    Add(L"\\big.dat", {{0, 20000, 5000}, {5000, 30000, 100}});
    LeaveFree({{1000, 5000}});
    DefragEngine engine(control_, L"C:\\");
    ExtentList list;
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\big.dat", 0, 1000, 5000, list));
    EXPECT_EQ(volume_.Runs(L"\\big.dat"), (std::vector<sim::Run>{{0, 1000, 5000}, {5000, 30000, 100}}));
}

TEST_F(MoverTest, FailedPieceEndsTheSegmentAndLeavesTheFileWhole) {
    Add(L"\\big.dat", {{0, 20000, 5000}});
    DefragEngine engine(control_, L"C:\\");
    // The second piece moves only half and fails.
    control_.onControl = [&](std::uint32_t code, int number) {
        if (code == fs::kFsctlMoveFile && number == 2)
            volume_.InjectFault({Fault::Kind::PartialMove, fs::kFsctlMoveFile, L"", 0, 1000});
    };
    ExtentList list;
    EXPECT_FALSE(MoveSegmentInChunks(engine, L"C:\\big.dat", 0, 1000, 5000, list));
    EXPECT_EQ(control_.requests[fs::kFsctlMoveFile], 2);
    EXPECT_EQ(volume_.Runs(L"\\big.dat"), (std::vector<sim::Run>{{0, 1000, 3048}, {3048, 23048, 1952}}));
}

TEST_F(MoverTest, LeadingHoleIsNotMovedAndTheClustersBehindItAre) {
    // A sparse file that begins with a hole: a segment from inside the hole moves the clusters behind
    // it piece by piece, each aimed behind the previous one; the hole owns nothing and stays.
    Add(L"\\s.dat", {{0, kHoleLcn, 32}, {32, 20000, 4968}}, sim::FileKind::Sparse);
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    ExtentList list;
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\s.dat", 16, 1000, 4984, list));
    EXPECT_EQ(LinesStartingWith(capture, L"Attempting"),
              (std::vector<std::wstring>{L"Attempting start Vcn=16, to cluster=1000, length 2048\n",
                                         L"Attempting start Vcn=2064, to cluster=3032, length 2048\n",
                                         L"Attempting start Vcn=4112, to cluster=5080, length 888\n"}));
    EXPECT_EQ(volume_.Runs(L"\\s.dat"), (std::vector<sim::Run>{{0, kHoleLcn, 32}, {32, 1000, 4968}}));

    // A hole longer than a piece: the pieces that lie wholly in it move nothing and keep the target.
    Add(L"\\h.dat", {{0, kHoleLcn, 4096}, {4096, 30000, 100}, {4196, 31000, 100}}, sim::FileKind::Sparse);
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\h.dat", 0, 10000, 4296, list));
    EXPECT_EQ(volume_.Runs(L"\\h.dat"), (std::vector<sim::Run>{{0, kHoleLcn, 4096}, {4096, 10000, 200}}));
    // From VCN 0 within one piece: the move counts when the clusters begin at the target.
    Add(L"\\t.dat", {{0, kHoleLcn, 64}, {64, 32000, 16}, {80, 33000, 16}}, sim::FileKind::Sparse);
    EXPECT_EQ(MoveFileSegment(engine, L"C:\\t.dat", 0, 12000, 96, list), 1);
    EXPECT_EQ(volume_.Runs(L"\\t.dat"), (std::vector<sim::Run>{{0, kHoleLcn, 64}, {64, 12000, 32}}));
}

TEST_F(MoverTest, WholeFileMoverJoinsASparseFileThatBeginsWithAHole) {
    // The hole alone is longer than a piece of 2,048 clusters, as an 8 MiB hole is at 4 KiB clusters.
    Add(L"\\s.dat", {{0, kHoleLcn, 3000}, {3000, 20000, 40}, {3040, 22000, 40}, {3080, 24000, 40}},
        sim::FileKind::Sparse);
    DefragEngine engine(control_, L"C:\\");
    FileInfo info = Info(engine, L"\\s.dat");
    ASSERT_EQ(info.fragments, 4);  // the hole's extent counts as one
    ASSERT_EQ(info.firstLcn, kHoleLcn);
    WholeFileMover mover(engine, info);
    std::int32_t moved = 0, defragmented = 0;
    trace::ScopedCapture capture;
    EXPECT_EQ(mover.Move(moved, defragmented), 1);
    EXPECT_EQ(defragmented, 1);
    EXPECT_EQ(info.fragments, 2);
    const std::vector<sim::Run> runs = volume_.Runs(L"\\s.dat");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (sim::Run{0, kHoleLcn, 3000}));
    EXPECT_EQ(runs[1].vcn, 3000);
    EXPECT_EQ(runs[1].length, 120);
    EXPECT_EQ(runs[1].lcn, mover.TargetLcn());
    EXPECT_EQ(LinesStartingWith(capture, L"I Defragmented C:\\s.dat").size(), 1u);
}

TEST_F(MoverTest, CompressedSegmentWaitsForTheClusterBehindEachPiece) {
    // Two 2,048-VCN halves, each with a hole at its end so that the map is a compressed one.
    Add(L"\\c.dat", {{0, 20000, 2040}, {2040, kHoleLcn, 8}, {2048, 30000, 2040}, {4088, kHoleLcn, 8}},
        sim::FileKind::Compressed);
    // The cluster right behind where the first piece lands stays taken; the one after it is free.
    ASSERT_TRUE(volume_.Occupy(3040, 1));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    ExtentList list;
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\c.dat", 0, 1000, 4096, list));
    EXPECT_TRUE(capture.Contains(L"Cluster 3041 is free\n"));
    // The segment ends there: the second half was not moved.
    EXPECT_EQ(LinesStartingWith(capture, L"Attempting").size(), 1u);
    EXPECT_EQ(volume_.Runs(L"\\c.dat"),
              (std::vector<sim::Run>{
                  {0, 1000, 2040}, {2040, kHoleLcn, 8}, {2048, 30000, 2040}, {4088, kHoleLcn, 8}}));
    EXPECT_TRUE(list.compressed);

    // With the cluster behind it free, the polling passes and the next piece follows right behind.
    capture.Clear();
    ASSERT_TRUE(volume_.DeleteFile(L"\\c.dat"));
    tags_.clear();
    Add(L"\\d.dat", {{0, 20000, 2040}, {2040, kHoleLcn, 8}, {2048, 30000, 2040}, {4088, kHoleLcn, 8}},
        sim::FileKind::Compressed);
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\d.dat", 0, 5000, 4096, list));
    EXPECT_TRUE(capture.Contains(L"Cluster 7040 is free\n"));
    EXPECT_EQ(volume_.Runs(L"\\d.dat"),
              (std::vector<sim::Run>{
                  {0, 5000, 2040}, {2040, kHoleLcn, 8}, {2048, 7040, 2040}, {4088, kHoleLcn, 8}}));
}

TEST_F(MoverTest, CompressedSegmentWaitsOutTheHoldOnTheClusterBehindAPiece) {
    // The cluster right behind where the first piece lands was freed by a move just before: held until
    // the checkpoint, so the engine's poll waits for it, and then the next piece follows right behind.
    Add(L"\\x.dat", {{0, 3040, 1}});
    fs::MOVE_FILE_DATA away{};
    away.StartingLcn = 39000;
    away.ClusterCount = 1;
    ASSERT_EQ(volume_.Request({}, fs::kFsctlMoveFile, &away, sizeof away, nullptr, 0, L"\\x.dat").status,
              fs::kStatusSuccess);
    Add(L"\\c.dat", {{0, 20000, 2040}, {2040, kHoleLcn, 8}, {2048, 30000, 2040}, {4088, kHoleLcn, 8}},
        sim::FileKind::Compressed);
    DefragEngine engine(control_, L"C:\\");
    ASSERT_TRUE(volume_.IsUsed(3040));
    trace::ScopedCapture capture;
    ExtentList list;
    EXPECT_TRUE(MoveSegmentInChunks(engine, L"C:\\c.dat", 0, 1000, 4096, list));
    EXPECT_TRUE(capture.Contains(L"Cluster 3040 is free\n"));
    EXPECT_EQ(LinesStartingWith(capture, L"Attempting").size(), 2u);
    EXPECT_EQ(volume_.Runs(L"\\c.dat"),
              (std::vector<sim::Run>{
                  {0, 1000, 2040}, {2040, kHoleLcn, 8}, {2048, 3040, 2040}, {4088, kHoleLcn, 8}}));
}

}  // namespace
}  // namespace kestrel::engine::test
