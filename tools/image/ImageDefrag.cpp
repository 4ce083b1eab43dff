// Defragmenting the files of an NTFS image with the engine.
#include "tools/image/ImageDefrag.h"

#include <chrono>
#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <map>

#include "common/Utf16.h"

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
                              const std::function<void(const FileOutcome&)>& onFile, int passes,
                              const std::function<void(int, const DefragSummary&)>& onProgress) {
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
            if (onProgress)
                onProgress(summary.filesSeen, summary);
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
                if (outcome.result <= 0 || now >= fragments || now <= 1 || fs.StopRequested()) {
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
        if (onProgress)
            onProgress(summary.filesSeen, summary);
    }
    summary.stopped = fs.StopRequested();
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

double Analysis::FragmentedShare() const {
    return allocatedClusters == 0
               ? 0.0
               : 100.0 * static_cast<double>(fragmentedClusters) / static_cast<double>(allocatedClusters);
}

Analysis Analyze(NtfsImageFileSystem& fs, wchar_t letter, const std::vector<ImageFile>& files,
                 std::size_t worst) {
    Analysis a;
    a.volume = fs.Figures(letter);
    std::vector<FileFigures> all;
    for (const ImageFile& f : files) {
        const std::vector<ImageRun> runs = fs.Runs(letter, f.path);
        FileFigures figures{f.display, f.record, 0, 0, 0};
        figures.fragments = fs.Fragments(letter, f.path);
        for (const ImageRun& r : runs)
            if (r.lcn >= 0)
                figures.clusters += r.length;
        const std::optional<std::uint64_t> size = fs.FindFileSize(std::wstring(1, letter) + L":" + f.path);
        figures.bytes = size ? static_cast<std::int64_t>(*size) : 0;
        ++a.filesExamined;
        a.totalFragments += figures.fragments;
        a.allocatedClusters += figures.clusters;
        if (figures.fragments > 1) {
            ++a.fragmentedFiles;
            a.fragmentedClusters += figures.clusters;
            all.push_back(std::move(figures));
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const FileFigures& x, const FileFigures& y) {
        return x.fragments != y.fragments ? x.fragments > y.fragments : x.bytes > y.bytes;
    });
    if (all.size() > worst)
        all.resize(worst);
    a.worst = std::move(all);
    return a;
}

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

long long L(std::int64_t v) {
    return static_cast<long long>(v);
}

std::string Bytes(std::int64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    return u == 0 ? Format("%lld bytes", L(bytes)) : Format("%.1f %s", v, units[u]);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20)
            out += Format("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

}  // namespace

std::string AnalysisText(const std::string& image, const Analysis& a) {
    const VolumeFigures& v = a.volume;
    std::string out;
    out += Format("volume:              %s\n", image.c_str());
    out += Format("volume size:         %lld clusters of %lld bytes (%s)\n", L(v.totalClusters),
                  L(v.clusterBytes), Bytes(v.totalClusters * v.clusterBytes).c_str());
    out += Format("free space:          %lld clusters (%s, %.2f %%)\n", L(v.freeClusters),
                  Bytes(v.freeClusters * v.clusterBytes).c_str(),
                  v.totalClusters == 0 ? 0.0 : 100.0 * static_cast<double>(v.freeClusters) / v.totalClusters);
    out += Format("largest free run:    %lld clusters (%s)\n", L(v.largestFreeRun),
                  Bytes(v.largestFreeRun * v.clusterBytes).c_str());
    out += Format("free runs:           %lld\n", L(v.freeRuns));
    out += Format("files and streams:   %lld examined\n", L(a.filesExamined));
    out += Format("fragmented:          %lld\n", L(a.fragmentedFiles));
    out += Format("fragments:           %lld in total\n", L(a.totalFragments));
    out += Format("fragmented share:    %.2f %% of the allocated space (%lld of %lld clusters)\n",
                  a.FragmentedShare(), L(a.fragmentedClusters), L(a.allocatedClusters));
    if (!a.worst.empty()) {
        out += "worst files:\n";
        out += Format("  %9s %12s  %s\n", "FRAGMENTS", "SIZE", "PATH");
        for (const FileFigures& f : a.worst)
            out += Format("  %9d %12lld  %s\n", f.fragments, L(f.bytes), ToUtf8(f.display).c_str());
    }
    return out;
}

std::string AnalysisJson(const std::string& image, const Analysis& a) {
    const VolumeFigures& v = a.volume;
    std::string out = "{";
    out += "\"volume\": " + JsonString(image);
    out += Format(", \"cluster_bytes\": %lld, \"total_clusters\": %lld, \"volume_bytes\": %lld",
                  L(v.clusterBytes), L(v.totalClusters), L(v.totalClusters * v.clusterBytes));
    out += Format(", \"free_clusters\": %lld, \"largest_free_run\": %lld, \"free_runs\": %lld",
                  L(v.freeClusters), L(v.largestFreeRun), L(v.freeRuns));
    out += Format(", \"files_examined\": %lld, \"fragmented_files\": %lld, \"total_fragments\": %lld",
                  L(a.filesExamined), L(a.fragmentedFiles), L(a.totalFragments));
    out += Format(
        ", \"allocated_clusters\": %lld, \"fragmented_clusters\": %lld, \"fragmented_share_percent\": %.2f",
        L(a.allocatedClusters), L(a.fragmentedClusters), a.FragmentedShare());
    out += ", \"worst\": [";
    for (std::size_t i = 0; i < a.worst.size(); ++i) {
        const FileFigures& f = a.worst[i];
        out +=
            Format("%s{\"fragments\": %d, \"bytes\": %lld, \"clusters\": %lld, \"record\": %llu, \"path\": ",
                   i == 0 ? "" : ", ", f.fragments, L(f.bytes), L(f.clusters),
                   static_cast<unsigned long long>(f.record));
        out += JsonString(ToUtf8(f.display)) + "}";
    }
    return out + "]}\n";
}

std::string BeforeAfter(const Analysis& b, const Analysis& a) {
    std::string out = Format("%-22s %14s %14s\n", "", "before", "after");
    auto row = [&out](const char* name, std::int64_t x, std::int64_t y) {
        out += Format("%-22s %14lld %14lld\n", name, L(x), L(y));
    };
    row("free clusters", b.volume.freeClusters, a.volume.freeClusters);
    row("largest free run", b.volume.largestFreeRun, a.volume.largestFreeRun);
    row("free runs", b.volume.freeRuns, a.volume.freeRuns);
    row("files and streams", b.filesExamined, a.filesExamined);
    row("fragmented", b.fragmentedFiles, a.fragmentedFiles);
    row("fragments", b.totalFragments, a.totalFragments);
    out +=
        Format("%-22s %12.2f %% %12.2f %%\n", "fragmented share", b.FragmentedShare(), a.FragmentedShare());
    return out;
}

}  // namespace kestrel::ntfsimage
