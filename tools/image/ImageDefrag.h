// Defragmenting the files of an NTFS image with the engine's own compaction and movers: the work of
// kestrel-image, shared with the image tests so that they test what the tool does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ntfsimage/NtfsImageFileSystem.h"

namespace kestrel::ntfsimage {

// What happened to one file.
struct FileOutcome {
    std::wstring path;  // volume-relative ("\DIR\FILE" or "\DIR\FILE:STREAM")
    int fragmentsBefore = 0;
    int fragmentsAfter = 0;
    std::int64_t clustersMoved = 0;  // clusters whose place changed
    std::int32_t result = 0;         // the last answer of the engine's Process / Move
    bool failed = false;             // the mapping failed (BadFileStats) or the file vanished
};

struct DefragSummary {
    int filesSeen = 0;
    int filesWorked = 0;    // files of more than one fragment that the engine was given
    int filesImproved = 0;  // of those, files left with fewer fragments
    std::int64_t fragmentsBefore = 0;
    std::int64_t fragmentsAfter = 0;
    std::int64_t clustersMoved = 0;
    double seconds = 0;
};

// Clusters of a file whose place differs between two run lists of it (holes never count).
std::int64_t MovedClusters(const std::vector<ImageRun>& before, const std::vector<ImageRun>& after);

// Runs the engine over every named file (volume-relative paths) of the image mounted at `letter`: a
// file of several fragments goes to CompactNonCompressedFragmentedFile::Process, again while that
// lowers its fragment count (at most `passes` times). `onFile` hears of every file that was worked on.
DefragSummary DefragmentFiles(NtfsImageFileSystem& fs, wchar_t letter, const std::vector<std::wstring>& files,
                              const std::function<void(const FileOutcome&)>& onFile, int passes = 4);

// Every regular file of the image with each of its named streams ("\F", "\F:S").
std::vector<std::wstring> FilesAndStreams(NtfsImageFileSystem& fs, wchar_t letter);

}  // namespace kestrel::ntfsimage
