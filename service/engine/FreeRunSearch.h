// The volume's allocation bitmap as the free-space searches see it, and the searches themselves.
//
// Bit i (bit i mod 8 of byte i / 8, least significant first) is set when cluster i is in use. Clusters
// at or beyond the bit count count as free. The searches read the bits 64 at a time.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
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

// Calls visit(first, length) for every free run of the bits within [from, limit), in order of their
// starts; a run cut by `from` or `limit` is reported from or up to there. `limit` must not exceed the bit
// count. The bits are read a word at a time: the run boundaries of a word are the bits where it differs
// from itself shifted by one, and they are written out without a branch per boundary, so that the cost
// follows the number of words more than the number of runs.
template <class Visit>
void ForEachFreeRun(const std::uint8_t* bits, std::uint64_t from, std::uint64_t limit, Visit&& visit) {
    if (from >= limit)
        return;
    constexpr std::uint64_t kChunkWords = 32;
    // Boundaries of one chunk of words, plus room for the unconditional writes past the last one.
    std::uint64_t at[kChunkWords * 64 + 16];
    const std::uint64_t firstWord = from >> 6;
    const std::uint64_t lastWord = (limit - 1) >> 6;
    const std::uint64_t limitBytes = (limit + 7) / 8;
    const std::uint64_t wholeWords = limitBytes / 8;  // words that lie wholly inside the bytes
    std::uint64_t carry = 0;  // 1 when the cluster before the word is free; before `from` counts as used
    bool open = false;        // a run began in an earlier chunk and has not ended yet
    std::uint64_t openStart = 0;
    for (std::uint64_t w = firstWord; w <= lastWord;) {
        const std::uint64_t chunkEnd = std::min(lastWord + 1, w + kChunkWords);
        std::size_t n = 0;
        for (; w < chunkEnd; ++w) {
            std::uint64_t used = 0;
            if (w < wholeWords)
                std::memcpy(&used, bits + w * 8, 8);
            else
                std::memcpy(&used, bits + w * 8, static_cast<std::size_t>(limitBytes - w * 8));
            std::uint64_t free = ~used;
            if (w == firstWord)
                free &= ~std::uint64_t{0} << (from & 63);
            if (w == lastWord && (limit & 63) != 0)
                free &= (std::uint64_t{1} << (limit & 63)) - 1;
            std::uint64_t edges = free ^ ((free << 1) | carry);
            carry = free >> 63;
            const std::uint64_t base = w << 6;
            // The first four boundaries are written whatever their number, which a used volume's words
            // seldom exceed, and counted by whether there was one; a write past the last is overwritten
            // or ignored. The top bit keeps the count of trailing zeros defined for a word without
            // boundaries and changes no other count.
            constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
            for (int i = 0; i < 4; ++i) {
                at[n] = base + static_cast<std::uint64_t>(std::countr_zero(edges | kTop));
                n += edges != 0 ? 1 : 0;
                edges &= edges - 1;
            }
            while (edges != 0) {
                at[n++] = base + static_cast<std::uint64_t>(std::countr_zero(edges));
                edges &= edges - 1;
            }
        }
        // Boundaries alternate: the start of a run, then the cluster after its end.
        std::size_t i = 0;
        if (open && n > 0) {
            visit(openStart, at[0] - openStart);
            open = false;
            i = 1;
        }
        for (; i + 1 < n; i += 2)
            visit(at[i], at[i + 1] - at[i]);
        if (i < n) {
            open = true;
            openStart = at[i];
        }
    }
    if (open)
        visit(openStart, limit - openStart);
}

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
