// A simulated NTFS volume: the host's volume and the tests' oracle.
//
// It keeps N clusters of a given size, an MFT zone, and a table of files, each a list of data runs
// (VCN, LCN, length; LCN -1 for a hole of a sparse or compressed file, whose compression units are 16
// clusters) or resident (no clusters at all). Every allocated cluster carries a content tag, unique on the
// volume when written, so that a lost, doubled or misplaced cluster shows up in Check() and in Tags().
//
// It answers FSCTL_GET_NTFS_VOLUME_DATA, FSCTL_GET_VOLUME_BITMAP, FSCTL_GET_RETRIEVAL_POINTERS and
// FSCTL_MOVE_FILE as Windows documents them (see SimVolume.cpp for the exact rules), validating every
// length, VCN, LCN and count before use. Faults can be injected to exercise the callers' error paths.
//
// Like NTFS, it does not hand out clusters that a move freed until its next log checkpoint: they stay
// marked in use for a number of further requests (NtfsRules), so a caller that wants to reuse them has
// to poll the bitmap, as it must on Windows. Tests that need exact placement turn the hold off.
//
// Thread-safe: every public method takes the volume's lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FsRecords.h"

namespace kestrel::sim {

inline constexpr std::int64_t kHoleLcn = -1;
inline constexpr std::int64_t kCompressionUnit = 16;

struct Run {
    std::int64_t vcn = 0;
    std::int64_t lcn = 0;  // kHoleLcn for a hole
    std::int64_t length = 0;
    bool operator==(const Run&) const = default;
};

enum class FileKind { Normal, Compressed, Sparse };

struct Geometry {
    std::int64_t totalClusters = 0;
    std::uint32_t bytesPerCluster = 4096;
    std::int64_t mftZoneStart = 0;  // first cluster of the MFT zone
    std::int64_t mftZoneEnd = 0;    // last cluster of the MFT zone, inclusive; start == end == 0: no zone
};

// The requests a cluster freed by a move stays held, by default. NTFS releases such clusters at its
// next log checkpoint, a few seconds later; the engine polls a cluster up to 60 times before giving up
// on it, so a hold well below that is met by the poll, while one above the two or three requests a
// caller issues between a move and its next search makes that search see the freed clusters in use.
inline constexpr std::int64_t kDefaultFreedClusterHold = 16;

// Where the volume's answers may follow NTFS more or less strictly.
struct NtfsRules {
    // Requests a cluster freed by a move stays marked in use (in the bitmap answers, as a move target
    // and for allocation) before it is free again; 0: free at once. Checkpoint() ends every hold.
    std::int64_t freedClusterHold = kDefaultFreedClusterHold;
    // Refuse with STATUS_INVALID_PARAMETER a move of a compressed or sparse file that does not start at
    // a multiple of 16 VCNs or does not end at one (or at the end of the file), instead of widening it
    // to whole compression units. Off by default: the documentation gives the granularity of such moves
    // (16 clusters) but not what happens to a request that does not keep to it.
    bool wholeUnitMoves = false;
};

// One injected fault. Faults wait in a queue and each fires once, on the first request that matches.
struct Fault {
    enum class Kind {
        Pending,               // the request answers STATUS_PENDING; Wait then completes it with its real
                               // result (or with `status` when nonzero)
        PendingNeverEnds,      // the request answers STATUS_PENDING and Wait never reports completion
        Status,                // the request fails at once with `status` and changes nothing
        SharingViolation,      // OpenFile of the path fails with ERROR_SHARING_VIOLATION
        AccessDenied,          // OpenFile of the path fails with ERROR_ACCESS_DENIED
        DeleteBeforeRequest,   // the file is deleted just before the request is answered
        TakeTargetBeforeMove,  // a move's first target cluster is taken by another file before the move
        PartialMove,           // a move moves only the first `clusters` clusters, then fails with `status`
                               // (STATUS_DISK_FULL when zero)
    } kind;
    std::uint32_t code = 0;  // the control code it applies to; 0 = any request (opens ignore it)
    std::wstring path;       // volume-relative path it applies to ("\DIR\FILE"); empty = any file
    fs::NtStatus status = 0;
    std::int64_t clusters = 0;
};

class SimVolume {
  public:
    explicit SimVolume(const Geometry& geometry, const NtfsRules& rules = {});
    ~SimVolume();
    SimVolume(const SimVolume&) = delete;
    SimVolume& operator=(const SimVolume&) = delete;

    const Geometry& geometry() const { return geometry_; }

    // The rules apply to requests from now on; clusters already held keep their release point.
    void SetRules(const NtfsRules& rules);
    NtfsRules Rules() const;
    // The log checkpoint: every cluster held since a move is free from now on.
    void Checkpoint();
    // Clusters freed by moves and not yet released.
    std::int64_t HeldClusters() const;

    // ---- Files. Paths are volume-relative ("\DIR\FILE"), compared without regard to case. ----

    // Creates an empty (resident) file; false when the path exists.
    bool CreateFile(const std::wstring& path, FileKind kind = FileKind::Normal);
    // Grows a file by `clusters` clusters of new content the way NTFS allocates: in place while the
    // clusters right behind its last run are free, otherwise from the next free run after that point
    // (wrapping to the volume start), avoiding the MFT zone unless nothing else is free. A file without
    // clusters starts at the first free cluster. A compressed file grows by whole compression units.
    // Creates the file when absent. False when the volume is full (nothing is then allocated).
    bool Append(const std::wstring& path, std::int64_t clusters);
    // Grows a sparse or compressed file by a hole of `clusters` VCNs (a compressed file by whole
    // compression units). False for a normal file.
    bool AppendHole(const std::wstring& path, std::int64_t clusters);
    // Grows a compressed file by one compression unit of which only the first `allocated` clusters
    // (1 to 16) are stored; the rest of the unit is a hole, as NTFS stores a unit that compressed well.
    bool AppendCompressedUnit(const std::wstring& path, std::int64_t allocated);
    // Places a file with exactly these runs (in VCN order, starting at VCN 0, holes as kHoleLcn); false
    // when the path exists, a run overlaps a used cluster or lies outside the volume.
    bool AddFile(const std::wstring& path, const std::vector<Run>& runs, FileKind kind = FileKind::Normal);
    // Makes a file resident again (its clusters are freed).
    bool MakeResident(const std::wstring& path);
    // Deletes a file; its clusters are free at once. (Only clusters freed by a move are held: they are
    // what a defragmenter meets, and tests build their layouts by deleting files.)
    bool DeleteFile(const std::wstring& path);
    // Cuts a file back to its first `clusters` VCNs (a compressed file to whole compression units); the
    // clusters behind are free at once, as a truncation frees them. False when the file is absent or
    // `clusters` is negative; a length at or past the end changes nothing.
    bool Truncate(const std::wstring& path, std::int64_t clusters);
    // Gives a file a new path; its clusters and content stay where they are. False when `from` is absent
    // or `to` is the root or another file's path (a case-only change of the same file is allowed).
    bool Rename(const std::wstring& from, const std::wstring& to);
    bool Exists(const std::wstring& path) const;
    // A file's path as the table spells it and its length in clusters (VCNs, holes included); nothing
    // when absent.
    struct FileState {
        std::wstring path;
        std::int64_t clusters = 0;
    };
    std::optional<FileState> Describe(const std::wstring& path) const;
    // True for the root ("\\") and for every folder that holds a file of the table.
    bool IsDirectory(const std::wstring& path) const;
    std::vector<std::wstring> Files() const;
    // The files at `path` and below it, as the table spells them, in key order ("\\" gives every file).
    std::vector<std::wstring> FilesBelow(const std::wstring& path) const;

    // The file's runs, merged where physically contiguous; empty for a resident or absent file.
    std::vector<Run> Runs(const std::wstring& path) const;
    // The file's content tags by VCN (0 for a hole); empty for a resident or absent file.
    std::vector<std::uint64_t> Tags(const std::wstring& path) const;
    // Number of physically separate pieces (holes do not count), 0 for a resident file.
    int Fragments(const std::wstring& path) const;

    // Marks clusters in use by a file outside the table's files (metadata, another program); false when
    // any of them is already used (or held) or out of range.
    bool Occupy(std::int64_t lcn, std::int64_t count);
    // True for a cluster of a file, taken by Occupy, or held since a move.
    bool IsUsed(std::int64_t lcn) const;
    // Clusters neither used nor held.
    std::int64_t FreeClusters() const;

    // ---- Faults. ----
    void InjectFault(const Fault& fault);
    void ClearFaults();
    std::size_t PendingFaults() const;

    // ---- The consistency check: the bitmap equals the union of all files' clusters (plus Occupy and
    // the clusters held since a move),
    // no cluster belongs to two files, every file's tags are the ones it was written with, runs are
    // well formed. Returns an empty string when consistent, else a description of the first fault. ----
    std::string Check() const;
    // The allocation part of Check alone, without reading the files' content: the bitmap equals the
    // union of every owner's clusters, no cluster has two owners, the free and held counts are right and
    // runs are well formed. Cheap enough to run after every single request of a long soak.
    std::string CheckAllocation() const;

    // ---- Requests, as the file-system control adapter forwards them. `file` is the volume-relative
    // path of the file a handle was opened on (empty for the volume handle itself). ----
    struct Answer {
        fs::NtStatus status = fs::kStatusSuccess;
        std::uint32_t bytes = 0;  // bytes written to the output buffer
        bool pending = false;     // an injected STATUS_PENDING: the caller must Wait
        bool neverCompletes = false;
    };
    Answer Request(const std::wstring& file, std::uint32_t code, const void* in, std::uint32_t inLength,
                   void* out, std::uint32_t outLength, const std::wstring& moveFile);

    // Win32 error of opening the file (0 when it may be opened); consumes a matching open fault.
    std::uint32_t CheckOpen(const std::wstring& path);

  private:
    friend struct SimVolumeTestAccess;  // tests corrupt the state on purpose to prove Check() sees it
    struct State;
    Geometry geometry_;
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

}  // namespace kestrel::sim
