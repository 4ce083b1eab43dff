// The word-at-a-time free-run searches against a plain bit-by-bit first fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "service/engine/FreeRunSearch.h"

namespace kestrel::engine {
namespace {

bool Used(const std::vector<std::uint8_t>& bytes, std::uint64_t bitCount, std::int64_t i) {
    return static_cast<std::uint64_t>(i) < bitCount && ((bytes[i >> 3] >> (i & 7)) & 1) != 0;
}

// First fit one cluster at a time.
std::int64_t ReferenceFindFreeRun(const std::vector<std::uint8_t>& bytes, std::uint64_t bitCount,
                                  std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                                  std::int64_t end) {
    std::int64_t pos = start < 0 ? 0 : start + 1;
    length = 0;
    if (pos >= end)
        return 0;
    for (;;) {
        while (pos < end && Used(bytes, bitCount, pos))
            ++pos;
        length = 0;
        if (pos >= end)
            return 0;
        while (pos < end && !Used(bytes, bitCount, pos)) {
            ++length;
            ++pos;
        }
        if (static_cast<std::uint64_t>(length) >= minimum)
            return pos - length;
        if (pos >= end) {
            length = 0;
            return 0;
        }
    }
}

std::int64_t ReferenceBiggest(const std::vector<std::uint8_t>& bytes, std::uint64_t bitCount,
                              std::int64_t& length, std::int64_t end) {
    std::int64_t best = 0;
    bool taken = false;
    for (std::int64_t start = 1;;) {
        std::int64_t run = 0;
        const std::int64_t lcn = ReferenceFindFreeRun(bytes, bitCount, start, 1, run, end);
        if (lcn == 0)
            break;
        if (run > length) {
            best = lcn;
            length = run;
            taken = true;
        }
        start = lcn + run;
    }
    if (!taken)
        length = 0;
    return taken ? best : 0;
}

VolumeBitmap View(const std::vector<std::uint8_t>& bytes, std::uint64_t bitCount) {
    return VolumeBitmap{bitCount, bytes.data()};
}

// Runs of used and free clusters with random lengths, some long, some a single cluster.
std::vector<std::uint8_t> RandomBitmap(std::mt19937_64& rng, std::uint64_t bitCount) {
    std::vector<std::uint8_t> bytes((bitCount + 7) / 8 + 3, 0);
    std::uniform_int_distribution<int> shape(0, 4);
    const int mode = shape(rng);
    std::uint64_t i = 0;
    bool used = (rng() & 1) != 0;
    while (i < bitCount) {
        std::uint64_t length = mode == 0   ? 1 + rng() % 3
                               : mode == 1 ? 1 + rng() % 40
                               : mode == 4 ? 1 + rng() % 2000
                                           : 1 + rng() % 300;
        if (mode == 3 && rng() % 4 == 0)
            length = 64 * (1 + rng() % 4);  // word-aligned edges
        for (std::uint64_t k = 0; k < length && i < bitCount; ++k, ++i)
            if (used)
                bytes[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        used = !used;
    }
    // Bits past the bit count are set on purpose: the searches must not look at them.
    for (std::uint64_t b = bitCount; b < bytes.size() * 8; ++b)
        bytes[b >> 3] |= static_cast<std::uint8_t>(1u << (b & 7));
    return bytes;
}

TEST(FreeRunSearch, MatchesBitByBitSearchesAndWalksOnRandomBitmaps) {
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        std::mt19937_64 rng(seed);
        const std::uint64_t bitCount = 1 + rng() % (seed % 5 == 0 ? 40000 : 3000);
        const std::vector<std::uint8_t> bytes = RandomBitmap(rng, bitCount);
        const VolumeBitmap view = View(bytes, bitCount);
        for (int q = 0; q < 60; ++q) {
            const auto span = static_cast<std::int64_t>(bitCount);
            const std::int64_t start =
                static_cast<std::int64_t>(rng() % (bitCount + 70)) - 2;  // -2 .. past the end
            // The end lies before, at or beyond the bit count (clusters past it count as free).
            const std::int64_t end = q % 5 == 0 ? span : static_cast<std::int64_t>(rng() % (bitCount + 200));
            const std::uint64_t minimum = q % 7 == 0    ? 0
                                          : q % 11 == 0 ? ~std::uint64_t{0}
                                          : q % 3 == 0  ? 120 + rng() % 3000
                                                        : rng() % 400;
            std::int64_t expectedLength = -7;
            std::int64_t actualLength = -9;
            const std::int64_t expected =
                ReferenceFindFreeRun(bytes, bitCount, start, minimum, expectedLength, end);
            const std::int64_t actual = FindFreeRun(view, start, minimum, actualLength, end);
            ASSERT_EQ(actual, expected)
                << "seed " << seed << " start " << start << " min " << minimum << " end " << end;
            ASSERT_EQ(actualLength, expectedLength)
                << "seed " << seed << " start " << start << " end " << end;
        }
        // Every run of a random stretch, with its cut ends, as a bit-by-bit walk sees it.
        for (int q = 0; q < 20; ++q) {
            const std::uint64_t from = rng() % (bitCount + 1);
            const std::uint64_t limit = from + rng() % (bitCount - from + 1);
            std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;
            for (std::uint64_t i = from; i < limit; ++i) {
                if (Used(bytes, bitCount, static_cast<std::int64_t>(i)))
                    continue;
                if (expected.empty() || expected.back().first + expected.back().second != i)
                    expected.emplace_back(i, 0);
                ++expected.back().second;
            }
            std::vector<std::pair<std::uint64_t, std::uint64_t>> actual;
            ForEachFreeRun(bytes.data(), from, limit, [&](std::uint64_t first, std::uint64_t length) {
                actual.emplace_back(first, length);
            });
            ASSERT_EQ(actual, expected) << "seed " << seed << " from " << from << " limit " << limit;
        }
        for (std::int64_t end : {static_cast<std::int64_t>(bitCount), static_cast<std::int64_t>(bitCount / 2),
                                 static_cast<std::int64_t>(bitCount + 100)}) {
            std::int64_t expectedLength = 0;
            std::int64_t actualLength = 0;
            const std::int64_t expected = ReferenceBiggest(bytes, bitCount, expectedLength, end);
            ASSERT_EQ(FindBiggestFreeSpace(view, actualLength, end), expected) << "seed " << seed;
            ASSERT_EQ(actualLength, expectedLength) << "seed " << seed;
        }
    }
}

// Sets (used) or clears the clusters from..to-1.
void Mark(std::vector<std::uint8_t>& bytes, std::uint64_t from, std::uint64_t to, bool used) {
    for (std::uint64_t i = from; i < to; ++i) {
        const auto bit = static_cast<std::uint8_t>(1u << (i & 7));
        bytes[i >> 3] = static_cast<std::uint8_t>(used ? bytes[i >> 3] | bit : bytes[i >> 3] & ~bit);
    }
}

// The index answers every search as the bit-by-bit first fit does, on the bits of its last Sync, while
// the bitmap changes between syncs the way moves change it (runs taken and freed, whole blocks emptied
// or filled, the last partial word and block touched).
TEST(FreeRunIndex, MatchesBitByBitSearchesAcrossChangingBitmaps) {
    constexpr std::uint64_t kBlock = FreeRunIndex::kBlockClusters;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        std::mt19937_64 rng(seed * 7919);
        const std::uint64_t bitCount = seed % 4 == 0 ? 5 * kBlock : 1 + rng() % (6 * kBlock);
        std::vector<std::uint8_t> bytes = RandomBitmap(rng, bitCount);
        FreeRunIndex index;
        for (int round = 0; round < 8; ++round) {
            if (round > 0) {
                const int changes = 1 + static_cast<int>(rng() % 6);
                for (int c = 0; c < changes; ++c) {
                    const std::uint64_t from = rng() % bitCount;
                    const std::uint64_t span = c % 3 == 0 ? 1 + rng() % (2 * kBlock) : 1 + rng() % 100;
                    Mark(bytes, from, std::min(bitCount, from + span), (rng() & 1) != 0);
                }
            }
            index.Sync(View(bytes, bitCount));
            const std::vector<std::uint8_t> synced = bytes;
            // What the index answers is the bits of the sync, whatever happens to the bitmap after it.
            Mark(bytes, 0, std::min<std::uint64_t>(bitCount, 100), true);
            for (int q = 0; q < 80; ++q) {
                const std::int64_t start = static_cast<std::int64_t>(rng() % (bitCount + 10)) - 2;
                const std::int64_t end = q % 4 == 0 ? static_cast<std::int64_t>(bitCount)
                                                    : static_cast<std::int64_t>(rng() % (bitCount + 100));
                const std::uint64_t minimum = q % 7 == 0   ? 0
                                              : q % 5 == 0 ? kBlock + rng() % (3 * kBlock)
                                              : q % 3 == 0 ? 64 + rng() % 3000
                                                           : rng() % 200;
                std::int64_t expectedLength = -7;
                std::int64_t actualLength = -9;
                const std::int64_t expected =
                    ReferenceFindFreeRun(synced, bitCount, start, minimum, expectedLength, end);
                ASSERT_EQ(index.FindFreeRun(start, minimum, actualLength, end), expected)
                    << "seed " << seed << " round " << round << " start " << start << " min " << minimum
                    << " end " << end;
                ASSERT_EQ(actualLength, expectedLength) << "seed " << seed << " start " << start;
            }
            for (std::int64_t end :
                 {static_cast<std::int64_t>(bitCount), static_cast<std::int64_t>(bitCount / 3),
                  static_cast<std::int64_t>(bitCount + 50), std::int64_t{0}}) {
                for (std::int64_t given : {std::int64_t{0}, std::int64_t{40}}) {
                    std::int64_t expectedLength = given;
                    std::int64_t actualLength = given;
                    const std::int64_t expected = ReferenceBiggest(synced, bitCount, expectedLength, end);
                    ASSERT_EQ(index.FindBiggestFreeSpace(actualLength, end), expected)
                        << "seed " << seed << " round " << round << " end " << end;
                    ASSERT_EQ(actualLength, expectedLength) << "seed " << seed << " end " << end;
                }
            }
            bytes = synced;
        }
    }
}

TEST(FreeRunIndex, SummarisesOnlyTheBlocksThatChanged) {
    constexpr std::uint64_t kBlock = FreeRunIndex::kBlockClusters;
    const std::uint64_t bitCount = 8 * kBlock + 100;
    std::vector<std::uint8_t> bytes((bitCount + 7) / 8 + 8, 0xFF);
    FreeRunIndex index;
    index.Sync(View(bytes, bitCount));
    EXPECT_EQ(index.ChangedBlocks(), 9u);
    index.Sync(View(bytes, bitCount));
    EXPECT_EQ(index.ChangedBlocks(), 0u);
    // A run freed across the edge of blocks 2 and 3, and one in the last, partial block.
    Mark(bytes, 3 * kBlock - 10, 3 * kBlock + 10, false);
    Mark(bytes, 8 * kBlock + 50, 8 * kBlock + 60, false);
    // Bits past the bit count mean nothing and change nothing.
    Mark(bytes, bitCount, bitCount + 20, false);
    index.Sync(View(bytes, bitCount));
    EXPECT_EQ(index.ChangedBlocks(), 3u);
    std::int64_t length = 0;
    EXPECT_EQ(index.FindFreeRun(0, 20, length, static_cast<std::int64_t>(bitCount)),
              static_cast<std::int64_t>(3 * kBlock - 10));
    EXPECT_EQ(length, 20);
    length = 0;
    EXPECT_EQ(index.FindBiggestFreeSpace(length, static_cast<std::int64_t>(bitCount)),
              static_cast<std::int64_t>(3 * kBlock - 10));
    EXPECT_EQ(length, 20);
    // Another bit count is another volume: everything is summarised afresh.
    index.Sync(View(bytes, bitCount - 1));
    EXPECT_EQ(index.ChangedBlocks(), 9u);
}

// Clusters 0 to 2 and 6 to 7 in use on a 16-cluster volume.
TEST(FreeRunSearch, SmallVolumeExamples) {
    const std::vector<std::uint8_t> bytes = {0xC7, 0x00};
    const VolumeBitmap view = View(bytes, 16);
    std::int64_t length = 0;
    EXPECT_EQ(FindFreeRun(view, 0, 4, length, 16), 8);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(FindFreeRun(view, 0, 3, length, 16), 3);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(FindFreeRun(view, 0, 2, length, 5), 3);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(FindFreeRun(view, 0, 9, length, 16), 0);  // longer than any free run
    EXPECT_EQ(length, 0);
    EXPECT_EQ(FindFreeRun(view, 3, 0, length, 16), 4);  // search begins one after the start
    EXPECT_EQ(length, 2);
    length = 0;
    EXPECT_EQ(FindBiggestFreeSpace(view, length, 16), 8);
    EXPECT_EQ(length, 8);
    length = 8;  // the caller's length is the one to beat
    EXPECT_EQ(FindBiggestFreeSpace(view, length, 16), 0);
    EXPECT_EQ(length, 0);
}

TEST(FreeRunSearch, EqualLongestRunsGiveTheLowerOne) {
    // Free runs of 5 at 3 and at 20, everything else used, 32 clusters.
    std::vector<std::uint8_t> bytes(4, 0xFF);
    for (int i : {3, 4, 5, 6, 7, 20, 21, 22, 23, 24})
        bytes[i >> 3] &= static_cast<std::uint8_t>(~(1u << (i & 7)));
    std::int64_t length = 0;
    EXPECT_EQ(FindBiggestFreeSpace(View(bytes, 32), length, 32), 3);
    EXPECT_EQ(length, 5);
}

TEST(FreeRunSearch, ClustersPastTheBitCountAreFreeUpToTheEnd) {
    const std::vector<std::uint8_t> bytes(2, 0xFF);  // 16 clusters, all used
    std::int64_t length = 0;
    EXPECT_EQ(FindFreeRun(View(bytes, 16), 0, 10, length, 40), 16);
    EXPECT_EQ(length, 24);
    EXPECT_EQ(FindFreeRun(View(bytes, 16), 0, 1, length, 16), 0);
    EXPECT_EQ(length, 0);
}

}  // namespace
}  // namespace kestrel::engine
