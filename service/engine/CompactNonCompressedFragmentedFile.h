// Compaction of a fragmented file: the whole file into one free run when one can hold it, otherwise piece
// by piece, gathering neighbouring extents into the largest free run of the volume.
#pragma once

#include <cstdint>

#include "service/engine/FileMover.h"

namespace kestrel::engine {

class CompactNonCompressedFragmentedFile : public FileMover {
  public:
    using FileMover::FileMover;

    // The first free run anywhere that holds the whole file (as WholeFileMover).
    std::uint32_t FindTarget() override;

    // Consolidates the file. 1 when it was worked on (also when a later move failed, as earlier passes
    // may have helped, and when the file turned out to be in one piece or empty), 0 when nothing could be
    // done, -1 / -2 when the file could not be opened (in use / gone), or what WholeFileMover::Move
    // answers. Counts a file whose fragment count changed (to more than one) in `defragmented` and
    // leaves the FileInfo describing the file as it now lies. Throws BadFileStats from a failed mapping.
    virtual std::int32_t Process(std::int32_t& moved, std::int32_t& defragmented);
};

}  // namespace kestrel::engine
