// The layout beneath a directory of real files; see DirectoryVolume.h.
//
// Volume paths and real paths: "\A\B" is <directory>/A/B. A component that is empty, "." or ".." never
// names a real file (a volume path cannot leave the directory), and a real name that does not survive
// the trip to a volume path and back unchanged is never laid out.
#include "platform/sim/DirectoryVolume.h"

#include <algorithm>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "common/Utf16.h"

namespace kestrel::sim {
namespace {

namespace stdfs = std::filesystem;

std::filesystem::path FromUtf8Path(const std::string& utf8) {
    return stdfs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const stdfs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The volume path of a path relative to the directory; empty when a name cannot be one.
std::wstring VolumePathOf(const stdfs::path& relative) {
    std::wstring out;
    for (const stdfs::path& part : relative) {
        const std::string name = Utf8Of(part);
        const std::wstring wide = FromUtf8(name);
        if (name.empty() || name == "." || name == ".." || wide.find(L'\\') != std::wstring::npos ||
            ToUtf8(wide) != name)
            return {};
        out += L'\\';
        out += wide;
    }
    return out;
}

// The real path of a volume path below a directory; empty when the path is not "\" or "\" followed by
// names separated by single backslashes, none of them "." or "..".
stdfs::path RealPathBelow(const stdfs::path& directory, const std::wstring& path) {
    if (path.empty() || path.front() != L'\\')
        return {};
    stdfs::path real = directory;
    if (path.size() == 1)
        return real;
    std::size_t start = 1;
    for (;;) {
        const std::size_t end = std::min(path.find(L'\\', start), path.size());
        const std::wstring name = path.substr(start, end - start);
        if (name.empty() || name == L"." || name == L"..")
            return {};
        real /= FromUtf8Path(ToUtf8(name));
        if (end == path.size())
            return real;
        start = end + 1;
    }
}

std::int64_t ClustersFor(std::uint64_t bytes, std::uint32_t clusterBytes) {
    return static_cast<std::int64_t>((bytes + clusterBytes - 1) / clusterBytes);
}

bool IsPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

}  // namespace

std::vector<FoundFile> FindFiles(const stdfs::path& directory, const std::wstring& below,
                                 std::string& error) {
    std::vector<FoundFile> found;
    std::error_code ec;
    const stdfs::path start = RealPathBelow(directory, below);
    if (start.empty())
        return found;
    stdfs::recursive_directory_iterator it(start, stdfs::directory_options::skip_permission_denied, ec);
    // The root of an empty drive has no entries at all (not even "." and ".."), which the Windows build's
    // library reports as "not found".
    std::error_code dirError;
    if (ec == std::errc::no_such_file_or_directory && stdfs::is_directory(start, dirError))
        return found;
    if (ec) {
        error = "cannot read the directory " + Utf8Of(start) + ": " + ec.message();
        return found;
    }
    for (const stdfs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::error_code statError;
        const stdfs::file_status status = it->symlink_status(statError);
        if (statError || !stdfs::is_regular_file(status))
            continue;
        const std::wstring path = VolumePathOf(it->path().lexically_relative(directory));
        if (path.empty())
            continue;
        const std::uint64_t bytes = it->file_size(statError);
        if (!statError)
            found.push_back({path, bytes});
    }
    if (ec) {
        error = "cannot read below " + Utf8Of(start) + ": " + ec.message();
        found.clear();
        return found;
    }
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
    return found;
}

DirectoryVolume::DirectoryVolume(stdfs::path directory, const Geometry& geometry)
    : directory_(std::move(directory)), volume_(geometry) {}

std::shared_ptr<DirectoryVolume> DirectoryVolume::Create(const stdfs::path& directory,
                                                         const DirectoryVolumeSettings& settings,
                                                         std::string& error) {
    const std::uint32_t clusterBytes = settings.clusterBytes;
    if (!IsPowerOfTwo(clusterBytes) || clusterBytes < 512 || clusterBytes > 65536) {
        error = "the cluster size must be a power of two from 512 to 65536 bytes";
        return nullptr;
    }
    std::error_code ec;
    if (!stdfs::is_directory(directory, ec)) {
        error = "not a directory: " + Utf8Of(directory);
        return nullptr;
    }
    error.clear();
    std::vector<FoundFile> found = FindFiles(directory, L"\\", error);
    if (!error.empty())
        return nullptr;
    std::int64_t needed = 0;
    for (const FoundFile& file : found)
        needed += ClustersFor(file.bytes, clusterBytes);

    std::int64_t clusters = 0;
    if (settings.volumeBytes == 0) {
        clusters = std::max(static_cast<std::int64_t>(kDefaultMinimumVolumeBytes / clusterBytes),
                            2 * needed + kBootClusters);
        clusters = std::min(clusters, kMaximumVolumeClusters);
    } else {
        const std::uint64_t whole = settings.volumeBytes / clusterBytes;
        if (whole < static_cast<std::uint64_t>(kMinimumVolumeClusters) ||
            whole > static_cast<std::uint64_t>(kMaximumVolumeClusters)) {
            error = "the volume must hold from " + std::to_string(kMinimumVolumeClusters) + " to " +
                    std::to_string(kMaximumVolumeClusters) + " clusters";
            return nullptr;
        }
        clusters = static_cast<std::int64_t>(whole);
    }
    if (needed > clusters - kBootClusters) {
        error = "the files found need " + std::to_string(needed) + " clusters and the volume has " +
                std::to_string(clusters - kBootClusters) + " for files";
        return nullptr;
    }
    // The boot area first, then the MFT zone, an eighth of the volume, as a fresh NTFS volume reserves it;
    // files start behind the zone and enter it only when nothing else is free.
    Geometry geometry;
    geometry.totalClusters = clusters;
    geometry.bytesPerCluster = clusterBytes;
    geometry.mftZoneStart = kBootClusters;
    geometry.mftZoneEnd = kBootClusters + std::max<std::int64_t>(clusters / 8, 1) - 1;
    auto volume = std::make_shared<DirectoryVolume>(directory, geometry);
    volume->volume_.Occupy(0, kBootClusters);
    {
        std::lock_guard lock(volume->mutex_);
        for (const FoundFile& file : found)
            volume->SyncLocked(file.path);
    }
    if (volume->shortfalls_.load() != 0) {
        error = "the files found do not fit in the volume";
        return nullptr;
    }
    return volume;
}

stdfs::path DirectoryVolume::RealPath(const std::wstring& path) const {
    return RealPathBelow(directory_, path);
}

std::optional<DirectoryVolume::RealFile> DirectoryVolume::Inspect(const std::wstring& path) const {
    const stdfs::path real = RealPath(path);
    if (real.empty())
        return std::nullopt;
#ifdef _WIN32
    // No file numbers through the standard library here: moves are followed only as the events pair them.
    std::error_code ec;
    const stdfs::file_status status = stdfs::symlink_status(real, ec);
    if (ec || !stdfs::is_regular_file(status))
        return std::nullopt;
    const std::uintmax_t bytes = stdfs::file_size(real, ec);
    if (ec)
        return std::nullopt;
    return RealFile{static_cast<std::uint64_t>(bytes), {}};
#else
    struct stat st {};
    if (lstat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return RealFile{static_cast<std::uint64_t>(st.st_size),
                    {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)}};
#endif
}

void DirectoryVolume::Forget(const std::wstring& tablePath) {
    auto it = idOf_.find(tablePath);
    if (it == idOf_.end())
        return;
    if (auto back = pathOf_.find(it->second); back != pathOf_.end() && back->second == tablePath)
        pathOf_.erase(back);
    idOf_.erase(it);
}

void DirectoryVolume::Remember(const std::wstring& tablePath, FileId id) {
    Forget(tablePath);
    if (!id.Known())
        return;
    idOf_[tablePath] = id;
    pathOf_[id] = tablePath;
}

void DirectoryVolume::DeleteLocked(const std::wstring& tablePath) {
    volume_.DeleteFile(tablePath);
    Forget(tablePath);
}

bool DirectoryVolume::RenameLocked(const std::wstring& from, const std::wstring& to) {
    if (!volume_.Rename(from, to))
        return false;
    auto it = idOf_.find(from);
    const FileId id = it == idOf_.end() ? FileId{} : it->second;
    Forget(from);
    Remember(to, id);
    return true;
}

void DirectoryVolume::SyncLocked(const std::wstring& requested) {
    syncs_.fetch_add(1, std::memory_order_relaxed);
    std::wstring path = requested;
    const std::optional<RealFile> real = Inspect(path);
    std::optional<SimVolume::FileState> known = volume_.Describe(path);
    if (known && known->path != path) {
        // The table holds this name in another spelling: the same file on a directory that ignores case,
        // a file whose twin in another case is still there, or one that is gone.
        const std::optional<RealFile> theirs = Inspect(known->path);
        bool same = false;
        if (real && theirs) {
            std::error_code ec;
            same = real->id.Known() ? real->id == theirs->id
                                    : stdfs::equivalent(RealPath(known->path), RealPath(path), ec);
        }
        if (same) {
            path = known->path;
        } else if (theirs) {
            if (real)
                nameClashes_.fetch_add(1, std::memory_order_relaxed);
            return;
        } else {
            DeleteLocked(known->path);
            known.reset();
        }
    }
    if (!real) {
        if (known)
            DeleteLocked(path);
        return;
    }
    if (known && real->id.Known()) {
        // Another file under the same name (deleted and made again, or another moved over it): the old
        // one's clusters are freed and the new one is laid out afresh.
        if (auto it = idOf_.find(path); it != idOf_.end() && it->second != real->id) {
            DeleteLocked(path);
            known.reset();
        }
    }
    if (!known && real->id.Known()) {
        // A file that moved in a way the events could not pair (into a folder made a moment before, or
        // across two reads of the events) is found by its file number and keeps its clusters.
        if (auto it = pathOf_.find(real->id); it != pathOf_.end()) {
            const std::wstring previous = it->second;
            const std::optional<RealFile> there = Inspect(previous);
            if ((!there || there->id != real->id) && RenameLocked(previous, path))
                known = volume_.Describe(path);
        }
    }
    if (!known)
        volume_.CreateFile(path);
    Remember(path, real->id);
    const std::int64_t clusters = ClustersFor(real->bytes, volume_.geometry().bytesPerCluster);
    const std::int64_t current = known ? known->clusters : 0;
    if (clusters > current) {
        if (!volume_.Append(path, clusters - current)) {
            shortfalls_.fetch_add(1, std::memory_order_relaxed);
            const std::int64_t free = volume_.FreeClusters();
            if (free > 0)
                volume_.Append(path, std::min(free, clusters - current));
        }
    } else if (clusters < current) {
        volume_.Truncate(path, clusters);
    }
}

void DirectoryVolume::SyncTreeLocked(const std::wstring& path) {
    const stdfs::path real = RealPath(path);
    if (real.empty())
        return;
    for (const std::wstring& file : volume_.FilesBelow(path))
        SyncLocked(file);
    std::error_code ec;
    const stdfs::file_status status = stdfs::symlink_status(real, ec);
    if (ec)
        return;
    if (stdfs::is_regular_file(status)) {
        SyncLocked(path);
    } else if (stdfs::is_directory(status)) {
        // A file the table holds under this very name was one of those compared just now (the loop above
        // makes no other name): of those found, only the others are new, so that a whole drive compared
        // at its start is not compared twice.
        std::string error;
        for (const FoundFile& file : FindFiles(directory_, path, error)) {
            const std::optional<SimVolume::FileState> known = volume_.Describe(file.path);
            if (!known || known->path != file.path)
                SyncLocked(file.path);
        }
    }
}

void DirectoryVolume::FileChanged(const std::wstring& path) {
    try {
        std::lock_guard lock(mutex_);
        SyncLocked(path);
    } catch (...) {
        // Out of memory: the next change of the file brings the layout up to date.
    }
}

void DirectoryVolume::Renamed(const std::wstring& from, const std::wstring& to) {
    try {
        std::lock_guard lock(mutex_);
        // Both ends must be paths below the root; otherwise each valid end is compared on its own.
        if (from.size() < 2 || to.size() < 2 || RealPath(from).empty() || RealPath(to).empty()) {
            for (const std::wstring* path : {&from, &to}) {
                if (!RealPath(*path).empty())
                    SyncTreeLocked(*path);
            }
            return;
        }
        const std::vector<std::wstring> moving = volume_.FilesBelow(from);
        const std::size_t prefix = from.size();
        for (const std::wstring& file : moving) {
            const std::wstring target = to + file.substr(std::min(prefix, file.size()));
            // A file that the move replaced is gone. One that differs from the target in case only and is
            // still there keeps its name, and the moved file leaves the layout, as a clash.
            if (auto there = volume_.Describe(target); there && there->path != file) {
                if (Inspect(there->path) && there->path != target) {
                    DeleteLocked(file);
                    nameClashes_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                DeleteLocked(there->path);
            }
            RenameLocked(file, target);
        }
        SyncTreeLocked(to);
        SyncTreeLocked(from);
    } catch (...) {
    }
}

void DirectoryVolume::TreeChanged(const std::wstring& path) {
    try {
        std::lock_guard lock(mutex_);
        SyncTreeLocked(path);
    } catch (...) {
    }
}

std::string DirectoryVolume::Audit() {
    std::lock_guard lock(mutex_);
    if (std::string fault = volume_.Check(); !fault.empty())
        return fault;
    std::string error;
    const std::vector<FoundFile> found = FindFiles(directory_, L"\\", error);
    if (!error.empty())
        return error;
    const std::uint32_t clusterBytes = volume_.geometry().bytesPerCluster;
    std::int64_t used = kBootClusters;
    std::size_t laidOut = 0;
    for (const FoundFile& file : found) {
        const std::optional<SimVolume::FileState> known = volume_.Describe(file.path);
        if (!known)
            return "not in the layout: " + ToUtf8(file.path);
        if (known->path != file.path)
            continue;  // a twin in another case, left out
        ++laidOut;
        const std::int64_t clusters = ClustersFor(file.bytes, clusterBytes);
        if (known->clusters != clusters)
            return ToUtf8(file.path) + " has " + std::to_string(known->clusters) +
                   " clusters in the layout and " + std::to_string(clusters) + " on disk";
        used += clusters;
    }
    if (laidOut != volume_.Files().size())
        return "the layout holds " + std::to_string(volume_.Files().size()) + " files, the directory " +
               std::to_string(laidOut);
    volume_.Checkpoint();
    if (volume_.FreeClusters() != volume_.geometry().totalClusters - used)
        return std::to_string(volume_.geometry().totalClusters - used - volume_.FreeClusters()) +
               " clusters are used by no file";
    return {};
}

std::int64_t DirectoryVolume::FragmentCount() const {
    std::int64_t fragments = 0;
    for (const std::wstring& file : volume_.Files())
        fragments += volume_.Fragments(file);
    return fragments;
}

DirectoryVolume::Counts DirectoryVolume::Stats() const {
    return {syncs_.load(), shortfalls_.load(), nameClashes_.load()};
}

}  // namespace kestrel::sim
