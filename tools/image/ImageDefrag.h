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
    bool stopped = false;  // a stop was requested (time limit, signal): files after `filesSeen` untouched
};

// Clusters of a file whose place differs between two run lists of it (holes never count).
std::int64_t MovedClusters(const std::vector<ImageRun>& before, const std::vector<ImageRun>& after);

// Runs the engine over every named file (volume-relative paths) of the image mounted at `letter`: a
// file of several fragments goes to CompactNonCompressedFragmentedFile::Process, again while that
// lowers its fragment count (at most `passes` times). `onFile` hears of every file that was worked on.
// `onProgress` hears after every file how many of them are done. A stop requested on the file system
// (RequestStop) ends the run at the next move boundary: the file under way keeps what its completed
// moves did, and no later file is touched.
DefragSummary DefragmentFiles(
    NtfsImageFileSystem& fs, wchar_t letter, const std::vector<std::wstring>& files,
    const std::function<void(const FileOutcome&)>& onFile, int passes = 4,
    const std::function<void(int filesDone, const DefragSummary& soFar)>& onProgress = nullptr);

// Every regular file of the image with each of its named streams ("\F", "\F:S").
std::vector<std::wstring> FilesAndStreams(NtfsImageFileSystem& fs, wchar_t letter);

// The layout figures of a volume and a set of its files: what `kestrel-image analyze` reports and what a
// defragmentation summary shows before and after.
struct FileFigures {
    std::wstring display;
    std::uint64_t record = 0;
    int fragments = 0;
    std::int64_t bytes = 0;     // data size
    std::int64_t clusters = 0;  // allocated clusters
};

struct Analysis {
    VolumeFigures volume;
    std::int64_t filesExamined = 0;  // files and named streams
    std::int64_t fragmentedFiles = 0;
    std::int64_t totalFragments = 0;
    std::int64_t allocatedClusters = 0;   // of the files examined
    std::int64_t fragmentedClusters = 0;  // of those in more than one piece
    std::vector<FileFigures> worst;       // most fragments first
    // The fragmented share of the allocated space, in percent.
    double FragmentedShare() const;
};

Analysis Analyze(NtfsImageFileSystem& fs, wchar_t letter, const std::vector<ImageFile>& files,
                 std::size_t worst = 10);
// The report in words, and the same fields as JSON (one object; text in UTF-8).
std::string AnalysisText(const std::string& image, const Analysis& analysis);
std::string AnalysisJson(const std::string& image, const Analysis& analysis);
// The figures of two analyses side by side, for a defragmentation summary.
std::string BeforeAfter(const Analysis& before, const Analysis& after);

}  // namespace kestrel::ntfsimage
