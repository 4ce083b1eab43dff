// Moving clusters of a file with FSCTL_MOVE_FILE, and the two ways of relocating a whole file on top of
// that: FileMover packs a one-piece file into a free run before its current start, WholeFileMover moves a
// file into the first free run anywhere that holds all of it.
//
// Everything here runs on the thread that owns the engine. A failed move leaves the file where it was
// (the file system relocates the data itself). Mapping failures while pending throw BadFileStats.
#pragma once

#include <cstdint>
#include <string>

#include "platform/FileSystemControl.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/ExtentMap.h"

namespace kestrel::engine {

// Large moves are cut into pieces of this many bytes' worth of clusters.
inline constexpr std::uint32_t kMoveChunkBytes = 8388608;

// The clusters of one piece on the engine's volume: 2,048 with 4 KiB clusters. Never 0, whatever the
// volume data says.
std::uint32_t MoveChunkClusters(const DefragEngine& engine);

// Issues one FSCTL_MOVE_FILE for `count` clusters of the open file from `startVcn` to `targetLcn` and
// returns the final status. Marks the bitmap stale after a success, and after a failure only when the
// cached copy already showed one of the target clusters in use (the copy was wrong).
fs::NtStatus MoveClusters(DefragEngine& engine, std::int64_t startVcn, std::int64_t targetLcn,
                          std::uint32_t count, fs::RawHandle file);

// Opens the file, moves the clusters and maps the file afresh into `list`. 1 when moved (a move from VCN
// 0 counts only when the file's clusters now begin at the target: a leading hole owns none and stays),
// 0 when not moved or the file cannot be opened, kMoveRefused (-3) when the file system refused the
// target or the request.
std::int32_t MoveFileSegment(DefragEngine& engine, const std::wstring& file, std::int64_t startVcn,
                             std::int64_t targetLcn, std::uint32_t count, ExtentList& list);

// Moves `count` VCNs from `startVcn` to `targetLcn` in pieces of MoveChunkClusters, each aimed right
// behind where the previous one landed; `list` ends with the file's latest map. A leading hole of a
// sparse or compressed file is not aimed behind: a piece that lay wholly in it keeps the target. Stops
// early (true) when a piece joins the extent before it or nothing lies beyond it. False when a piece was
// not moved.
bool MoveSegmentInChunks(DefragEngine& engine, const std::wstring& file, std::int64_t startVcn,
                         std::int64_t targetLcn, std::int64_t count, ExtentList& list);

// Packs a file towards the start of the volume. Neither the engine nor the FileInfo is owned; both must
// outlive the object.
class FileMover {
  public:
    // Marks the bitmap stale and gives the run hints their (unforced) rebuild.
    FileMover(DefragEngine& engine, FileInfo& file);
    virtual ~FileMover() = default;
    FileMover(const FileMover&) = delete;
    FileMover& operator=(const FileMover&) = delete;

    // Chooses the target LCN (0 = none) and returns the number of clusters to move: a free run that ends
    // before the file's first cluster.
    virtual std::uint32_t FindTarget();

    // Moves the file to the target of FindTarget. 1 moved, 0 nothing done, -3 refused by the file
    // system. Counts a moved one-piece file in `moved` and a file left with fewer fragments in
    // `defragmented`; the FileInfo then describes the file's new place.
    std::int32_t Move(std::int32_t& moved, std::int32_t& defragmented);

    std::int64_t TargetLcn() const { return targetLcn_; }

  protected:
    // The first free run anywhere (searched from the run hints) that holds the whole file.
    std::uint32_t FindWholeFileTarget();

    DefragEngine& engine_;
    FileInfo& file_;
    std::int64_t targetLcn_ = 0;
};

// Moves a file into the first free run that holds all of it.
class WholeFileMover : public FileMover {
  public:
    using FileMover::FileMover;
    std::uint32_t FindTarget() override;
};

}  // namespace kestrel::engine
