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
// A file that holds none of the forms below is no record: it is reported and put aside (renamed with
// ".unreadable" appended), never applied.
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
    std::string image;  // the image's real path when it was run (see RecordFiles::RealImage)
    std::string file;   // the file's volume-relative path (UTF-8), for messages
    std::uint64_t mref = 0;
    std::int64_t startVcn = 0, targetLcn = 0, clusters = 0;
    std::vector<ClusterRange> sources;  // the clusters copied, in order, to targetLcn onwards
    std::uint64_t dataHash = 0;         // of the copied data
    std::vector<RecordUnit> units;      // Committed only
};

struct RunRecord {
    std::uint64_t serial = 0;
    std::string image;         // the image's real path when it was run (see RecordFiles::RealImage)
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
    const std::string& Directory() const { return directory_; }
    const std::string& RunPath() const { return run_; }
    const std::string& MovePath() const { return move_; }
    // The image's absolute path with every link resolved, as the names of the files are made from it;
    // the path as given when it cannot be resolved.
    const std::string& RealImage() const { return real_; }
    // The records of the same volume (serial number) kept under other image paths in the directory: the
    // image was renamed or moved since, or they belong to a copy of it. Each as the common part of its
    // names (".run" / ".move" appended give the files).
    std::vector<std::string> OtherPathsOfVolume() const;
    // Takes over the records kept under `other` (one of OtherPathsOfVolume): renamed to this image's
    // names, durably. Empty on success, else why not.
    std::string TakeOver(const std::string& other) const;
    // Durable writes and removals (file and directory flushed). Empty on success, else why not.
    std::string Write(const std::string& path, const std::string& bytes) const;
    std::string Remove(const std::string& path) const;
    // Renames a file that is no record (see above) to PATH.unreadable, durably, for a person to look at.
    std::string PutAside(const std::string& path) const;
    // Tests: a write of more than `bytes` fails as on a full disk (ENOSPC); 0, the default, sets no limit.
    void SetSpaceLimit(std::size_t bytes) { spaceLimit_ = bytes; }
    // Removes what a write cut off before its rename left (never read: the record it was to replace, or
    // none, is the one in force).
    void RemoveUnfinished() const;
    // The file's bytes; nothing when it is absent.
    std::optional<std::string> Read(const std::string& path) const;

  private:
    std::string directory_, run_, move_, real_, prefix_;
    std::size_t spaceLimit_ = 0;
};

}  // namespace kestrel::ntfsimage
