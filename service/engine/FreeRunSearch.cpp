// The first-fit and longest-run searches over a view of the volume bitmap.
#include "service/engine/FreeRunSearch.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace kestrel::engine {
namespace {

static_assert(std::endian::native == std::endian::little, "bitmap words are read little-endian");

// The 64-bit word `index` of the bitmap; bytes past `byteCount` read as 0.
inline std::uint64_t LoadWord(const std::uint8_t* bits, std::uint64_t index, std::uint64_t byteCount) {
    std::uint64_t word = 0;
    const std::uint64_t offset = index * 8;
    if (offset + 8 <= byteCount) {
        std::memcpy(&word, bits + offset, 8);
    } else if (offset < byteCount) {
        std::memcpy(&word, bits + offset, static_cast<std::size_t>(byteCount - offset));
    }
    return word;
}

// The first bit at or after `from` and below `limit` that is set (Set = true) or clear (Set = false);
// `limit` when there is none. `limit` must not exceed the bit count of `bits`.
template <bool Set>
std::uint64_t Scan(const std::uint8_t* bits, std::uint64_t from, std::uint64_t limit) {
    if (from >= limit)
        return limit;
    const std::uint64_t byteCount = (limit + 7) / 8;
    const std::uint64_t lastWord = (limit - 1) >> 6;
    const std::uint64_t fullWords = byteCount / 8;  // words that lie wholly inside the bytes
    std::uint64_t w = from >> 6;
    std::uint64_t word = LoadWord(bits, w, byteCount);
    if constexpr (!Set)
        word = ~word;
    word &= ~std::uint64_t{0} << (from & 63);
    for (;;) {
        if (word != 0)
            return std::min(limit, (w << 6) + static_cast<std::uint64_t>(std::countr_zero(word)));
        if (++w > lastWord)
            return limit;
        if (w < fullWords) {
            std::memcpy(&word, bits + w * 8, 8);
        } else {
            word = LoadWord(bits, w, byteCount);
        }
        if constexpr (!Set)
            word = ~word;
    }
}

// The 64 clusters from `pos` on as one word, cluster pos in bit 0. Reads words pos / 64 and the one after
// it, which must both lie wholly inside the bits.
inline std::uint64_t WindowAt(const std::uint8_t* bits, std::uint64_t pos) {
    const std::uint64_t w = pos >> 6;
    const auto shift = static_cast<unsigned>(pos & 63);
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, bits + w * 8, 8);
    std::memcpy(&high, bits + w * 8 + 8, 8);
    // (high << 1) << (63 - shift) is high << (64 - shift), and 0 for a shift of 0.
    return (low >> shift) | ((high << 1) << (63 - shift));
}

// The first set bit among bits 0 to 62 of `low` (offsets 0 to 62) and bits 0 to 62 of `high` (offsets 63
// to 125); 126 when none is. Bit 63 of each word is a stop that keeps the count defined without a test
// for 0, so that the offset is chosen by arithmetic rather than by a branch, which a walk over runs of
// random length would mispredict.
inline std::uint64_t Offset126(std::uint64_t low, std::uint64_t high) {
    constexpr std::uint64_t kStop = std::uint64_t{1} << 63;
    const auto lowFirst = static_cast<std::uint64_t>(std::countr_zero(low | kStop));  // 63: none in low
    const auto highFirst = static_cast<std::uint64_t>(std::countr_zero(high | kStop));
    return lowFirst + (highFirst & (std::uint64_t{0} - ((lowFirst + 1) >> 6)));
}

// A run of at least 128 clusters always holds a whole aligned word of free clusters, and a run without
// one is at most 126 long. So for such requests only the runs around free words are measured, in order
// of their first free word, which is the order of their starts: the first fit stays the same. Returns
// true with the answer when the search is decided; false with `pos` moved to where a cluster-by-run
// search can go on (nothing before it can qualify).
bool FindLongRun(const std::uint8_t* bits, std::uint64_t& pos, std::uint64_t known, std::uint64_t stop,
                 std::uint64_t minimum, std::uint64_t& found, std::uint64_t& runLength) {
    const std::uint64_t fullWords = known / 64;  // words wholly inside the known bits
    std::uint64_t w = (pos + 63) / 64;
    while (w < fullWords) {
        std::uint64_t word;
        std::memcpy(&word, bits + w * 8, 8);
        if (word != 0) {
            ++w;
            continue;
        }
        // The run around free word w: back to the last used cluster before it (not before pos) ...
        std::uint64_t first = w * 64;
        if (first > pos) {
            std::uint64_t before;
            std::memcpy(&before, bits + (w - 1) * 8, 8);
            if ((w - 1) * 64 < pos)
                before &= ~std::uint64_t{0} << (pos & 63);  // only from pos on
            first =
                before != 0 ? (w - 1) * 64 + 64 - static_cast<std::uint64_t>(std::countl_zero(before)) : pos;
        }
        // ... and forward to the next used cluster, or to the end.
        const std::uint64_t next = Scan<true>(bits, w * 64 + 64, known);
        const std::uint64_t last = next == known ? stop : next;
        if (last - first >= minimum) {
            found = first;
            runLength = last - first;
            return true;
        }
        pos = last;
        if (pos >= stop)
            return true;  // found stays 0
        w = (pos + 63) / 64;
    }
    // No free word is left in the known bits: only a run that starts in the last whole word or later can
    // still qualify (by reaching into the free clusters past the known bits).
    if (fullWords > 0)
        pos = std::max(pos, fullWords * 64 - 64);
    return false;
}

}  // namespace

std::int64_t FindFreeRun(const VolumeBitmap& bitmap, std::int64_t start, std::uint64_t minimum,
                         std::int64_t& length, std::int64_t end) {
    length = 0;
    // Searching begins one cluster after the start; nothing before LCN 0 exists.
    const std::int64_t first = start < 0 ? 0 : start + 1;
    if (end <= 0 || first >= end)
        return 0;
    const auto stop = static_cast<std::uint64_t>(end);
    // Bits that can be read; clusters from here to the end are free.
    const std::uint64_t known = std::min(stop, bitmap.bits != nullptr ? bitmap.bitCount : 0);
    std::uint64_t pos = static_cast<std::uint64_t>(first);
    if (minimum >= 128 && pos < known) {
        std::uint64_t found = 0;
        std::uint64_t runLength = 0;
        if (FindLongRun(bitmap.bits, pos, known, stop, minimum, found, runLength)) {
            if (found == 0 && runLength == 0)
                return 0;
            length = static_cast<std::int64_t>(runLength);
            return static_cast<std::int64_t>(found);
        }
    }
    // Most runs of a used volume begin and end within 126 clusters of where the search stands. There two
    // windows of 63 clusters from the position on give both ends of the run independently of each other:
    // the first free cluster, and the first used cluster that follows a free one (nothing before the
    // first free cluster is free). Only a longer stretch goes on word by word. The windows are read
    // while all three words they draw on lie inside the known bits.
    const std::uint64_t wholeWords = known / 64;
    const std::uint64_t windowEnd = wholeWords >= 3 ? (wholeWords - 2) * 64 : 0;
    for (;;) {
        std::uint64_t runEnd = 0;  // 0 until known
        if (pos < windowEnd) {
            const std::uint64_t near = WindowAt(bitmap.bits, pos);      // offsets 0 to 62
            const std::uint64_t far = WindowAt(bitmap.bits, pos + 63);  // offsets 63 to 125
            const std::uint64_t freeStart = Offset126(~near, ~far);
            // Used clusters whose predecessor is free; offset 63's predecessor is offset 62 of `near`.
            const std::uint64_t usedAfterFree =
                Offset126(near & (~near << 1), far & ((~far << 1) | ((~near >> 62) & 1)));
            if (freeStart < 126) {
                if (usedAfterFree < 126)
                    runEnd = pos + usedAfterFree;
                pos += freeStart;
            } else {
                pos = Scan<false>(bitmap.bits, pos + 126, known);
            }
        } else if (pos < known) {
            pos = Scan<false>(bitmap.bits, pos, known);
        }
        if (pos >= stop)
            return 0;
        // Count the free run, up to the end at most.
        if (runEnd == 0)
            runEnd = pos < known ? Scan<true>(bitmap.bits, pos, known) : stop;
        const std::uint64_t runLength = (runEnd == known ? stop : runEnd) - pos;
        if (runLength >= minimum) {
            length = static_cast<std::int64_t>(runLength);
            return static_cast<std::int64_t>(pos);
        }
        pos += runLength;
        if (pos >= stop)
            return 0;
    }
}

std::int64_t FindBiggestFreeSpace(const VolumeBitmap& bitmap, std::int64_t& length, std::int64_t end) {
    std::int64_t best = 0;
    bool taken = false;
    // Every run from LCN 2 on in the order of its start; only a longer one replaces the best, so of
    // equals the first stays.
    auto offer = [&](std::uint64_t first, std::uint64_t runLength) {
        if (static_cast<std::int64_t>(runLength) > length) {
            best = static_cast<std::int64_t>(first);
            length = static_cast<std::int64_t>(runLength);
            taken = true;
        }
    };
    constexpr std::uint64_t kFirst = 2;
    const std::uint64_t stop = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    const std::uint64_t known = std::min(stop, bitmap.bits != nullptr ? bitmap.bitCount : 0);
    // Past the bits everything up to the end is free: that stretch is one run with the run that reaches
    // the last known cluster, if one does.
    std::uint64_t tail = std::max(known, kFirst);
    ForEachFreeRun(bitmap.bits, kFirst, known, [&](std::uint64_t first, std::uint64_t runLength) {
        if (first + runLength == known)
            tail = first;
        else
            offer(first, runLength);
    });
    if (tail < stop)
        offer(tail, stop - tail);
    if (!taken) {
        length = 0;
        return 0;
    }
    return best;
}

namespace {

#ifdef NDEBUG
constexpr bool kCheckByDefault = false;
#else
constexpr bool kCheckByDefault = true;
#endif
std::atomic<bool> g_checkIndex{kCheckByDefault};

constexpr std::uint64_t kWordsPerBlock = FreeRunIndex::kBlockClusters / 64;

}  // namespace

void SetFreeRunIndexCheck(bool on) {
    g_checkIndex.store(on, std::memory_order_relaxed);
}

bool FreeRunIndexCheck() {
    return g_checkIndex.load(std::memory_order_relaxed);
}

void FreeRunIndex::Sync(const VolumeBitmap& bitmap) {
    const std::uint64_t bitCount = bitmap.bits != nullptr ? bitmap.bitCount : 0;
    const std::uint64_t wordCount = (bitCount + 63) / 64;
    const std::uint64_t blockCount = (bitCount + kBlockClusters - 1) / kBlockClusters;
    const bool rebuild = bitCount != bitCount_;
    if (rebuild) {
        words_.assign(wordCount, 0);
        blocks_.assign(blockCount, Block{});
        bitCount_ = bitCount;
    }
    changed_ = 0;
    const std::uint64_t wholeWords = bitCount / 64;
    const std::uint64_t byteCount = (bitCount + 7) / 8;
    for (std::uint64_t b = 0; b < blockCount; ++b) {
        const std::uint64_t first = b * kWordsPerBlock;
        const std::uint64_t last = std::min(first + kWordsPerBlock, wordCount);
        const std::uint64_t whole = std::min(last, wholeWords);  // words wholly inside the bits
        const auto bytes = static_cast<std::size_t>((whole - first) * 8);
        bool differs = rebuild || std::memcmp(words_.data() + first, bitmap.bits + first * 8, bytes) != 0;
        std::uint64_t partial = 0;  // a last word the bit count ends in, without the bits past it
        if (whole < last) {
            partial = LoadWord(bitmap.bits, whole, byteCount) & ((std::uint64_t{1} << (bitCount & 63)) - 1);
            differs = differs || partial != words_[whole];
        }
        if (!differs)
            continue;
        std::memcpy(words_.data() + first, bitmap.bits + first * 8, bytes);
        if (whole < last)
            words_[whole] = partial;
        Summarise(b);
        ++changed_;
    }
}

void FreeRunIndex::Summarise(std::uint64_t block) {
    const std::uint64_t lo = block * kBlockClusters;
    const std::uint64_t hi = std::min(lo + kBlockClusters, bitCount_);
    Block s;
    ForEachFreeRun(Bits(), lo, hi, [&](std::uint64_t first, std::uint64_t length) {
        if (first == lo)
            s.head = static_cast<std::uint16_t>(length);  // also the whole block when it is all free
        if (first + length == hi)
            s.tail = static_cast<std::uint16_t>(length);
        if (first != lo && first + length != hi && length > s.inner) {
            s.inner = static_cast<std::uint16_t>(length);
            s.innerStart = static_cast<std::uint16_t>(first - lo);
        }
    });
    blocks_[block] = s;
}

std::int64_t FreeRunIndex::FindFreeRun(std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                                       std::int64_t end) const {
    length = 0;
    const std::int64_t firstLcn = start < 0 ? 0 : start + 1;
    if (end <= 0 || firstLcn >= end)
        return 0;
    if (static_cast<std::uint64_t>(end) > bitCount_) {
        // Past the bits everything is free: the plain search knows how to count that.
        return engine::FindFreeRun(VolumeBitmap{bitCount_, Bits()}, start, minimum, length, end);
    }
    const std::uint8_t* bits = Bits();
    const auto stop = static_cast<std::uint64_t>(end);
    const std::uint64_t need = std::max<std::uint64_t>(minimum, 1);  // a minimum of 0 takes any run
    // The run that reaches the position from before it (carried over block ends): its start and length.
    std::uint64_t runStart = 0;
    std::uint64_t carried = 0;
    std::uint64_t pos = static_cast<std::uint64_t>(firstLcn);
    while (pos < stop) {
        const std::uint64_t lo = pos / kBlockClusters * kBlockClusters;
        const std::uint64_t blockEnd = std::min(lo + kBlockClusters, bitCount_);
        const std::uint64_t hi = std::min(blockEnd, stop);
        if (pos == lo && hi == blockEnd) {
            // A whole block: its summary answers.
            const Block& s = blocks_[lo / kBlockClusters];
            if (s.head == hi - lo) {
                if (carried == 0)
                    runStart = lo;
                carried += hi - lo;
                pos = hi;
                continue;
            }
            const std::uint64_t first = carried != 0 ? runStart : lo;
            if (carried + s.head >= need) {
                length = static_cast<std::int64_t>(lo + s.head - first);
                return static_cast<std::int64_t>(first);
            }
            if (s.inner >= need) {
                // The first run inside the block that is long enough; the longest is one.
                for (std::uint64_t at = lo + s.head;;) {
                    const std::uint64_t free = Scan<false>(bits, at, hi);
                    const std::uint64_t used = Scan<true>(bits, free, hi);
                    if (used - free >= need) {
                        length = static_cast<std::int64_t>(used - free);
                        return static_cast<std::int64_t>(free);
                    }
                    at = used;
                }
            }
            carried = s.tail;
            runStart = hi - s.tail;
            pos = hi;
            continue;
        }
        // Part of a block (where the search begins or ends): run by run.
        while (pos < hi) {
            const std::uint64_t free = Scan<false>(bits, pos, hi);
            if (free != pos && carried != 0) {
                // The run carried over ended at the position.
                if (carried >= need) {
                    length = static_cast<std::int64_t>(carried);
                    return static_cast<std::int64_t>(runStart);
                }
                carried = 0;
            }
            if (free == hi)
                break;
            const std::uint64_t used = Scan<true>(bits, free, hi);
            const std::uint64_t first = carried != 0 ? runStart : free;
            if (used == hi && hi < stop) {
                runStart = first;
                carried = used - first;
                break;
            }
            if (used - first >= need) {
                length = static_cast<std::int64_t>(used - first);
                return static_cast<std::int64_t>(first);
            }
            carried = 0;
            pos = used;
        }
        pos = hi;
    }
    if (carried >= need) {
        length = static_cast<std::int64_t>(carried);
        return static_cast<std::int64_t>(runStart);
    }
    return 0;
}

std::int64_t FreeRunIndex::FindBiggestFreeSpace(std::int64_t& length, std::int64_t end) const {
    if (end > 0 && static_cast<std::uint64_t>(end) > bitCount_)
        return engine::FindBiggestFreeSpace(VolumeBitmap{bitCount_, Bits()}, length, end);
    const std::uint8_t* bits = Bits();
    std::int64_t best = 0;
    bool taken = false;
    // Every run from LCN 2 on is looked at in the order of its start; only a longer one replaces the
    // best, so of equals the first stays.
    auto offer = [&](std::uint64_t first, std::uint64_t runLength) {
        if (static_cast<std::int64_t>(runLength) > length) {
            best = static_cast<std::int64_t>(first);
            length = static_cast<std::int64_t>(runLength);
            taken = true;
        }
    };
    const std::uint64_t stop = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    std::uint64_t runStart = 0;
    std::uint64_t carried = 0;
    std::uint64_t pos = 2;
    while (pos < stop) {
        const std::uint64_t lo = pos / kBlockClusters * kBlockClusters;
        const std::uint64_t blockEnd = std::min(lo + kBlockClusters, bitCount_);
        const std::uint64_t hi = std::min(blockEnd, stop);
        if (pos == lo && hi == blockEnd) {
            const Block& s = blocks_[lo / kBlockClusters];
            if (s.head == hi - lo) {
                if (carried == 0)
                    runStart = lo;
                carried += hi - lo;
                pos = hi;
                continue;
            }
            if (carried + s.head != 0)
                offer(carried != 0 ? runStart : lo, carried + s.head);
            if (s.inner != 0)
                offer(lo + s.innerStart, s.inner);
            carried = s.tail;
            runStart = hi - s.tail;
            pos = hi;
            continue;
        }
        while (pos < hi) {
            const std::uint64_t free = Scan<false>(bits, pos, hi);
            if (free != pos && carried != 0) {
                offer(runStart, carried);
                carried = 0;
            }
            if (free == hi)
                break;
            const std::uint64_t used = Scan<true>(bits, free, hi);
            const std::uint64_t first = carried != 0 ? runStart : free;
            carried = 0;
            if (used == hi && hi < stop) {
                runStart = first;
                carried = used - first;
                break;
            }
            offer(first, used - first);
            pos = used;
        }
        pos = hi;
    }
    if (carried != 0)
        offer(runStart, carried);
    if (!taken) {
        length = 0;
        return 0;
    }
    return best;
}

}  // namespace kestrel::engine
