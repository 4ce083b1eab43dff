// A file's place on the volume: its physically contiguous pieces (extents) and the summary derived from
// them. Built from the answers of FSCTL_GET_RETRIEVAL_POINTERS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>

namespace kestrel::engine {

// Clusters in one compression unit of a compressed file: compressed data is stored, moved and mapped
// in whole units.
inline constexpr std::uint32_t kCompressionUnit = 16;

// One physically contiguous piece of a file. It occupies clusters lcn .. lcn + allocated - 1 and covers
// VCNs vcn .. vcn + size - 1; size exceeds allocated by the holes of a compressed or sparse file that
// were folded into it. A piece that is all hole has lcn -1 and allocated 0.
struct Extent {
    std::int64_t vcn = 0;
    std::int64_t allocated = 0;
    std::int64_t size = 0;
    std::int64_t lcn = 0;

    bool operator==(const Extent&) const = default;
};

// A file's extents in ascending VCN order, labelled with the operation that built it.
struct ExtentList {
    std::deque<Extent> extents;
    std::wstring label;
    bool compressed = false;  // a hole (virtual run) was met
};

// What the movers, the compaction and the watcher know about one file.
struct FileInfo {
    std::wstring name;
    std::int64_t firstLcn = 0;
    std::uint32_t clusters = 0;
    std::int32_t fragments = 0;
    std::uint32_t vcnLength = 0;
    bool compressed = false;
};

// Thrown when a mapping request that was pending ends in failure.
class BadFileStats : public std::runtime_error {
  public:
    BadFileStats() : std::runtime_error("bad file stats") {}
};

// Folds one retrieval answer of `bytes` bytes (header and pairs) into the list: a run continued from the
// previous answer replaces the extent it produced there, holes join the piece before them, and a run
// that begins before the end of the list (an answer may start at the beginning of the extent that holds
// the VCN asked for) contributes only its part beyond, at the clusters where that part lies. Pairs beyond
// `bytes` are never read, whatever the answer's ExtentCount claims; an answer too short for its header
// or with no pairs changes nothing, and a pair whose NextVcn does not advance ends the answer. Writes the
// "Non-zero first VCN" line for a continued answer and, when the list has more than one extent, one
// line for each of its first six extents.
// Returns false, leaving the list as it was, for an answer no file system gives: a negative starting
// VCN, or a pair (before the one that ends the answer) whose LCN is below -1 or so large that LCN +
// NextVcn leaves the signed 64-bit range. Such an answer fails the mapping.
bool AppendRetrievalPointers(ExtentList& list, const void* answer, std::size_t bytes);

// 1 for an empty list, else 1 + the number of neighbours that are not physically adjacent.
std::int32_t FragmentCount(const ExtentList& list);

// VCNs the list covers (low 32 bits); for a compressed file rounded up to a whole compression unit.
std::uint32_t VcnLength(const ExtentList& list);

// The LCN right behind the first extent that reaches past `vcn`, and in `vcn` the end of that extent;
// -1 (and vcn -1) when that extent lies right behind the one before it, or is a first extent with
// nothing allocated; 0 (vcn unchanged) when no extent reaches past `vcn`.
std::int64_t ExtentAfter(const ExtentList& list, std::int64_t& vcn);

// Fills everything but the name from the list; true when the file has clusters.
bool FillFileInfo(const ExtentList& list, FileInfo& info);

// The VCN right behind a leading hole of a sparse or compressed file (its first extent, when that owns no
// clusters); 0 when the file begins with clusters. A hole owns nothing to move.
std::int64_t LeadingHoleEnd(const ExtentList& list);

// The VCN right behind the list's last extent (0 for an empty list): where the next request starts.
std::int64_t ListEndVcn(const ExtentList& list);

}  // namespace kestrel::engine
