// Host mode's drives: each drive letter is a directory of real files with a simulated NTFS volume laid
// beneath it (platform/sim/DirectoryVolume.h). Mounting a letter lays out the files found, mounts the
// volume in a simulated file-system control (where the engine's requests go) and gives the letter the
// directory in a drive table (what the service scans and change notification watches); the table entry
// carries the layout, so that change notification keeps it in step with the files.
//
// The service's host program takes the user's drives from its command line:
//     --drive D=/path/to/dir      the letter D is the directory (repeatable, one letter each, C to Z:
//                                 the letters the service scans)
//     --volume-size 4G            bytes of each simulated volume (K, M, G, T: powers of 1024); default:
//                                 at least 1 GiB and twice the bytes already in the directory
//     --cluster-size 4096         bytes of a cluster, a power of two from 512 to 65536; default 4096
// ("--option=value" works too). The host drive table holds exactly the letters given.
//
// Host adapters only (platform/host/DirectoryDrives.cpp). Thread-safe.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/sim/DirectoryVolume.h"
#include "platform/sim/SimFileSystem.h"

namespace kestrel::host {

class DirectoryDrives {
  public:
    DirectoryDrives(drives::DriveTable& table, sim::SimFileSystem& fileSystem);
    // Unmounts every letter it mounted; the volumes go with it.
    ~DirectoryDrives();
    DirectoryDrives(const DirectoryDrives&) = delete;
    DirectoryDrives& operator=(const DirectoryDrives&) = delete;

    // Lays out the files below `directory` on a new volume and mounts it under `letter` ('A' to 'Z',
    // either case), replacing whatever the letter had. False and a message in `error` when the letter is
    // not one, the directory is not one, or the volume cannot be made (see DirectoryVolume::Create).
    bool Mount(wchar_t letter, const std::filesystem::path& directory,
               const sim::DirectoryVolumeSettings& settings, std::string& error);
    // Takes the letter out of the table and the file system; its open handles go stale. The volume itself
    // stays until this object goes, since a request on another thread may still be inside it.
    void Unmount(wchar_t letter);
    // The volume of a letter; null when none is mounted.
    std::shared_ptr<sim::DirectoryVolume> Volume(wchar_t letter) const;
    // The letters mounted, in order.
    std::vector<wchar_t> Letters() const;

  private:
    drives::DriveTable& table_;
    sim::SimFileSystem& fileSystem_;
    mutable std::mutex mutex_;
    std::map<wchar_t, std::shared_ptr<sim::DirectoryVolume>> volumes_;
    std::vector<std::shared_ptr<sim::DirectoryVolume>> retired_;  // unmounted or replaced
};

// The drives of host mode: the host drive table and the host's file-system control.
DirectoryDrives& HostDirectoryDrives();
// The host's file-system control as the simulated one it is.
sim::SimFileSystem& HostSimFileSystem();

// The drive options of a command line.
struct DirectoryDriveOptions {
    struct Drive {
        wchar_t letter = 0;  // upper case
        std::filesystem::path directory;
    };
    std::vector<Drive> drives;
    sim::DirectoryVolumeSettings settings;
};

// Takes the drive options (see above) out of `arguments`, leaving the others in their order. False and a
// message in `error` for a malformed value, a missing one, or a letter given twice.
bool TakeDirectoryDriveOptions(std::vector<std::wstring>& arguments, DirectoryDriveOptions& options,
                               std::string& error);
// A byte count: decimal digits with an optional K, M, G or T (either case, powers of 1024). False when
// malformed or beyond 64 bits.
bool ParseByteCount(const std::wstring& text, std::uint64_t& bytes);
// Mounts every drive of the options; stops at the first that fails, with its message ("D: ...").
bool MountDirectoryDrives(DirectoryDrives& drives, const DirectoryDriveOptions& options, std::string& error);

}  // namespace kestrel::host
