// An aged simulated volume and the soak that defragments it: files written side by side (so that NTFS
// allocation interleaves them), some deleted again, then every file processed repeatedly the way the
// watcher does it, with faults injected along the way. Shared by the soak test and the compaction
// report, so that the figures the report prints are those of the tested run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSystemControl.h"
#include "platform/sim/SimVolume.h"
#include "tests/engine/ForwardingControl.h"

namespace kestrel::engine::aging {

struct AgingOptions {
    std::uint32_t seed = 1;
    int files = 300;                 // files written in all
    int writers = 8;                 // files being written side by side at any time
    std::int64_t maxAppend = 24;     // clusters per write, 1 to this
    std::int64_t maxFileSize = 400;  // a file is closed once it reaches 1 to this many clusters
    int deletePercent = 15;          // share of closed files deleted again, leaving holes
    int compressedPercent = 3;       // share of files written as compressed files
};

// Writes the files onto the volume (which should be empty but for its own metadata) and returns the
// volume-relative paths of those that remain, in the order they were created.
std::vector<std::wstring> AgeVolume(sim::SimVolume& volume, const AgingOptions& options);

struct SoakOptions {
    std::uint32_t seed = 1;
    int rounds = 3;         // passes over all files
    int faultPercent = 10;  // share of steps with an injected fault
};

struct SoakFigures {
    int files = 0;                     // files that survived the soak (the figures below are theirs)
    std::int64_t fragmentsBefore = 0;  // sum of their fragment counts before the first step
    std::int64_t fragmentsAfter = 0;
    int fragmentedBefore = 0;  // files of more than one fragment
    int fragmentedAfter = 0;
    std::int64_t clustersMoved = 0;  // clusters whose place changed, summed over every step
    int steps = 0;
    int processCalls = 0;       // CompactNonCompressedFragmentedFile::Process
    int moveCalls = 0;          // FileMover::Move
    int successes = 0;          // steps whose result was above 0
    int faults = 0;             // steps with an injected fault
    int exceptions = 0;         // steps that ended in BadFileStats
    int deleted = 0;            // files deleted by an injected fault
    std::int64_t mostHeld = 0;  // the most clusters held since a move (not yet released) after a step
    std::string failure;        // empty when every step kept the volume consistent and every file's content

    double ShareLeftFragmented() const { return files == 0 ? 0.0 : double(fragmentedAfter) / files; }
    double ClustersPerFragmentRemoved() const {
        const std::int64_t removed = fragmentsBefore - fragmentsAfter;
        return removed <= 0 ? 0.0 : double(clustersMoved) / double(removed);
    }
};

// Processes every file `rounds` times with one engine on the volume mounted at `letter`: a file of
// several fragments with CompactNonCompressedFragmentedFile::Process, a one-piece file with
// FileMover::Move. After every step the volume's consistency check must hold and the file's content
// must be what it was; the first violation ends the soak and is described in `failure`.
SoakFigures RunSoak(sim::SimVolume& volume, fs::FileSystemControl& control, wchar_t letter,
                    const std::vector<std::wstring>& files, const SoakOptions& options);

// Clusters of the file whose place differs between two run lists of it (holes never count).
std::int64_t MovedClusters(const std::vector<sim::Run>& before, const std::vector<sim::Run>& after);

// Passes every request to a simulated file system, counts the move requests and checks the volume's
// allocation (SimVolume::CheckAllocation) after each of them has been answered (at once, or when the
// wait for a pending one ended): a cluster lost or owned twice is caught at the move that did it. The
// content of the files is checked with the rest after every file's step (RunSoak). The first failed
// check is kept with the number of the move after which it failed.
class CheckingControl : public test::ForwardingControl {
  public:
    CheckingControl(sim::SimFileSystem& fs, const sim::SimVolume& volume)
        : ForwardingControl(fs), volume_(volume) {}

    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override;
    bool Wait(fs::RawHandle handle, std::uint32_t timeoutMs) override;

    std::int64_t moves = 0;         // move requests issued
    std::int64_t movesDone = 0;     // of them, answered STATUS_SUCCESS (at once or after pending)
    std::int64_t checks = 0;        // consistency checks run
    std::int64_t failedAtMove = 0;  // the move after which the first check failed; 0 = none
    std::string failure;            // what that check found

  private:
    void CheckAfterMove(fs::NtStatus status);

    const sim::SimVolume& volume_;
    bool movePending_ = false;
    fs::IO_STATUS_BLOCK* pendingIo_ = nullptr;
};

}  // namespace kestrel::engine::aging
