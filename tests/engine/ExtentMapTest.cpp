// Extent maps of files on the simulated volume, of scripted (and malformed) retrieval answers, and the
// numbers derived from a list.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "platform/Trace.h"
#include "tests/engine/EngineTestSupport.h"

namespace kestrel::engine::test {
namespace {

using sim::kHoleLcn;

class ExtentMaps : public EngineTest {
  protected:
    ExtentMaps() : EngineTest({40000, 4096, 0, 0}) {}
};

TEST_F(ExtentMaps, ContiguousFile) {
    ASSERT_TRUE(volume_.AddFile(L"\\one.dat", {{0, 500, 100}}));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\one.dat");
    EXPECT_EQ(list.label, L"GetFileFragmentsInfo");
    ASSERT_EQ(list.extents.size(), 1u);
    EXPECT_EQ(list.extents[0], (Extent{0, 100, 100, 500}));
    EXPECT_FALSE(list.compressed);
    FileInfo info;
    EXPECT_TRUE(RefreshFileInfo(engine, L"C:\\one.dat", info));
    EXPECT_EQ(info.name, L"C:\\one.dat");
    EXPECT_EQ(info.firstLcn, 500);
    EXPECT_EQ(info.clusters, 100u);
    EXPECT_EQ(info.fragments, 1);
    EXPECT_EQ(info.vcnLength, 100u);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\one.dat"), 1);
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(fs_.OpenHandles(), 1u);
}

TEST_F(ExtentMaps, TwoPiecesAreTracedWithTheirNextPairs) {
    ASSERT_TRUE(volume_.AddFile(L"\\two.dat", {{0, 500, 10}, {10, 700, 5}}));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\two.dat");
    EXPECT_EQ(list.extents, (std::deque<Extent>{{0, 10, 10, 500}, {10, 5, 5, 700}}));
    EXPECT_EQ(FragmentCount(list), 2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\two.dat"), 2);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::wstring>{L"GetFileFragmentsInfo 1VCN = 0, compressed size=10, size=10, "
                                         L"cluster=500 - next (VCN,cluster)=(10,510)\n",
                                         L"GetFileFragmentsInfo 1VCN = 10, compressed size=5, size=5, "
                                         L"cluster=700 - next (VCN,cluster)=(15,705)\n",
                                         L"GetFileFragments 1VCN = 0, compressed size=10, size=10, "
                                         L"cluster=500 - next (VCN,cluster)=(10,510)\n",
                                         L"GetFileFragments 1VCN = 10, compressed size=5, size=5, "
                                         L"cluster=700 - next (VCN,cluster)=(15,705)\n"}));
}

TEST_F(ExtentMaps, CompressedUnitsBehindEachOtherAreOnePiece) {
    // Units of 16 VCNs: 8 real clusters and a hole of 8, the real parts one behind the other on disk;
    // the last unit is cut short.
    ASSERT_TRUE(volume_.AddFile(
        L"\\packed.cmp", {{0, 1000, 8}, {8, kHoleLcn, 8}, {16, 1008, 8}, {24, kHoleLcn, 8}, {32, 1016, 5}},
        sim::FileKind::Compressed));
    DefragEngine engine(control_, L"C:\\");
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\packed.cmp");
    EXPECT_EQ(list.extents, (std::deque<Extent>{{0, 21, 37, 1000}}));
    EXPECT_TRUE(list.compressed);
    EXPECT_EQ(VcnLength(list), 48u);  // rounded up to whole units
    FileInfo info;
    EXPECT_TRUE(FillFileInfo(list, info));
    EXPECT_EQ(info.clusters, 21u);
    EXPECT_EQ(info.fragments, 1);
    EXPECT_TRUE(info.compressed);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\packed.cmp"), 1);

    // A unit elsewhere starts a new piece; the hole before it stays with the piece before.
    ASSERT_TRUE(volume_.AddFile(L"\\split.cmp", {{0, 2000, 8}, {8, kHoleLcn, 8}, {16, 3000, 16}},
                                sim::FileKind::Compressed));
    const ExtentList split = engine.GetFileFragmentsInfo(L"C:\\split.cmp");
    EXPECT_EQ(split.extents, (std::deque<Extent>{{0, 8, 16, 2000}, {16, 16, 16, 3000}}));
    EXPECT_EQ(engine.GetFileFragments(L"C:\\split.cmp"), 2);
}

TEST_F(ExtentMaps, SparseFileThatBeginsWithAHole) {
    ASSERT_TRUE(volume_.AddFile(L"\\sparse.dat", {{0, kHoleLcn, 32}, {32, 2000, 10}}, sim::FileKind::Sparse));
    DefragEngine engine(control_, L"C:\\");
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\sparse.dat");
    EXPECT_EQ(list.extents, (std::deque<Extent>{{0, 0, 32, -1}, {32, 10, 10, 2000}}));
    FileInfo info;
    EXPECT_TRUE(FillFileInfo(list, info));
    EXPECT_EQ(info.firstLcn, -1);
    EXPECT_EQ(info.clusters, 10u);
    EXPECT_EQ(info.vcnLength, 48u);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\sparse.dat"), 2);

    // All hole: one piece that owns nothing.
    ASSERT_TRUE(volume_.AddFile(L"\\empty.dat", {{0, kHoleLcn, 64}}, sim::FileKind::Sparse));
    const ExtentList hole = engine.GetFileFragmentsInfo(L"C:\\empty.dat");
    EXPECT_EQ(hole.extents, (std::deque<Extent>{{0, 0, 64, -1}}));
    EXPECT_FALSE(FillFileInfo(hole, info));
}

TEST_F(ExtentMaps, ResidentFileHasNoExtents) {
    ASSERT_TRUE(volume_.CreateFile(L"\\small.txt"));
    DefragEngine engine(control_, L"C:\\");
    FileInfo info;
    info.clusters = 77;
    EXPECT_FALSE(RefreshFileInfo(engine, L"C:\\small.txt", info));
    EXPECT_EQ(info.name, L"C:\\small.txt");
    EXPECT_EQ(info.clusters, 0u);
    EXPECT_EQ(info.fragments, 1);
    EXPECT_EQ(info.vcnLength, 0u);
    EXPECT_EQ(info.firstLcn, 0);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\small.txt"), 1);
    // A file that cannot be opened maps to nothing too.
    EXPECT_TRUE(engine.GetFileFragmentsInfo(L"C:\\absent.txt").extents.empty());
}

TEST_F(ExtentMaps, MoreThan8192RunsAreMappedOverSeveralAnswers) {
    // 10,000 runs of 2 VCNs, each one cluster apart from the one before, except: run 8191 (the last pair
    // of the first answer) is a hole and run 8192 lies right behind run 8190.
    std::vector<sim::Run> runs;
    std::int64_t next = 100;
    std::int64_t spanning = 0;
    for (std::int64_t i = 0; i < 10000; ++i) {
        if (i == 8191) {
            runs.push_back({i * 2, kHoleLcn, 2});
            continue;
        }
        const std::int64_t lcn = i == 8192 ? next : next + 1;
        if (i == 8190)
            spanning = lcn;
        runs.push_back({i * 2, lcn, 2});
        next = lcn + 2;
    }
    ASSERT_TRUE(volume_.AddFile(L"\\many.dat", runs, sim::FileKind::Sparse));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\many.dat");

    std::vector<std::int64_t> asked;
    for (const Call& c : control_.calls)
        if (c.code == fs::kFsctlGetRetrievalPointers)
            asked.push_back(c.input);
    EXPECT_EQ(asked, (std::vector<std::int64_t>{0, 16384}));  // the second continues at the list's end
    EXPECT_TRUE(capture.Contains(L"Non-zero first VCN\n"));

    ASSERT_EQ(list.extents.size(), 9998u);
    EXPECT_EQ(list.extents[8190], (Extent{16380, 4, 6, spanning}));
    EXPECT_EQ(list.extents[8191], (Extent{16386, 2, 2, spanning + 5}));
    EXPECT_EQ(list.extents.back().vcn + list.extents.back().size, 20000);
    EXPECT_EQ(FragmentCount(list), 9998);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\many.dat"), 9998);
    FileInfo info;
    EXPECT_TRUE(FillFileInfo(list, info));
    EXPECT_EQ(info.clusters, 9999u * 2);
}

TEST_F(ExtentMaps, PendingAnswers) {
    ASSERT_TRUE(volume_.AddFile(L"\\p.dat", {{0, 500, 10}, {10, 700, 5}}));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;

    volume_.InjectFault({sim::Fault::Kind::Pending, fs::kFsctlGetRetrievalPointers, L"", 0, 0});
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\p.dat").extents,
              (std::deque<Extent>{{0, 10, 10, 500}, {10, 5, 5, 700}}));
    volume_.InjectFault({sim::Fault::Kind::Pending, fs::kFsctlGetRetrievalPointers, L"", 0, 0});
    EXPECT_EQ(engine.GetFileFragments(L"C:\\p.dat"), 2);
    capture.Clear();

    // A pending request that ends in failure: the map throws "bad file stats", the count gives -2.
    volume_.InjectFault(
        {sim::Fault::Kind::Pending, fs::kFsctlGetRetrievalPointers, L"", fs::kStatusInvalidParameter, 0});
    try {
        engine.GetFileFragmentsInfo(L"C:\\p.dat");
        ADD_FAILURE() << "no exception";
    } catch (const BadFileStats& e) {
        EXPECT_STREQ(e.what(), "bad file stats");
    }
    volume_.InjectFault({sim::Fault::Kind::PendingNeverEnds, fs::kFsctlGetRetrievalPointers, L"", 0, 0});
    EXPECT_THROW(engine.GetFileFragmentsInfo(L"C:\\p.dat"), BadFileStats);
    volume_.InjectFault(
        {sim::Fault::Kind::Pending, fs::kFsctlGetRetrievalPointers, L"", fs::kStatusFileDeleted, 0});
    EXPECT_EQ(engine.GetFileFragments(L"C:\\p.dat"), -2);
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{L"STATUS_INVALID_PARAMETER\n",
                                                          L"Error = 0x00000103\n", L"Error = 0xc0000123\n"}));
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // every file handle was closed on the way out
}

// ---- Scripted answers: what the file system should never send, and files too long to map. ----

class ScriptedAnswers : public ExtentMaps {
  protected:
    void SetUp() override { ASSERT_TRUE(volume_.AddFile(L"\\s.dat", {{0, 500, 10}})); }
};

TEST_F(ScriptedAnswers, PairsBeyondTheBytesReceivedAreNeverRead) {
    control_.retrievalScript = [](fs::IO_STATUS_BLOCK& io, std::int64_t, void* out, std::uint32_t outLength) {
        // The whole buffer holds plausible pairs, but only two were "received", and the count claims
        // a million.
        std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
        for (std::int64_t i = 0; i < (outLength - 16) / 16; ++i)
            pairs.push_back({(i + 1) * 10, 1000 + i * 100});
        PutAnswer(out, 1000000, 0, pairs);
        io.Status = fs::kStatusSuccess;
        io.Information = 16 + 2 * 16;
        return fs::kStatusSuccess;
    };
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents,
              (std::deque<Extent>{{0, 10, 10, 1000}, {10, 10, 10, 1100}}));
    EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), 2);
}

TEST_F(ScriptedAnswers, ACountBeyondTheBufferStopsAtTheBuffer) {
    control_.retrievalScript = [](fs::IO_STATUS_BLOCK& io, std::int64_t, void* out, std::uint32_t outLength) {
        std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
        for (std::int64_t i = 0; i < (outLength - 16) / 16; ++i)
            pairs.push_back({i + 1, 10 + i * 2});
        PutAnswer(out, 0xFFFFFFFF, 0, pairs);
        io.Status = fs::kStatusSuccess;
        io.Information = 0x7FFFFFFF;  // more than was given
        return fs::kStatusSuccess;
    };
    DefragEngine engine(control_, L"C:\\");
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\s.dat");
    EXPECT_EQ(list.extents.size(), 8192u);
    EXPECT_EQ(list.extents.back(), (Extent{8191, 1, 1, 10 + 8191 * 2}));
}

TEST_F(ScriptedAnswers, MalformedAnswersAreDropped) {
    int answer = 0;
    control_.retrievalScript = [&answer](fs::IO_STATUS_BLOCK& io, std::int64_t, void* out, std::uint32_t) {
        ++answer;
        io.Status = fs::kStatusSuccess;
        if (answer == 1) {  // shorter than its header
            io.Information = 12;
        } else if (answer == 2) {  // a header and no pairs
            io.Information = PutAnswer(out, 0, 0, {});
        } else {  // the third pair goes backwards: it and everything after it are dropped
            io.Information = PutAnswer(out, 4, 0, {{5, 100}, {9, 300}, {7, 900}, {20, 1000}});
        }
        return fs::kStatusSuccess;
    };
    DefragEngine engine(control_, L"C:\\");
    EXPECT_TRUE(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents.empty());
    EXPECT_TRUE(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents.empty());
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents,
              (std::deque<Extent>{{0, 5, 5, 100}, {5, 4, 4, 300}}));
}

// A continued answer whose first pairs fall behind the end of the map, and one that starts over at VCN 0
// (the file's first extent grew past the VCN asked for while it was mapped): the list stays in VCN order,
// never gets a negative length, and never maps a VCN twice.
TEST_F(ScriptedAnswers, AnswersThatGoBackDoNotCorruptTheMap) {
    bool restart = false;
    int answer = 0;
    control_.retrievalScript = [&](fs::IO_STATUS_BLOCK& io, std::int64_t, void* out, std::uint32_t) {
        ++answer;
        fs::NtStatus status = fs::kStatusSuccess;
        if (answer % 2 == 1) {
            io.Information = PutAnswer(out, 2, 0, {{10, 100}, {20, 300}});
            status = fs::kStatusBufferOverflow;
        } else if (!restart) {
            io.Information = PutAnswer(out, 2, 5, {{15, 700}, {25, 900}});
        } else {
            io.Information = PutAnswer(out, 1, 0, {{30, 100}});
        }
        io.Status = status;
        return status;
    };
    DefragEngine engine(control_, L"C:\\");
    // The second answer starts at VCN 5: its pair for VCNs 15 to 24 at LCN 900 puts VCN 20 at 905.
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents,
              (std::deque<Extent>{{0, 10, 10, 100}, {10, 10, 10, 300}, {20, 5, 5, 905}}));
    // Counted directly, VCNs 5 to 19 are not counted a second time.
    EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), 3);
    restart = true;
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents, (std::deque<Extent>{{0, 30, 30, 100}}));
    EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), 1);
}

TEST_F(ScriptedAnswers, EndlessFilesAreCutAfterThePassLimits) {
    // Every answer: one more run of one cluster, never adjacent, and "more follows".
    control_.retrievalScript = [](fs::IO_STATUS_BLOCK& io, std::int64_t vcn, void* out, std::uint32_t) {
        io.Information = PutAnswer(out, 1, vcn, {{vcn + 1, 10 + vcn * 2}});
        io.Status = fs::kStatusBufferOverflow;
        return fs::kStatusBufferOverflow;
    };
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\s.dat");
    EXPECT_EQ(list.extents.size(), 1000u);
    EXPECT_EQ(capture.Lines().back(), L"GetFileFragments FileMappings times through loop = 1001\n");
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetRetrievalPointers), 1000u);

    control_.calls.clear();
    EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), 100);
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetRetrievalPointers), 100u);
}

// Answers no file system gives, whose sums of VCNs, LCNs and lengths would leave the signed 64-bit range:
// the mapping fails as a failed pending request does, and the list is left as it was.
TEST_F(ScriptedAnswers, ImplausibleNumbersFailTheMapping) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* what;
        std::int64_t startingVcn;
        std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    };
    const Case refused[] = {
        {"LCN + length past the range", 0, {{10, 100}, {20, kMax - 5}}},
        {"LCN + NextVcn past the range", 0, {{kMax - 10, 11}}},
        {"a negative starting VCN", std::numeric_limits<std::int64_t>::min(), {{10, 100}}},
        {"an LCN below -1", 0, {{10, -2}}},
    };
    const Case* current = nullptr;
    control_.retrievalScript = [&current](fs::IO_STATUS_BLOCK& io, std::int64_t, void* out, std::uint32_t) {
        io.Information = PutAnswer(out, static_cast<std::uint32_t>(current->pairs.size()),
                                   current->startingVcn, current->pairs);
        io.Status = fs::kStatusSuccess;
        return fs::kStatusSuccess;
    };
    DefragEngine engine(control_, L"C:\\");
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        current = &c;
        EXPECT_THROW(engine.GetFileFragmentsInfo(L"C:\\s.dat"), BadFileStats);
        EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), kFileUnusable);

        ExtentList list;
        list.extents = {{0, 4, 4, 50}};
        alignas(8) std::uint8_t answer[16 + 16 * 4] = {};
        const std::uint32_t bytes =
            PutAnswer(answer, static_cast<std::uint32_t>(c.pairs.size()), c.startingVcn, c.pairs);
        EXPECT_FALSE(AppendRetrievalPointers(list, answer, bytes));
        EXPECT_EQ(list.extents, (std::deque<Extent>{{0, 4, 4, 50}}));
    }
    EXPECT_EQ(fs_.OpenHandles(), 1u);

    // Large numbers that stay in range are mapped as they come.
    const Case large{"large", 0, {{10, kMax - 10}, {20, std::int64_t{1} << 62}}};
    current = &large;
    EXPECT_EQ(engine.GetFileFragmentsInfo(L"C:\\s.dat").extents,
              (std::deque<Extent>{{0, 10, 10, kMax - 10}, {10, 10, 10, std::int64_t{1} << 62}}));
    EXPECT_EQ(engine.GetFileFragments(L"C:\\s.dat"), 2);
}

// ---- A file moved while it is mapped. ----

// Moves clusters of a file right before the engine asks for its map from a given VCN, as another
// program (or the file system itself) may do between two requests of one mapping.
class MovingControl : public RecordingControl {
  public:
    MovingControl(sim::SimFileSystem& fs, sim::SimVolume& volume) : RecordingControl(fs), volume_(volume) {}

    struct Move {
        std::wstring file;
        std::int64_t askedVcn = 0;
        fs::MOVE_FILE_DATA data{};
    };
    std::optional<Move> pending;
    fs::NtStatus moveStatus = fs::kStatusPending;  // the status of the move once made

    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        std::int64_t vcn = -1;
        if (code == fs::kFsctlGetRetrievalPointers && in != nullptr && inLength >= 8)
            std::memcpy(&vcn, in, 8);
        if (pending && vcn == pending->askedVcn) {
            moveStatus = volume_
                             .Request(L"", fs::kFsctlMoveFile, &pending->data, sizeof(pending->data), nullptr,
                                      0, pending->file)
                             .status;
            pending.reset();
        }
        return RecordingControl::Control(handle, io, code, in, inLength, out, outLength);
    }

  private:
    sim::SimVolume& volume_;
};

class MovedWhileMapped : public ::testing::Test {
  protected:
    MovedWhileMapped() : volume_({60000, 4096, 0, 0}), control_(fs_, volume_) { fs_.Mount(L'C', volume_); }
    void TearDown() override { EXPECT_EQ(volume_.Check(), ""); }

    // 8,200 runs of one cluster, each two clusters behind the one before: VCN i lies at base + 3i.
    void AddScattered(const std::wstring& path, std::int64_t base) {
        std::vector<sim::Run> runs;
        for (std::int64_t i = 0; i < 8200; ++i)
            runs.push_back({i, base + 3 * i, 1});
        ASSERT_TRUE(volume_.AddFile(path, runs));
    }
    // Moves VCNs 8191 and 8192 of the file to `lcn` when the map is asked for from VCN 8192, that is
    // between the first answer (8,192 pairs, VCNs 0 to 8191) and the second. The volume then starts its
    // second answer at VCN 8191, the beginning of the moved extent.
    void MoveBetweenAnswers(const std::wstring& file, std::int64_t lcn) {
        MovingControl::Move move;
        move.file = file;
        move.askedVcn = 8192;
        move.data.StartingVcn = 8191;
        move.data.StartingLcn = lcn;
        move.data.ClusterCount = 2;
        control_.pending = move;
    }

    timing::ScopedTimeDivisor fast_{100000};
    sim::SimVolume volume_;
    sim::SimFileSystem fs_;
    MovingControl control_;
};

TEST_F(MovedWhileMapped, TheSecondAnswerPutsEachVcnWhereItLies) {
    AddScattered(L"\\runs.dat", 100);
    DefragEngine engine(control_, L"C:\\");
    MoveBetweenAnswers(L"\\runs.dat", 50000);
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\runs.dat");
    ASSERT_EQ(control_.moveStatus, fs::kStatusSuccess);
    ASSERT_EQ(list.extents.size(), 8200u);
    EXPECT_EQ(list.extents[8191], (Extent{8191, 1, 1, 100 + 3 * 8191}));  // as the first answer had it
    EXPECT_EQ(list.extents[8192], (Extent{8192, 1, 1, 50001}));           // the moved extent's second cluster
    EXPECT_EQ(list.extents[8193], (Extent{8193, 1, 1, 100 + 3 * 8193}));
    EXPECT_EQ(FragmentCount(list), 8200);
}

TEST_F(MovedWhileMapped, TheCountSeesAMovedClusterNextToTheRunBehindIt) {
    // VCN 8192 lands right before VCN 8193: the two are one fragment.
    AddScattered(L"\\runs.dat", 100);
    DefragEngine engine(control_, L"C:\\");
    const std::int64_t lcn8193 = 100 + 3 * 8193;
    MoveBetweenAnswers(L"\\runs.dat", lcn8193 - 2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\runs.dat"), 8199);
    ASSERT_EQ(control_.moveStatus, fs::kStatusSuccess);

    // The map built over the same two answers agrees.
    AddScattered(L"\\again.dat", 30000);
    MoveBetweenAnswers(L"\\again.dat", 30000 + 3 * 8193 - 2);
    const ExtentList list = engine.GetFileFragmentsInfo(L"C:\\again.dat");
    ASSERT_EQ(control_.moveStatus, fs::kStatusSuccess);
    EXPECT_EQ(list.extents[8192], (Extent{8192, 2, 2, 30000 + 3 * 8193 - 1}));  // VCNs 8192 and 8193
    EXPECT_EQ(list.extents.size(), 8199u);
    EXPECT_EQ(FragmentCount(list), 8199);
}

// ---- Numbers derived from a list. ----

TEST(ExtentList, ExtentAfter) {
    ExtentList list;
    list.extents = {{0, 10, 10, 100}, {10, 10, 10, 110}, {20, 5, 5, 300}};
    std::int64_t vcn = 0;
    EXPECT_EQ(ExtentAfter(list, vcn), 110);  // the first extent: not behind anything
    EXPECT_EQ(vcn, 10);
    vcn = 12;
    EXPECT_EQ(ExtentAfter(list, vcn), -1);  // right behind the first
    EXPECT_EQ(vcn, -1);
    vcn = 20;
    EXPECT_EQ(ExtentAfter(list, vcn), 305);
    EXPECT_EQ(vcn, 25);
    EXPECT_EQ(ExtentAfter(list, vcn), 0);  // nothing beyond
    EXPECT_EQ(vcn, 25);

    ExtentList hole;
    hole.extents = {{0, 0, 32, -1}, {32, 4, 4, 50}};
    vcn = 0;
    EXPECT_EQ(ExtentAfter(hole, vcn), -1);
    EXPECT_EQ(vcn, -1);
}

TEST(ExtentList, EmptyListAndVcnLengthRounding) {
    ExtentList list;
    EXPECT_EQ(FragmentCount(list), 1);
    EXPECT_EQ(VcnLength(list), 0u);
    list.extents = {{0, 3, 33, 7}};
    EXPECT_EQ(VcnLength(list), 33u);
    list.compressed = true;
    EXPECT_EQ(VcnLength(list), 48u);
    list.extents = {{0, 3, 32, 7}};
    EXPECT_EQ(VcnLength(list), 32u);
}

}  // namespace
}  // namespace kestrel::engine::test
