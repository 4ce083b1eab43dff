// The volume's allocation bitmap as the free-space searches see it, and the searches themselves.
//
// Bit i (bit i mod 8 of byte i / 8, least significant first) is set when cluster i is in use. Clusters
// at or beyond the bit count count as free. The searches read the bits 64 at a time.
#pragma once

#include <cstdint>

namespace kestrel::engine {

// A read-only view of bits; it does not own them.
struct VolumeBitmap {
    std::uint64_t bitCount = 0;
    const std::uint8_t* bits = nullptr;

    // True when the cluster is marked in use. Clusters outside the view (negative or at/after the bit
    // count) are free.
    bool IsUsed(std::int64_t lcn) const {
        if (lcn < 0 || static_cast<std::uint64_t>(lcn) >= bitCount)
            return false;
        const auto i = static_cast<std::uint64_t>(lcn);
        return ((bits[i >> 3] >> (i & 7)) & 1) != 0;
    }
};

// First-fit search for a free run of at least `minimum` clusters (compared unsigned) that begins after
// `start`: the first cluster examined is start + 1 (LCN 0 only when start is -1). Runs are counted up to
// `end` (exclusive) at most; nothing at or beyond `end` is returned. Returns the run's first LCN and its
// length through `length`; 0 and length 0 when there is none.
std::int64_t FindFreeRun(const VolumeBitmap& bitmap, std::int64_t start, std::uint64_t minimum,
                         std::int64_t& length, std::int64_t end);

// The longest free run that begins after LCN 1 and before `end`, of those longer than the given
// `length`; the lowest LCN wins among equals. Returns its LCN and sets `length`; 0 and length 0 when no
// run beats the given length.
std::int64_t FindBiggestFreeSpace(const VolumeBitmap& bitmap, std::int64_t& length, std::int64_t end);

}  // namespace kestrel::engine
