// The records that a run on an NTFS image keeps outside the volume, in the state directory, so that the
// next run can finish or undo what an interrupted one left (a block device has no "beside", and nothing
// on the volume journals our moves).
//
// Two files per volume, named after its serial number and the image's path:
//   NAME.run   exists while a run has the volume marked dirty: the mark is ours, not a sign of damage;
//   NAME.move  exists while a move is under way, in one of two phases:
//     Intent     written before the move's first write to the volume: which clusters are copied where,
//                and a hash of the data they held. The copy goes to clusters $Bitmap shows free, and no
//                metadata has been written: the volume is as it was, whatever happened after.
//     Committed  written once the copy is durable and before the first metadata write: every unit
//                (512 bytes) of metadata the move changes, with its bytes before and after, and how it
//                is ordered (see UnitKind). From here the move is finished by writing the after-images
//                again (redo), in the same order, which is idempotent.
// Each file is written whole to a temporary name, flushed, renamed into place and its directory flushed,
// so it is either absent, the old version or the new one; a trailing hash catches anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::ntfsimage {

// How a unit of metadata is written back (in this order, each step flushed before the next):
//   1. Bitmap units as the union of what they held and what they will hold, and NewRecord units (an MFT
//      record coming into use): clusters and records the move takes are marked used before anything
//      refers to them;
//   2. Other units: the file's records (base record, attribute list, extent records), $MFT's own record,
//      the mirror;
//   3. Bitmap units as they will be, and FreedRecord units (an extent record no longer referred to): what
//      the move releases is released only when nothing durable refers to it any more.
enum class UnitKind : std::uint8_t { Other = 0, Bitmap = 1, NewRecord = 2, FreedRecord = 3 };

struct RecordUnit {
    std::int64_t offset = 0;  // on the device
    UnitKind kind = UnitKind::Other;
    std::vector<std::uint8_t> before, after;  // 512 bytes each
};

struct ClusterRange {
    std::int64_t lcn = 0, length = 0;
};

struct MoveRecord {
    enum Phase : std::uint32_t { Intent = 1, Committed = 2 };
    Phase phase = Intent;
    std::uint64_t serial = 0;
    std::int64_t totalClusters = 0;
    std::uint32_t clusterSize = 0;
    std::string image;  // the path it was run on, for messages
    std::string file;   // the file's volume-relative path (UTF-8), for messages
    std::uint64_t mref = 0;
    std::int64_t startVcn = 0, targetLcn = 0, clusters = 0;
    std::vector<ClusterRange> sources;  // the clusters copied, in order, to targetLcn onwards
    std::uint64_t dataHash = 0;         // of the copied data
    std::vector<RecordUnit> units;      // Committed only
};

struct RunRecord {
    std::uint64_t serial = 0;
    std::string image;
    std::int64_t started = 0;  // seconds since the epoch
};

std::string EncodeMove(const MoveRecord& record);
std::optional<MoveRecord> DecodeMove(const std::string& bytes);
std::string EncodeRun(const RunRecord& record);
std::optional<RunRecord> DecodeRun(const std::string& bytes);

// 64-bit FNV-1a, chained through `seed`.
std::uint64_t Fnv(const void* bytes, std::size_t length, std::uint64_t seed = 14695981039346656037ull);

// The files of one volume in a state directory.
class RecordFiles {
  public:
    // `directory` is created (0700) when needed at the first write.
    RecordFiles(std::string directory, std::uint64_t serial, const std::string& image);
    const std::string& RunPath() const { return run_; }
    const std::string& MovePath() const { return move_; }
    // Durable writes and removals (file and directory flushed). Empty on success, else why not.
    std::string Write(const std::string& path, const std::string& bytes) const;
    std::string Remove(const std::string& path) const;
    // Removes what a write cut off before its rename left (never read: the record it was to replace, or
    // none, is the one in force).
    void RemoveUnfinished() const;
    // The file's bytes; nothing when it is absent.
    std::optional<std::string> Read(const std::string& path) const;

  private:
    std::string directory_, run_, move_;
};

}  // namespace kestrel::ntfsimage
