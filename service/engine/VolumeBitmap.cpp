#include "service/engine/VolumeBitmap.h"

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
