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

}  // namespace kestrel::engine::aging
