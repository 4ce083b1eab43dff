// The first-fit and longest-run searches over a view of the volume bitmap.
#include "service/engine/FreeRunSearch.h"

#include <algorithm>
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
    for (;;) {
        // Skip clusters in use.
        if (pos < known)
            pos = Scan<false>(bitmap.bits, pos, known);
        if (pos >= stop)
            return 0;
        // Count the free run, up to the end at most.
        const std::uint64_t runEnd = pos < known ? Scan<true>(bitmap.bits, pos, known) : stop;
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
    std::int64_t start = 1;
    for (;;) {
        std::int64_t runLength = 0;
        const std::int64_t lcn = FindFreeRun(bitmap, start, 1, runLength, end);
        if (lcn == 0)
            break;
        if (runLength > length) {
            best = lcn;
            length = runLength;
            taken = true;
        }
        start = lcn + runLength;
    }
    if (!taken) {
        length = 0;
        return 0;
    }
    return best;
}

}  // namespace kestrel::engine
