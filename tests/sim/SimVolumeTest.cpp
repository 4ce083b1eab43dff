// The simulated volume's answers, allocation, moves and consistency check, asked directly (without
// handles). Every scenario that changes the volume ends with Check().
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "platform/sim/SimVolume.h"
#include "platform/sim/SimVolumeTestAccess.h"

namespace kestrel::sim {
namespace {

using ::testing::ElementsAre;

// Reads a record from a byte buffer at any offset (the tests also use unaligned buffers).
template <class T>
T Get(const std::vector<unsigned char>& buffer, std::size_t offset) {
    T value{};
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

struct Reply {
    fs::NtStatus status;
    std::uint32_t bytes;
    std::vector<unsigned char> out;
};

Reply Ask(SimVolume& volume, const std::wstring& file, std::uint32_t code, std::int64_t input,
          std::uint32_t outLength, std::uint32_t inLength = 8) {
    Reply reply{};
    // One extra byte in front so that the records land on odd addresses, and 8 guard bytes behind the
    // output (kept in the reply) to show that nothing is written past it.
    std::vector<unsigned char> in(9), out(outLength + 9, 0xCD);
    std::memcpy(in.data() + 1, &input, sizeof input);
    auto answer = volume.Request(file, code, in.data() + 1, inLength, out.data() + 1, outLength, {});
    reply.status = answer.status;
    reply.bytes = answer.bytes;
    reply.out.assign(out.begin() + 1, out.end());
    return reply;
}

Reply Bitmap(SimVolume& volume, std::int64_t start, std::uint32_t outLength) {
    return Ask(volume, {}, fs::kFsctlGetVolumeBitmap, start, outLength);
}

Reply Retrieval(SimVolume& volume, const std::wstring& file, std::int64_t vcn, std::uint32_t outLength) {
    return Ask(volume, file, fs::kFsctlGetRetrievalPointers, vcn, outLength);
}

fs::NtStatus Move(SimVolume& volume, const std::wstring& file, std::int64_t vcn, std::int64_t lcn,
                  std::uint32_t count) {
    fs::MOVE_FILE_DATA data{};
    data.FileHandle = reinterpret_cast<void*>(std::uintptr_t{4});
    data.StartingVcn = vcn;
    data.StartingLcn = lcn;
    data.ClusterCount = count;
    return volume.Request({}, fs::kFsctlMoveFile, &data, sizeof data, nullptr, 0, file).status;
}

std::vector<std::pair<std::int64_t, std::int64_t>> Pairs(const Reply& reply) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    auto count = Get<std::uint32_t>(reply.out, 0);
    for (std::uint32_t i = 0; i < count; ++i)
        pairs.emplace_back(Get<std::int64_t>(reply.out, 16 + 16 * i),
                           Get<std::int64_t>(reply.out, 24 + 16 * i));
    return pairs;
}

// ---- FSCTL_GET_NTFS_VOLUME_DATA ----

TEST(SimVolumeData, FillsTheRecordAndRefusesAShortBuffer) {
    SimVolume volume({10000, 4096, 100, 299});
    ASSERT_TRUE(volume.Append(L"\\f", 30));
    auto reply = Ask(volume, {}, fs::kFsctlGetNtfsVolumeData, 0, 96, 0);
    ASSERT_EQ(reply.status, fs::kStatusSuccess);
    EXPECT_EQ(reply.bytes, 96u);
    EXPECT_EQ(Get<std::int64_t>(reply.out, 16), 10000);       // TotalClusters
    EXPECT_EQ(Get<std::int64_t>(reply.out, 24), 10000 - 30);  // FreeClusters
    EXPECT_EQ(Get<std::uint32_t>(reply.out, 40), 512u);       // BytesPerSector
    EXPECT_EQ(Get<std::uint32_t>(reply.out, 44), 4096u);      // BytesPerCluster
    EXPECT_EQ(Get<std::int64_t>(reply.out, 80), 100);         // MftZoneStart
    EXPECT_EQ(Get<std::int64_t>(reply.out, 88), 299);         // MftZoneEnd

    reply = Ask(volume, {}, fs::kFsctlGetNtfsVolumeData, 0, 95, 0);
    EXPECT_EQ(reply.status, fs::kStatusBufferTooSmall);
    EXPECT_EQ(reply.bytes, 0u);
    EXPECT_EQ(reply.out[0], 0xCD) << "nothing may be written on failure";
}

// ---- FSCTL_GET_VOLUME_BITMAP ----

TEST(SimVolumeBitmap, RoundsTheStartDownToEightAndCountsToTheEnd) {
    SimVolume volume({100, 4096, 0, 0});
    ASSERT_TRUE(volume.Occupy(3, 2));
    ASSERT_TRUE(volume.Occupy(9, 1));
    ASSERT_TRUE(volume.Occupy(98, 2));
    auto reply = Bitmap(volume, 13, 64);
    ASSERT_EQ(reply.status, fs::kStatusSuccess);
    EXPECT_EQ(Get<std::int64_t>(reply.out, 0), 8);
    EXPECT_EQ(Get<std::int64_t>(reply.out, 8), 92);
    EXPECT_EQ(reply.bytes, 16u + 12u);  // 92 clusters in 12 bytes
    for (std::int64_t lcn = 8; lcn < 100; ++lcn) {
        std::size_t bit = static_cast<std::size_t>(lcn - 8);
        bool set = (reply.out[16 + bit / 8] >> (bit % 8)) & 1;
        EXPECT_EQ(set, volume.IsUsed(lcn)) << "cluster " << lcn;
    }
    EXPECT_EQ(reply.out[16 + 11] & 0xF0, 0) << "bits past the last cluster are clear";

    reply = Bitmap(volume, 0, 64);
    EXPECT_EQ(reply.out[16], 0x18);  // clusters 3 and 4
    EXPECT_EQ(reply.out[17], 0x02);  // cluster 9
}

TEST(SimVolumeBitmap, PartialAnswersAndRefusals) {
    SimVolume volume({100, 4096, 0, 0});
    ASSERT_TRUE(volume.Occupy(0, 100));

    auto partial = Bitmap(volume, 0, 16 + 5);
    EXPECT_EQ(partial.status, fs::kStatusBufferOverflow);
    EXPECT_EQ(partial.bytes, 21u);
    EXPECT_EQ(Get<std::int64_t>(partial.out, 8), 100) << "BitmapSize is the whole remainder";
    EXPECT_EQ(partial.out[20], 0xFF);
    EXPECT_EQ(partial.out[21], 0xCD) << "no byte beyond the output";

    auto headerOnly = Bitmap(volume, 0, 16);
    EXPECT_EQ(headerOnly.status, fs::kStatusBufferOverflow);
    EXPECT_EQ(headerOnly.bytes, 16u);

    EXPECT_EQ(Bitmap(volume, 0, 15).status, fs::kStatusBufferTooSmall);
    EXPECT_EQ(Bitmap(volume, 100, 64).status, fs::kStatusInvalidParameter);
    EXPECT_EQ(Bitmap(volume, -8, 64).status, fs::kStatusInvalidParameter);
    EXPECT_EQ(Ask(volume, {}, fs::kFsctlGetVolumeBitmap, 0, 64, 7).status, fs::kStatusInvalidParameter);
    ASSERT_TRUE(volume.CreateFile(L"\\f"));
    EXPECT_EQ(Ask(volume, L"\\f", fs::kFsctlGetVolumeBitmap, 0, 64).status, fs::kStatusInvalidParameter)
        << "the bitmap is a volume request";
    // The last start inside the volume is answered, rounded down.
    auto tail = Bitmap(volume, 99, 64);
    EXPECT_EQ(tail.status, fs::kStatusSuccess);
    EXPECT_EQ(Get<std::int64_t>(tail.out, 0), 96);
    EXPECT_EQ(Get<std::int64_t>(tail.out, 8), 4);
    EXPECT_EQ(tail.bytes, 17u);
}

// ---- FSCTL_GET_RETRIEVAL_POINTERS ----

TEST(SimVolumeRetrieval, PagesOverManyRunsAndStartsAtTheRunHoldingTheVcn) {
    SimVolume volume({1000, 4096, 0, 0});
    // Five runs of 10 clusters with gaps between them.
    ASSERT_TRUE(
        volume.AddFile(L"\\f", {{0, 100, 10}, {10, 200, 10}, {20, 300, 10}, {30, 400, 10}, {40, 500, 10}}));
    const std::uint32_t twoPairs = 16 + 2 * 16;

    auto first = Retrieval(volume, L"\\f", 0, twoPairs);
    EXPECT_EQ(first.status, fs::kStatusBufferOverflow);
    EXPECT_EQ(first.bytes, twoPairs);
    EXPECT_EQ(Get<std::int64_t>(first.out, 8), 0);
    EXPECT_THAT(Pairs(first), ElementsAre(std::pair<std::int64_t, std::int64_t>{10, 100},
                                          std::pair<std::int64_t, std::int64_t>{20, 200}));

    // Continuing from the last NextVcn, then from the middle of a run.
    auto second = Retrieval(volume, L"\\f", 20, twoPairs);
    EXPECT_EQ(second.status, fs::kStatusBufferOverflow);
    EXPECT_EQ(Get<std::int64_t>(second.out, 8), 20);
    auto middle = Retrieval(volume, L"\\f", 45, twoPairs);
    EXPECT_EQ(middle.status, fs::kStatusSuccess);
    EXPECT_EQ(Get<std::int64_t>(middle.out, 8), 40)
        << "the answer starts where the run holding VCN 45 starts";
    EXPECT_THAT(Pairs(middle), ElementsAre(std::pair<std::int64_t, std::int64_t>{50, 500}));
    EXPECT_EQ(middle.bytes, 32u);

    auto all = Retrieval(volume, L"\\f", 0, 16 + 5 * 16);
    EXPECT_EQ(all.status, fs::kStatusSuccess);
    EXPECT_EQ(Pairs(all).size(), 5u);

    EXPECT_EQ(Retrieval(volume, L"\\f", 50, 4096).status, fs::kStatusEndOfFile);
    EXPECT_EQ(Retrieval(volume, L"\\f", -1, 4096).status, fs::kStatusInvalidParameter);
    EXPECT_EQ(Retrieval(volume, L"\\f", 0, 31).status, fs::kStatusBufferTooSmall)
        << "the record with one pair is 32 bytes";
    EXPECT_EQ(Ask(volume, L"\\f", fs::kFsctlGetRetrievalPointers, 0, 4096, 7).status,
              fs::kStatusInvalidParameter);
}

TEST(SimVolumeRetrieval, HolesResidentFilesAndDirectories) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.AddFile(L"\\dir\\sparse", {{0, kHoleLcn, 16}, {16, 40, 4}, {20, kHoleLcn, 12}},
                               FileKind::Sparse));
    auto reply = Retrieval(volume, L"\\dir\\sparse", 0, 4096);
    ASSERT_EQ(reply.status, fs::kStatusSuccess);
    EXPECT_THAT(Pairs(reply), ElementsAre(std::pair<std::int64_t, std::int64_t>{16, -1},
                                          std::pair<std::int64_t, std::int64_t>{20, 40},
                                          std::pair<std::int64_t, std::int64_t>{32, -1}));

    ASSERT_TRUE(volume.CreateFile(L"\\small"));
    EXPECT_EQ(Retrieval(volume, L"\\small", 0, 4096).status, fs::kStatusEndOfFile);
    EXPECT_EQ(Retrieval(volume, L"\\dir", 0, 4096).status, fs::kStatusEndOfFile);
    EXPECT_EQ(Retrieval(volume, L"\\", 0, 4096).status, fs::kStatusEndOfFile);
    EXPECT_EQ(Retrieval(volume, L"\\gone", 0, 4096).status, fs::kStatusFileDeleted);

    ASSERT_TRUE(volume.Append(L"\\grown", 5));
    ASSERT_TRUE(volume.MakeResident(L"\\grown"));
    EXPECT_EQ(Retrieval(volume, L"\\grown", 0, 4096).status, fs::kStatusEndOfFile);
    EXPECT_EQ(volume.FreeClusters(), 1000 - 4);
    EXPECT_EQ(volume.Check(), "");
}

// ---- Allocation ----

TEST(SimVolumeAllocation, FilesWrittenSideBySideInterleave) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.Append(L"\\a", 10));
    ASSERT_TRUE(volume.Append(L"\\b", 10));
    ASSERT_TRUE(volume.Append(L"\\a", 10));
    ASSERT_TRUE(volume.Append(L"\\a", 5));  // in place: the clusters behind a's last run are free
    EXPECT_THAT(volume.Runs(L"\\a"), ElementsAre(sim::Run{0, 0, 10}, sim::Run{10, 20, 15}));
    EXPECT_EQ(volume.Fragments(L"\\a"), 2);
    EXPECT_EQ(volume.Fragments(L"\\b"), 1);
    // Tags are unique on the volume and follow the VCNs.
    auto a = volume.Tags(L"\\a");
    auto b = volume.Tags(L"\\b");
    ASSERT_EQ(a.size(), 25u);
    for (auto tag : b)
        EXPECT_EQ(std::count(a.begin(), a.end(), tag), 0);
    EXPECT_EQ(volume.Check(), "");

    // A new file starts at the first free cluster: the gap a leaves behind, then beyond b.
    ASSERT_TRUE(volume.DeleteFile(L"\\a"));
    ASSERT_TRUE(volume.Append(L"\\c", 12));
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 0, 10}, sim::Run{10, 20, 2}));
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeAllocation, StaysOutOfTheMftZoneUntilNothingElseIsFree) {
    SimVolume volume({64, 4096, 0, 31});
    ASSERT_TRUE(volume.Append(L"\\a", 20));
    EXPECT_THAT(volume.Runs(L"\\a"), ElementsAre(sim::Run{0, 32, 20}));
    ASSERT_TRUE(volume.Append(L"\\b", 20));  // 12 left outside the zone, the rest from the zone
    EXPECT_THAT(volume.Runs(L"\\b"), ElementsAre(sim::Run{0, 52, 12}, sim::Run{12, 0, 8}));
    EXPECT_FALSE(volume.Append(L"\\c", 25)) << "only 24 clusters are free";
    EXPECT_EQ(volume.FreeClusters(), 24) << "a failed append takes nothing";
    EXPECT_TRUE(volume.Runs(L"\\c").empty());
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeAllocation, CompressedFilesGrowInUnits) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.CreateFile(L"\\c", FileKind::Compressed));
    ASSERT_TRUE(volume.Append(L"\\c", 5));
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 0, 16}));
    ASSERT_TRUE(volume.AppendCompressedUnit(L"\\c", 6));
    ASSERT_TRUE(volume.AppendHole(L"\\c", 3));
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 0, 22}, sim::Run{22, kHoleLcn, 26}));
    EXPECT_FALSE(volume.AppendHole(L"\\missing", 16));
    ASSERT_TRUE(volume.Append(L"\\n", 1));
    EXPECT_FALSE(volume.AppendHole(L"\\n", 16)) << "a normal file has no holes";
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeAllocation, AddFileRefusesOverlapsAndBadRuns) {
    SimVolume volume({100, 4096, 0, 0});
    ASSERT_TRUE(volume.AddFile(L"\\a", {{0, 10, 10}}));
    EXPECT_FALSE(volume.AddFile(L"\\b", {{0, 15, 10}}));                // on a's clusters
    EXPECT_FALSE(volume.AddFile(L"\\b", {{0, 30, 10}, {10, 35, 10}}));  // on itself
    EXPECT_FALSE(volume.AddFile(L"\\b", {{0, 95, 10}}));                // past the end
    EXPECT_FALSE(volume.AddFile(L"\\b", {{1, 30, 10}}));                // not from VCN 0
    EXPECT_FALSE(volume.AddFile(L"\\b", {{0, kHoleLcn, 16}}));          // a hole in a normal file
    EXPECT_FALSE(volume.AddFile(L"\\a", {{0, 50, 1}}));                 // exists
    EXPECT_EQ(volume.FreeClusters(), 90);
    EXPECT_FALSE(volume.Occupy(95, 10));
    EXPECT_FALSE(volume.Occupy(12, 1));
    EXPECT_EQ(volume.Check(), "");
}

// ---- FSCTL_MOVE_FILE ----

TEST(SimVolumeFiles, TruncateFreesTheTailAndKeepsTheHeadsTags) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.Append(L"\\a", 10));
    ASSERT_TRUE(volume.Append(L"\\b", 10));
    ASSERT_TRUE(volume.Append(L"\\a", 10));  // a: 0-9 and 20-29
    const std::vector<std::uint64_t> tags = volume.Tags(L"\\a");
    const std::int64_t free = volume.FreeClusters();

    ASSERT_TRUE(volume.Truncate(L"\\A", 14));  // through a run: its head stays
    EXPECT_THAT(volume.Runs(L"\\a"), ElementsAre(sim::Run{0, 0, 10}, sim::Run{10, 20, 4}));
    EXPECT_EQ(volume.Tags(L"\\a"), std::vector<std::uint64_t>(tags.begin(), tags.begin() + 14));
    EXPECT_EQ(volume.FreeClusters(), free + 6);
    EXPECT_FALSE(volume.IsUsed(24));
    EXPECT_EQ(volume.Check(), "");

    EXPECT_TRUE(volume.Truncate(L"\\a", 99)) << "a length past the end changes nothing";
    EXPECT_EQ(volume.Describe(L"\\a")->clusters, 14);
    // Grows again in place behind what is left.
    ASSERT_TRUE(volume.Append(L"\\a", 2));
    EXPECT_THAT(volume.Runs(L"\\a"), ElementsAre(sim::Run{0, 0, 10}, sim::Run{10, 20, 6}));
    ASSERT_TRUE(volume.Truncate(L"\\a", 0));
    EXPECT_TRUE(volume.Runs(L"\\a").empty());
    EXPECT_EQ(volume.Describe(L"\\a")->clusters, 0);
    EXPECT_EQ(volume.FreeClusters(), 990);
    EXPECT_FALSE(volume.Truncate(L"\\missing", 0));
    EXPECT_FALSE(volume.Truncate(L"\\b", -1));
    EXPECT_EQ(volume.Check(), "");

    // A compressed file keeps whole units, holes included.
    ASSERT_TRUE(volume.CreateFile(L"\\c", FileKind::Compressed));
    ASSERT_TRUE(volume.AppendCompressedUnit(L"\\c", 4));
    ASSERT_TRUE(volume.AppendCompressedUnit(L"\\c", 16));
    ASSERT_TRUE(volume.Truncate(L"\\c", 3));
    ASSERT_EQ(volume.Runs(L"\\c").size(), 2u);
    EXPECT_EQ(volume.Runs(L"\\c")[1], (sim::Run{4, kHoleLcn, 12}));
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeFiles, RenameCarriesClustersAndTagsAndRefusesAnotherFilesPath) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.Append(L"\\dir\\a", 10));
    ASSERT_TRUE(volume.Append(L"\\b", 5));
    const std::vector<sim::Run> runs = volume.Runs(L"\\dir\\a");
    const std::vector<std::uint64_t> tags = volume.Tags(L"\\dir\\a");

    ASSERT_TRUE(volume.Rename(L"\\DIR\\A", L"\\other\\Z"));
    EXPECT_FALSE(volume.Exists(L"\\dir\\a"));
    EXPECT_FALSE(volume.IsDirectory(L"\\dir"));
    EXPECT_EQ(volume.Runs(L"\\other\\z"), runs);
    EXPECT_EQ(volume.Tags(L"\\other\\z"), tags);
    EXPECT_EQ(volume.Describe(L"\\OTHER\\z")->path, L"\\other\\Z");

    EXPECT_FALSE(volume.Rename(L"\\other\\z", L"\\B")) << "b is another file";
    EXPECT_FALSE(volume.Rename(L"\\missing", L"\\c"));
    EXPECT_FALSE(volume.Rename(L"\\b", L"\\"));
    ASSERT_TRUE(volume.Rename(L"\\other\\z", L"\\other\\z")) << "a change of case only";
    EXPECT_EQ(volume.Describe(L"\\other\\Z")->path, L"\\other\\z");
    EXPECT_THAT(volume.FilesBelow(L"\\OTHER"), ElementsAre(L"\\other\\z"));
    EXPECT_THAT(volume.FilesBelow(L"\\"), ElementsAre(L"\\b", L"\\other\\z"));
    EXPECT_THAT(volume.FilesBelow(L"\\b"), ElementsAre(L"\\b"));
    EXPECT_TRUE(volume.FilesBelow(L"\\oth").empty()) << "a prefix of a name is not a folder";
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeMove, MovesClustersWithTheirTags) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.AddFile(L"\\f", {{0, 100, 10}, {10, 300, 10}}));
    auto tags = volume.Tags(L"\\f");
    ASSERT_EQ(Move(volume, L"\\F", 10, 110, 10), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\f"), ElementsAre(sim::Run{0, 100, 20}))
        << "the moved piece joins the run before it";
    EXPECT_EQ(volume.Tags(L"\\f"), tags);
    // The old place is held until the checkpoint, then free.
    EXPECT_TRUE(volume.IsUsed(300));
    EXPECT_EQ(volume.HeldClusters(), 10);
    EXPECT_EQ(volume.FreeClusters(), 970);
    EXPECT_EQ(volume.Check(), "");
    volume.Checkpoint();
    EXPECT_EQ(volume.HeldClusters(), 0);
    EXPECT_FALSE(volume.IsUsed(300));
    EXPECT_FALSE(volume.IsUsed(309));
    EXPECT_EQ(volume.FreeClusters(), 980);

    // A piece from the middle of a run: the run splits in three.
    ASSERT_EQ(Move(volume, L"\\f", 5, 500, 3), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\f"),
                ElementsAre(sim::Run{0, 100, 5}, sim::Run{5, 500, 3}, sim::Run{8, 108, 12}));
    EXPECT_EQ(volume.Tags(L"\\f"), tags);
    EXPECT_EQ(volume.Check(), "");

    // A count past the end moves up to the end.
    ASSERT_EQ(Move(volume, L"\\f", 8, 600, 4096), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\f"),
                ElementsAre(sim::Run{0, 100, 5}, sim::Run{5, 500, 3}, sim::Run{8, 600, 12}));
    EXPECT_EQ(volume.Tags(L"\\f"), tags);
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeMove, RefusesUsedTargetsAndBadRangesWithoutChangingAnything) {
    SimVolume volume({1000, 4096, 0, 0});
    ASSERT_TRUE(volume.AddFile(L"\\f", {{0, 100, 10}}));
    ASSERT_TRUE(volume.AddFile(L"\\g", {{0, 205, 1}}));
    auto runs = volume.Runs(L"\\f");
    auto tags = volume.Tags(L"\\f");
    auto free = volume.FreeClusters();

    EXPECT_EQ(Move(volume, L"\\f", 0, 200, 10), fs::kStatusAlreadyCommitted) << "cluster 205 belongs to g";
    EXPECT_EQ(Move(volume, L"\\f", 0, 95, 10), fs::kStatusAlreadyCommitted)
        << "the file's own clusters count";
    EXPECT_EQ(Move(volume, L"\\f", -1, 500, 1), fs::kStatusInvalidParameter);
    EXPECT_EQ(Move(volume, L"\\f", 0, -1, 1), fs::kStatusInvalidParameter);
    EXPECT_EQ(Move(volume, L"\\f", 0, 500, 0), fs::kStatusInvalidParameter);
    EXPECT_EQ(Move(volume, L"\\f", 10, 500, 1), fs::kStatusInvalidParameter) << "VCN 10 is past the end";
    EXPECT_EQ(Move(volume, L"\\f", 0, 995, 10), fs::kStatusInvalidParameter) << "target past the volume";
    EXPECT_EQ(Move(volume, L"\\f", 0, std::numeric_limits<std::int64_t>::max(), 10),
              fs::kStatusInvalidParameter);
    EXPECT_EQ(Move(volume, L"\\f", std::numeric_limits<std::int64_t>::max(), 0, 0xFFFFFFFF),
              fs::kStatusInvalidParameter);
    EXPECT_EQ(Move(volume, L"\\none", 0, 500, 1), fs::kStatusFileDeleted);
    EXPECT_EQ(Move(volume, {}, 0, 500, 1), fs::kStatusInvalidHandle);

    fs::MOVE_FILE_DATA data{};
    data.StartingLcn = 500;
    data.ClusterCount = 1;
    EXPECT_EQ(volume.Request({}, fs::kFsctlMoveFile, &data, 31, nullptr, 0, L"\\f").status,
              fs::kStatusInvalidParameter);
    EXPECT_EQ(volume.Request(L"\\f", fs::kFsctlMoveFile, &data, 32, nullptr, 0, L"\\f").status,
              fs::kStatusInvalidParameter)
        << "a move is a volume request";

    EXPECT_EQ(volume.Runs(L"\\f"), runs);
    EXPECT_EQ(volume.Tags(L"\\f"), tags);
    EXPECT_EQ(volume.FreeClusters(), free);
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeMove, CompressedFilesMoveInWholeUnits) {
    SimVolume volume({1000, 4096, 0, 0});
    // Three units: 10 stored + 6 hole, 16 stored, 4 stored + 12 hole; scattered.
    ASSERT_TRUE(volume.AddFile(
        L"\\c", {{0, 100, 10}, {10, kHoleLcn, 6}, {16, 200, 16}, {32, 300, 4}, {36, kHoleLcn, 12}},
        FileKind::Compressed));
    auto tags = volume.Tags(L"\\c");
    // Asking for VCNs 20..33 widens to units 1 and 2 (VCNs 16..47): 20 stored clusters move.
    ASSERT_EQ(Move(volume, L"\\c", 20, 500, 14), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 100, 10}, sim::Run{10, kHoleLcn, 6},
                                                 sim::Run{16, 500, 20}, sim::Run{36, kHoleLcn, 12}));
    EXPECT_EQ(volume.Tags(L"\\c"), tags);
    EXPECT_EQ(volume.HeldClusters(), 20);
    volume.Checkpoint();
    EXPECT_FALSE(volume.IsUsed(200));
    EXPECT_FALSE(volume.IsUsed(303));
    EXPECT_TRUE(volume.IsUsed(519));
    EXPECT_FALSE(volume.IsUsed(520));
    EXPECT_EQ(volume.Check(), "");

    // The whole file behind unit 0's new home: units laid one behind the other, holes kept.
    ASSERT_EQ(Move(volume, L"\\c", 0, 700, 48), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 700, 10}, sim::Run{10, kHoleLcn, 6},
                                                 sim::Run{16, 710, 20}, sim::Run{36, kHoleLcn, 12}));
    EXPECT_EQ(volume.Fragments(L"\\c"), 1);
    EXPECT_EQ(volume.Tags(L"\\c"), tags);
    EXPECT_EQ(volume.Check(), "");

    // A target that fits the requested count but not the widened units' clusters is refused.
    ASSERT_TRUE(volume.Occupy(815, 1));
    EXPECT_EQ(Move(volume, L"\\c", 0, 800, 1), fs::kStatusSuccess) << "unit 0 has 10 clusters: 800..809";
    EXPECT_EQ(Move(volume, L"\\c", 16, 800 - 20 + 30, 1), fs::kStatusAlreadyCommitted)
        << "unit 1 needs 16 clusters from 810, and 815 is taken";
}

TEST(SimVolumeMove, WholeUnitRuleRefusesPartialUnitsOfCompressedAndSparseFiles) {
    NtfsRules rules;
    rules.wholeUnitMoves = true;
    SimVolume volume({1000, 4096, 0, 0}, rules);
    ASSERT_TRUE(volume.AddFile(
        L"\\c", {{0, 100, 10}, {10, kHoleLcn, 6}, {16, 200, 16}, {32, 300, 4}, {36, kHoleLcn, 12}},
        FileKind::Compressed));
    ASSERT_TRUE(volume.AddFile(L"\\s", {{0, kHoleLcn, 16}, {16, 400, 20}}, FileKind::Sparse));
    ASSERT_TRUE(volume.AddFile(L"\\n", {{0, 600, 20}}));
    const auto runs = volume.Runs(L"\\c");
    const auto free = volume.FreeClusters();

    EXPECT_EQ(Move(volume, L"\\c", 20, 500, 14), fs::kStatusInvalidParameter) << "starts inside unit 1";
    EXPECT_EQ(Move(volume, L"\\c", 16, 500, 10), fs::kStatusInvalidParameter) << "ends inside unit 1";
    EXPECT_EQ(Move(volume, L"\\s", 16, 500, 4), fs::kStatusInvalidParameter) << "sparse files alike";
    EXPECT_EQ(volume.Runs(L"\\c"), runs);
    EXPECT_EQ(volume.FreeClusters(), free);

    // Whole units, and a range that reaches to or past the end of the file, are moved.
    EXPECT_EQ(Move(volume, L"\\c", 16, 500, 16), fs::kStatusSuccess);
    EXPECT_EQ(Move(volume, L"\\c", 32, 516, 4096), fs::kStatusSuccess);
    EXPECT_THAT(volume.Runs(L"\\c"), ElementsAre(sim::Run{0, 100, 10}, sim::Run{10, kHoleLcn, 6},
                                                 sim::Run{16, 500, 20}, sim::Run{36, kHoleLcn, 12}));
    EXPECT_EQ(Move(volume, L"\\s", 16, 700, 20), fs::kStatusSuccess) << "the sparse file ends at VCN 36";
    // A normal file still moves cluster by cluster.
    EXPECT_EQ(Move(volume, L"\\n", 3, 800, 5), fs::kStatusSuccess);
    EXPECT_EQ(volume.Check(), "");
}

// ---- Clusters freed by a move are held until the checkpoint ----

TEST(SimVolumeHold, FreedClustersStayInUseForTheNextRequests) {
    NtfsRules rules;
    rules.freedClusterHold = 3;
    SimVolume volume({1000, 4096, 0, 0}, rules);
    ASSERT_TRUE(volume.Occupy(0, 100));
    ASSERT_TRUE(volume.AddFile(L"\\f", {{0, 100, 10}}));
    ASSERT_TRUE(volume.AddFile(L"\\g", {{0, 900, 10}}));
    auto bit100 = [](const Reply& bitmap) { return (bitmap.out[16 + 100 / 8] >> (100 % 8)) & 1; };

    ASSERT_EQ(Move(volume, L"\\f", 0, 500, 10), fs::kStatusSuccess);  // request 1: 100..109 freed
    EXPECT_EQ(volume.FreeClusters(), 1000 - 100 - 10 - 10 - 10);
    // Not free for allocation either: a new file starts behind them.
    ASSERT_TRUE(volume.Append(L"\\n", 5));
    EXPECT_THAT(volume.Runs(L"\\n"), ElementsAre(sim::Run{0, 110, 5}));
    EXPECT_EQ(Move(volume, L"\\g", 0, 100, 10), fs::kStatusAlreadyCommitted);  // request 2
    auto data = Ask(volume, {}, fs::kFsctlGetNtfsVolumeData, 0, 96, 0);        // request 3
    EXPECT_EQ(Get<std::int64_t>(data.out, 24), 1000 - 100 - 10 - 10 - 10 - 5);
    EXPECT_EQ(bit100(Bitmap(volume, 0, 16 + 125)), 1);  // request 4: the last one of the hold
    EXPECT_EQ(volume.Check(), "");
    EXPECT_EQ(bit100(Bitmap(volume, 0, 16 + 125)), 0);  // request 5: released
    EXPECT_EQ(volume.HeldClusters(), 0);
    EXPECT_EQ(Move(volume, L"\\g", 0, 100, 10), fs::kStatusSuccess);
    EXPECT_EQ(volume.HeldClusters(), 10) << "g's old place is held in turn";
    EXPECT_EQ(volume.Check(), "");
}

TEST(SimVolumeHold, RulesCheckpointAndPartialMoves) {
    SimVolume volume({1000, 4096, 0, 0});
    EXPECT_EQ(volume.Rules().freedClusterHold, kDefaultFreedClusterHold);
    ASSERT_TRUE(volume.AddFile(L"\\f", {{0, 100, 30}}));

    volume.SetRules({0, false});
    ASSERT_EQ(Move(volume, L"\\f", 0, 200, 10), fs::kStatusSuccess);
    EXPECT_FALSE(volume.IsUsed(100)) << "no hold: free at once";

    volume.SetRules({1000, false});
    volume.InjectFault({Fault::Kind::PartialMove, fs::kFsctlMoveFile, L"", 0, 5});
    EXPECT_EQ(Move(volume, L"\\f", 10, 300, 20), fs::kStatusDiskFull);
    EXPECT_EQ(volume.HeldClusters(), 5) << "what a partial move moved is held too";
    EXPECT_TRUE(volume.IsUsed(110));
    EXPECT_THAT(volume.Runs(L"\\f"),
                ElementsAre(sim::Run{0, 200, 10}, sim::Run{10, 300, 5}, sim::Run{15, 115, 15}));
    for (int i = 0; i < 50; ++i)
        Bitmap(volume, 0, 16);
    EXPECT_EQ(volume.HeldClusters(), 5);
    EXPECT_EQ(volume.Check(), "");
    volume.Checkpoint();
    EXPECT_EQ(volume.HeldClusters(), 0);
    EXPECT_FALSE(volume.IsUsed(110));
    EXPECT_EQ(volume.Check(), "");

    // The check counts held clusters as taken: one flipped to free in the bitmap is noticed.
    ASSERT_EQ(Move(volume, L"\\f", 0, 400, 10), fs::kStatusSuccess);
    SimVolumeTestAccess::FlipBit(volume, 200);
    EXPECT_THAT(volume.Check(), ::testing::HasSubstr("bitmap"));
}

// ---- The consistency check ----

TEST(SimVolumeCheck, NoticesEveryKindOfDamage) {
    auto fresh = [](SimVolume& v) {
        ASSERT_TRUE(v.AddFile(L"\\a", {{0, 10, 10}}));
        ASSERT_TRUE(v.AddFile(L"\\b", {{0, 40, 10}}));
        ASSERT_EQ(v.Check(), "");
    };
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::FlipBit(v, 70);
        EXPECT_THAT(v.Check(), ::testing::HasSubstr("bitmap"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::FlipBit(v, 15);  // a file cluster marked free
        EXPECT_NE(v.Check(), "");
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::OverwriteTag(v, 43, 9999);  // wrong data in b
        EXPECT_THAT(v.Check(), ::testing::HasSubstr("content"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::SetRuns(v, L"\\b", {{0, 15, 10}});  // b doubled onto a's clusters
        EXPECT_THAT(v.Check(), ::testing::HasSubstr("two owners"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::SetRuns(v, L"\\a", {{0, 10, 5}, {6, 15, 5}});  // a VCN gap
        EXPECT_THAT(v.Check(), ::testing::HasSubstr("VCN order"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::SetRuns(v, L"\\a", {{0, 15, 5}, {5, 10, 5}});  // swapped halves: misplaced
        EXPECT_NE(v.Check(), "");
    }
}

TEST(SimVolumeCheck, TheAllocationCheckSeesLostAndDoubledClustersButNotContent) {
    auto fresh = [](SimVolume& v) {
        ASSERT_TRUE(v.AddFile(L"\\a", {{0, 10, 10}}));
        ASSERT_TRUE(v.AddFile(L"\\b", {{0, 40, 10}}));
        ASSERT_EQ(v.CheckAllocation(), "");
    };
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::FlipBit(v, 15);  // a cluster of a lost to the free space
        EXPECT_THAT(v.CheckAllocation(), ::testing::HasSubstr("bitmap"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::SetRuns(v, L"\\b", {{0, 15, 10}});  // b doubled onto a's clusters
        EXPECT_THAT(v.CheckAllocation(), ::testing::HasSubstr("two owners"));
    }
    {
        SimVolume v({100, 4096, 0, 0});
        fresh(v);
        SimVolumeTestAccess::OverwriteTag(v, 43, 9999);  // wrong data in b: only the full check reads it
        EXPECT_EQ(v.CheckAllocation(), "");
        EXPECT_THAT(v.Check(), ::testing::HasSubstr("content"));
    }
}

// ---- Bad input ----

TEST(SimVolumeBadInput, NullBuffersUnknownCodesAndRandomRequests) {
    SimVolume volume({4096, 4096, 0, 0});
    ASSERT_TRUE(volume.Append(L"\\f", 100));
    EXPECT_EQ(volume.Request({}, fs::kFsctlGetVolumeBitmap, nullptr, 8, nullptr, 0, {}).status,
              fs::kStatusInvalidParameter);
    std::int64_t zero = 0;
    EXPECT_EQ(volume.Request({}, fs::kFsctlGetVolumeBitmap, &zero, 8, nullptr, 1000, {}).status,
              fs::kStatusInvalidParameter);
    EXPECT_EQ(volume.Request({}, fs::kFsctlGetNtfsVolumeData, nullptr, 0, nullptr, 96, {}).status,
              fs::kStatusInvalidParameter);
    EXPECT_EQ(volume.Request({}, 0x00090000, nullptr, 0, nullptr, 0, {}).status,
              fs::kStatusInvalidDeviceRequest);

    // Random requests of every kind with random inputs, lengths and guard bytes around the output:
    // nothing is written past the output and the volume stays consistent.
    std::mt19937_64 random(7);
    const std::uint32_t codes[] = {fs::kFsctlGetNtfsVolumeData, fs::kFsctlGetVolumeBitmap,
                                   fs::kFsctlGetRetrievalPointers, fs::kFsctlMoveFile};
    for (int i = 0; i < 3000; ++i) {
        unsigned char in[40];
        for (auto& byte : in)
            byte = static_cast<unsigned char>(random());
        if (random() % 2) {  // mostly plausible numbers
            std::int64_t small = static_cast<std::int64_t>(random() % 5000) - 100;
            std::memcpy(in + 8 * (random() % 3), &small, 8);
            std::uint32_t count = static_cast<std::uint32_t>(random() % 300);
            std::memcpy(in + 24, &count, 4);
        }
        std::uint32_t inLength = static_cast<std::uint32_t>(random() % 41);
        std::uint32_t outLength = static_cast<std::uint32_t>(random() % 700);
        std::vector<unsigned char> out(outLength + 32, 0xAB);
        auto code = codes[random() % 4];
        std::wstring file = code == fs::kFsctlMoveFile || random() % 4 == 0 ? std::wstring() : L"\\f";
        auto answer = volume.Request(file, code, in, inLength, out.data() + 16, outLength, L"\\f");
        ASSERT_LE(answer.bytes, outLength);
        for (int g = 0; g < 16; ++g) {
            ASSERT_EQ(out[g], 0xAB);
            ASSERT_EQ(out[16 + outLength + g], 0xAB);
        }
    }
    EXPECT_EQ(volume.Check(), "");
    EXPECT_EQ(volume.Tags(L"\\f").size(), 100u);
}

// ---- Threads ----

TEST(SimVolumeThreads, WriterAndMoverKeepTheVolumeConsistent) {
    SimVolume volume({20000, 4096, 0, 999});
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 3000; ++i) {
            volume.Append(L"\\w" + std::to_wstring(i % 20), 1 + i % 7);
            if (i % 50 == 49)
                volume.DeleteFile(L"\\w" + std::to_wstring(i % 20));
        }
        done = true;
    });
    std::thread mover([&] {
        std::mt19937 random(3);
        int moves = 0;
        for (int round = 0; round < 100000 && (!done || moves < 200); ++round) {
            std::wstring name = L"\\w" + std::to_wstring(random() % 20);
            auto answer = Retrieval(volume, name, 0, 4096);
            if (answer.status != fs::kStatusSuccess)
                continue;
            auto pairs = Pairs(answer);
            std::int64_t end = pairs.back().first;
            // Find a free run of the file's size in a fresh bitmap and move the whole file there.
            auto bitmap = Bitmap(volume, 0, 16 + 20000 / 8);
            std::int64_t run = 0;
            for (std::int64_t lcn = 1000; lcn < 20000; ++lcn) {
                bool used = (bitmap.out[16 + lcn / 8] >> (lcn % 8)) & 1;
                run = used ? 0 : run + 1;
                if (run == end) {
                    Move(volume, name, 0, lcn - end + 1, static_cast<std::uint32_t>(end));
                    ++moves;
                    break;
                }
            }
        }
    });
    writer.join();
    mover.join();
    EXPECT_EQ(volume.Check(), "");
    std::int64_t clusters = 0;
    for (const auto& name : volume.Files())
        for (const auto& run : volume.Runs(name))
            clusters += run.length;
    EXPECT_EQ(volume.FreeClusters(), 20000 - clusters - volume.HeldClusters());
    volume.Checkpoint();
    EXPECT_EQ(volume.FreeClusters(), 20000 - clusters);
    EXPECT_EQ(volume.Check(), "");
}

}  // namespace
}  // namespace kestrel::sim
