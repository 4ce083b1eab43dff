// A read-only accounting of a whole NTFS volume: the cluster bitmap against the runlist of every
// attribute of every MFT record in use (system files, attribute lists and extent records included),
// and the attribute lists against the extent records they name.
//
// Each class is reported with a count and its first instances:
// - clusters referenced but marked free: damage, the next writer may take them;
// - clusters referenced twice: damage, two owners write over each other;
// - records in use but unreadable: damage (a broken record, runlist or attribute list, an attribute list
//   naming a record that is free or belongs to another file, a run outside the volume);
// - clusters marked used but referenced by nothing: a leak, harmless but lost space. Extent records in use
//   that no attribute list names are leaks too: their clusters count as referenced by nothing.
//
// Memory and time are proportional to the MFT and to the number of runs, plus one bit per cluster (a
// 1 GiB volume of 512-byte clusters needs two bitmaps of 256 KiB).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::ntfsimage {

struct CheckClass {
    std::int64_t count = 0;          // clusters, or records for the record classes
    std::int64_t instances = 0;      // ranges of clusters, or records
    std::vector<std::string> first;  // the first instances, in words
};

struct VolumeCheckReport {
    std::string error;  // non-empty: the volume could not be checked (and nothing below is meaningful)
    std::int64_t clusterSize = 0;
    std::int64_t totalClusters = 0;
    std::int64_t clustersMarkedUsed = 0;
    std::int64_t clustersReferenced = 0;
    std::int64_t recordsInUse = 0;
    CheckClass referencedFree;     // clusters
    CheckClass referencedTwice;    // clusters
    CheckClass unreadableRecords;  // records
    CheckClass leakedClusters;     // clusters
    CheckClass orphanRecords;      // extent records in use that no base record names (a leak)

    bool Damaged() const {
        return referencedFree.count != 0 || referencedTwice.count != 0 || unreadableRecords.count != 0;
    }
    bool Leaks() const { return leakedClusters.count != 0 || orphanRecords.count != 0; }
    // The exit status of `kestrel-image check`: 0 consistent, 1 leaks only, 3 damage, 4 not checked.
    int ExitCode() const;
};

// Checks the image (file or block device), which must not be mounted. Opened read-only: nothing is written.
VolumeCheckReport CheckVolume(const std::string& image, std::size_t examples = 5);

// The report in words, one class a paragraph, ending with the verdict.
std::string FormatCheckReport(const std::string& image, const VolumeCheckReport& report);

}  // namespace kestrel::ntfsimage
