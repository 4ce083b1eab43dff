// kestrel-image: the engine over an unmounted NTFS image or block device, through libntfs-3g.
//
//   kestrel-image defrag IMAGE [PATH...]   defragments the named files (every regular file and named
//                                          stream when none is named); a line per file worked on, then
//                                          a summary; exit 0 when it finished
//   kestrel-image map IMAGE PATH           prints the file's extents
//
// PATH is the file's path inside the volume ("/dir/file" or "\dir\file", ":name" for a named stream).
// An image that is mounted is refused (exit 1). Bad usage: exit 2.
#include <cstdio>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/ntfsimage/NtfsImageFileSystem.h"
#include "platform/ntfsimage/VolumeCheck.h"
#include "tools/image/ImageDefrag.h"

using namespace kestrel;

namespace {

constexpr wchar_t kLetter = L'K';

int Usage() {
    std::fprintf(stderr,
                 "usage: kestrel-image defrag IMAGE [PATH...]\n"
                 "       kestrel-image map IMAGE PATH\n");
    return 2;
}

std::wstring VolumePath(const std::string& text) {
    std::wstring path = FromUtf8(text);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    if (path.empty() || path[0] != L'\\')
        path.insert(path.begin(), L'\\');
    return path;
}

int Map(ntfsimage::NtfsImageFileSystem& fs, const std::wstring& path) {
    if (!fs.FindFileSize(std::wstring(1, kLetter) + L":" + path)) {
        std::fprintf(stderr, "kestrel-image: %s: no such file\n", ToUtf8(path).c_str());
        return 1;
    }
    const std::vector<ntfsimage::ImageRun> runs = fs.Runs(kLetter, path);
    std::printf("%s: %d fragment(s), %zu run(s)\n", ToUtf8(path).c_str(), fs.Fragments(kLetter, path),
                runs.size());
    if (runs.empty()) {
        std::printf("  no clusters (resident or empty)\n");
        return 0;
    }
    std::printf("  %12s %12s %10s\n", "VCN", "LCN", "CLUSTERS");
    for (const ntfsimage::ImageRun& r : runs) {
        if (r.lcn < 0)
            std::printf("  %12lld %12s %10lld\n", static_cast<long long>(r.vcn), "hole",
                        static_cast<long long>(r.length));
        else
            std::printf("  %12lld %12lld %10lld\n", static_cast<long long>(r.vcn),
                        static_cast<long long>(r.lcn), static_cast<long long>(r.length));
    }
    return 0;
}

int Defrag(ntfsimage::NtfsImageFileSystem& fs, const std::vector<std::wstring>& named) {
    std::vector<std::wstring> files = named.empty() ? ntfsimage::FilesAndStreams(fs, kLetter) : named;
    for (const std::wstring& path : named) {
        if (!fs.FindFileSize(std::wstring(1, kLetter) + L":" + path)) {
            std::fprintf(stderr, "kestrel-image: %s: no such file\n", ToUtf8(path).c_str());
            return 1;
        }
    }
    // Nothing on an image frees clusters later (there is no log checkpoint to wait for): the engine's
    // polls need not wait in real time.
    timing::ScopedTimeDivisor noWaiting(1000);
    const ntfsimage::DefragSummary s =
        ntfsimage::DefragmentFiles(fs, kLetter, files, [](const ntfsimage::FileOutcome& f) {
            std::printf("%s: %d -> %d fragments, %lld clusters moved%s\n", ToUtf8(f.path).c_str(),
                        f.fragmentsBefore, f.fragmentsAfter, static_cast<long long>(f.clustersMoved),
                        f.failed ? " (mapping failed)" : "");
            std::fflush(stdout);
        });
    std::printf(
        "%d files examined, %d fragmented, %d improved; fragments %lld -> %lld; %lld clusters moved; "
        "%.2f s\n",
        s.filesSeen, s.filesWorked, s.filesImproved, static_cast<long long>(s.fragmentsBefore),
        static_cast<long long>(s.fragmentsAfter), static_cast<long long>(s.clustersMoved), s.seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return Usage();
    const std::string command = argv[1];
    const std::string image = argv[2];
    if (command == "check") {
        if (argc != 3)
            return Usage();
        const ntfsimage::VolumeCheckReport report = ntfsimage::CheckVolume(image);
        std::fputs(ntfsimage::FormatCheckReport(image, report).c_str(),
                   report.error.empty() ? stdout : stderr);
        return report.ExitCode();
    }
    if (command != "defrag" && command != "map")
        return Usage();
    if (command == "map" && argc != 4)
        return Usage();
    std::vector<std::wstring> paths;
    for (int i = 3; i < argc; ++i)
        paths.push_back(VolumePath(argv[i]));

    ntfsimage::NtfsImageFileSystem fs;
    if (const std::string error = fs.Mount(kLetter, image, command == "map"); !error.empty()) {
        std::fprintf(stderr, "kestrel-image: %s\n", error.c_str());
        return 1;
    }
    const int status = command == "map" ? Map(fs, paths[0]) : Defrag(fs, paths);
    if (!fs.Unmount(kLetter)) {
        std::fprintf(stderr, "kestrel-image: %s: writing the volume back failed\n", image.c_str());
        return 1;
    }
    return status;
}
