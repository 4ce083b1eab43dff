// Defragmenting the files of an NTFS image with the engine.
#include "tools/image/ImageDefrag.h"

#include <chrono>
#include <map>

#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "service/engine/DefragEngine.h"

namespace kestrel::ntfsimage {

std::int64_t MovedClusters(const std::vector<ImageRun>& before, const std::vector<ImageRun>& after) {
    // VCN -> LCN of every allocated cluster, compared run against run.
    std::int64_t moved = 0;
    std::size_t j = 0;
    for (const ImageRun& a : before) {
        if (a.lcn < 0)
            continue;
        for (std::int64_t v = a.vcn; v < a.vcn + a.length;) {
            while (j < after.size() && after[j].vcn + after[j].length <= v)
                ++j;
            if (j == after.size()) {
                moved += a.vcn + a.length - v;
                break;
            }
            const ImageRun& b = after[j];
            const std::int64_t end = std::min(a.vcn + a.length, b.vcn + b.length);
            if (b.lcn < 0 || b.lcn - b.vcn != a.lcn - a.vcn)
                moved += end - v;
            v = end;
        }
    }
    return moved;
}

DefragSummary DefragmentFiles(NtfsImageFileSystem& fs, wchar_t letter, const std::vector<std::wstring>& files,
                              const std::function<void(const FileOutcome&)>& onFile, int passes) {
    const auto started = std::chrono::steady_clock::now();
    DefragSummary summary;
    const std::wstring root(1, letter);
    engine::DefragEngine engine(fs, root + L":\\");
    for (const std::wstring& path : files) {
        if (fs.StopRequested())
            break;  // the summary so far; the move under way has been finished
        ++summary.filesSeen;
        FileOutcome outcome;
        outcome.path = path;
        const std::vector<ImageRun> before = fs.Runs(letter, path);
        outcome.fragmentsBefore = fs.Fragments(letter, path);
        summary.fragmentsBefore += outcome.fragmentsBefore;
        if (outcome.fragmentsBefore <= 1) {
            summary.fragmentsAfter += outcome.fragmentsBefore;
            continue;
        }
        ++summary.filesWorked;
        int fragments = outcome.fragmentsBefore;
        try {
            for (int pass = 0; pass < passes; ++pass) {
                engine::FileInfo info;
                if (!engine::RefreshFileInfo(engine, root + L":" + path, info))
                    break;
                std::int32_t moved = 0, defragmented = 0;
                engine::CompactNonCompressedFragmentedFile compaction(engine, info);
                outcome.result = compaction.Process(moved, defragmented);
                const int now = fs.Fragments(letter, path);
                if (outcome.result <= 0 || now >= fragments || now <= 1) {
                    fragments = now;
                    break;
                }
                fragments = now;
            }
        } catch (const engine::BadFileStats&) {
            outcome.failed = true;
        }
        const std::vector<ImageRun> after = fs.Runs(letter, path);
        outcome.fragmentsAfter = fs.Fragments(letter, path);
        outcome.clustersMoved = MovedClusters(before, after);
        summary.fragmentsAfter += outcome.fragmentsAfter;
        summary.clustersMoved += outcome.clustersMoved;
        if (outcome.fragmentsAfter < outcome.fragmentsBefore)
            ++summary.filesImproved;
        if (onFile)
            onFile(outcome);
    }
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return summary;
}

std::vector<std::wstring> FilesAndStreams(NtfsImageFileSystem& fs, wchar_t letter) {
    std::vector<std::wstring> out;
    for (const std::wstring& file : fs.RegularFiles(letter)) {
        out.push_back(file);
        for (const std::wstring& stream : fs.Streams(letter, file))
            out.push_back(file + L":" + stream);
    }
    return out;
}

}  // namespace kestrel::ntfsimage
