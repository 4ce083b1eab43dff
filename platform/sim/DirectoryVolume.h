// A simulated NTFS volume laid beneath a directory of real files: the layout of a directory-backed drive.
//
// Every regular file below the directory is a file of the volume's table, with as many clusters as its
// size needs (a file of 0 bytes owns none). The table follows the real files through the DriveLayout
// calls: a file that appears or grows is extended the way the volume allocates (in place while the
// clusters behind it are free, else from the next free run, so files growing side by side interleave), a
// file that shrinks is cut, a renamed file keeps its clusters under its new name, a deleted one is freed.
// The files found when the volume is created are laid out one after the other, in name order. Where the
// system numbers its files (inodes), a file is recognised by its number: one that moved in a way the
// events could not pair keeps its clusters, and another file made under a known name is a new file.
//
// The layout sees a file's size when it is told of a change, not at each write: a burst of writes that
// ends before change notification reports it is laid out as one allocation, as if written at once.
//
// The real files' bytes are never read or written: moves happen in the layout only, and the content tags
// of its clusters are what proves that a move lost nothing.
//
// Names: the volume compares paths without regard to case, the directory may not. When two real files
// differ in case only, the first laid out keeps the name and the other stays out of the layout (counted
// in Counts::nameClashes). A real name that cannot be a volume path (one holding a backslash, or not
// valid UTF-8) is never found again under its volume path and so is not laid out either.
//
// When the volume is full, a file grows only as far as the free clusters allow (Counts::shortfalls).
//
// Thread-safety: one lock serialises the calls that compare the layout with the directory, so that two
// of them never race between a file's size and its update; the volume itself has its own lock and may be
// asked anything meanwhile (the engine's requests, the tests' checks). Never throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/DriveLayout.h"
#include "platform/sim/SimVolume.h"

namespace kestrel::sim {

// The bytes of a volume when none is given: at least this, and at least twice the bytes found.
inline constexpr std::uint64_t kDefaultMinimumVolumeBytes = std::uint64_t{1} << 30;
inline constexpr std::uint32_t kDefaultClusterBytes = 4096;
// The largest volume, in clusters, that a directory may be given (its bitmap is then 512 MiB).
inline constexpr std::int64_t kMaximumVolumeClusters = std::int64_t{1} << 32;
// The smallest, in clusters: room for the boot area, the MFT zone and some files.
inline constexpr std::int64_t kMinimumVolumeClusters = 256;
// Clusters at the start of the volume held by the boot sector and its neighbours, owned by no file.
inline constexpr std::int64_t kBootClusters = 16;

struct DirectoryVolumeSettings {
    // Size of the volume in bytes, rounded down to whole clusters; 0: the default (see above).
    std::uint64_t volumeBytes = 0;
    // Bytes of a cluster: a power of two from 512 to 65,536.
    std::uint32_t clusterBytes = kDefaultClusterBytes;
};

class DirectoryVolume : public drives::DriveLayout {
  public:
    // Lays out the files below `directory`. Null and a description in `error` when the directory cannot
    // be read, the settings are out of range, or the files found do not fit in the volume.
    static std::shared_ptr<DirectoryVolume> Create(const std::filesystem::path& directory,
                                                   const DirectoryVolumeSettings& settings,
                                                   std::string& error);

    SimVolume& Volume() { return volume_; }
    const std::filesystem::path& Directory() const { return directory_; }

    void FileChanged(const std::wstring& path) override;
    void Renamed(const std::wstring& from, const std::wstring& to) override;
    void TreeChanged(const std::wstring& path) override;

    // The real file a volume path names.
    std::filesystem::path RealPath(const std::wstring& path) const;

    // The consistency check of the volume, and the layout compared with the directory: every regular
    // file there has the clusters its size needs, nothing else has any, and no cluster is used besides
    // theirs and the boot area's once the clusters held since moves are released (this ends their hold).
    // Empty when all is well, else the first difference found. For the end of a run, when the files
    // have stopped changing.
    std::string Audit();
    // The files of the layout and their fragments, for reports.
    std::size_t FileCount() const { return volume_.Files().size(); }
    std::int64_t FragmentCount() const;

    struct Counts {
        std::uint64_t syncs = 0;        // files compared with the directory
        std::uint64_t shortfalls = 0;   // times a file could not get all the clusters its size needs
        std::uint64_t nameClashes = 0;  // times a file stayed out because another one holds its name
    };
    Counts Stats() const;

    DirectoryVolume(std::filesystem::path directory, const Geometry& geometry);

  private:
    // The layout of one file made to match the directory; the lock is held.
    void SyncLocked(const std::wstring& path);
    // Every file of the layout below `path` and every real file below it made to match; the lock is held.
    void SyncTreeLocked(const std::wstring& path);
    // A regular file at the real path of a volume path: its size and, where the system gives one, its
    // file number (device and inode), which stays with the file through moves.
    struct FileId {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool Known() const { return inode != 0; }
        auto operator<=>(const FileId&) const = default;
    };
    struct RealFile {
        std::uint64_t bytes = 0;
        FileId id;
    };
    std::optional<RealFile> Inspect(const std::wstring& path) const;
    // The file numbers of the table's files (by the table's spelling) and back; the lock is held.
    void Forget(const std::wstring& tablePath);
    void Remember(const std::wstring& tablePath, FileId id);
    void DeleteLocked(const std::wstring& tablePath);
    bool RenameLocked(const std::wstring& from, const std::wstring& to);

    std::filesystem::path directory_;
    SimVolume volume_;
    std::mutex mutex_;
    std::map<FileId, std::wstring> pathOf_;
    std::map<std::wstring, FileId> idOf_;
    std::atomic<std::uint64_t> syncs_{0};
    std::atomic<std::uint64_t> shortfalls_{0};
    std::atomic<std::uint64_t> nameClashes_{0};
};

// The volume paths of the regular files below a directory, in name order ("\DIR\FILE"), with their sizes.
struct FoundFile {
    std::wstring path;
    std::uint64_t bytes = 0;
};
std::vector<FoundFile> FindFiles(const std::filesystem::path& directory, const std::wstring& below,
                                 std::string& error);

}  // namespace kestrel::sim
