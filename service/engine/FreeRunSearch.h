// The volume's allocation bitmap as the free-space searches see it, and the searches themselves.
//
// Bit i (bit i mod 8 of byte i / 8, least significant first) is set when cluster i is in use. Clusters
// at or beyond the bit count count as free. The searches read the bits 64 at a time.
#pragma once

#include <cstdint>
#include <vector>

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

// A summary of a bitmap in blocks of 4,096 clusters that answers the first-fit and the longest-run
// search exactly as FindFreeRun and FindBiggestFreeSpace answer them on the same bits, without walking
// every free run again: a block wholly in use or wholly free is passed at once, and of the runs that lie
// inside a block only the longest (the first of equals) is kept. Sync brings it in step with a bitmap by
// comparing the bits with those it summarised last: a bitmap read again after a move costs one
// comparison of the bits and a new summary of the few blocks that changed. It keeps its own copy of the
// bits, so the searches answer for the bits as they were at the last Sync.
class FreeRunIndex {
  public:
    static constexpr std::uint64_t kBlockClusters = 4096;

    // Summarises the bitmap's bits; only the blocks that differ from the last Sync are looked at again
    // (all of them when the bit count changed).
    void Sync(const VolumeBitmap& bitmap);
    // As engine::FindFreeRun on the synced bits with that `end`. Clusters at or beyond the bit count
    // count as free there, as they do for the plain search.
    std::int64_t FindFreeRun(std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                             std::int64_t end) const;
    // As engine::FindBiggestFreeSpace on the synced bits with that `end`.
    std::int64_t FindBiggestFreeSpace(std::int64_t& length, std::int64_t end) const;
    // Blocks the last Sync summarised again.
    std::uint64_t ChangedBlocks() const { return changed_; }

  private:
    // Free clusters from the block's start (the whole block when it is all free) and up to its end, and
    // the longest run that touches neither end with its start in the block.
    struct Block {
        std::uint16_t head = 0;
        std::uint16_t tail = 0;
        std::uint16_t inner = 0;
        std::uint16_t innerStart = 0;
    };
    void Summarise(std::uint64_t block);
    const std::uint8_t* Bits() const { return reinterpret_cast<const std::uint8_t*>(words_.data()); }

    std::vector<std::uint64_t> words_;  // the bits as at the last Sync; bits past the count are 0
    std::vector<Block> blocks_;
    std::uint64_t bitCount_ = 0;
    std::uint64_t changed_ = 0;
};

// When on, every search the engine answers from its index is made the plain way too, on the same bits,
// and a difference ends the process with a message naming both answers. On by default in builds without
// NDEBUG; tests turn it on everywhere.
void SetFreeRunIndexCheck(bool on);
bool FreeRunIndexCheck();

}  // namespace kestrel::engine
