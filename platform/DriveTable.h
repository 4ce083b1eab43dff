// A drive table: drive letters mapped to drives described in memory. It is the host's drives (host
// mode adds a letter for every directory it serves as a drive; HostDriveTable()) and the tests' fixed
// table; it answers the Drives boundary from what it holds.
//
// Each entry has a type (kDriveFixed unless said otherwise), a backing directory (host paths; may be
// empty in tests), a volume GUID name ("\\?\Volume{00000000-0000-0000-0000-0000000000XX}\", XX the
// letter's code, unless set), file-system flags and name (those of NTFS unless set), and the folders at
// which other volumes are mounted on it, and, for a drive of host mode, the simulated layout beneath the
// directory (platform/DriveLayout.h), which change notification keeps in step with the files. Besides the
// folders given explicitly, a drive whose backing directory lies inside another drive's backing directory
// counts as mounted at that folder of the other drive, the way a volume mounted in a folder appears on
// Windows.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/DriveLayout.h"
#include "platform/Drives.h"

namespace kestrel::drives {

struct DriveEntry {
    std::uint32_t type = kDriveFixed;
    std::wstring directory;   // backing directory on the host; empty when there is none
    std::wstring volumeName;  // empty: derived from the letter
    std::uint32_t fileSystemFlags = kFileCaseSensitiveSearch | kFileCasePreservedNames | kFileUnicodeOnDisk |
                                    kFilePersistentAcls | kFileFileCompression | kFileSupportsSparseFiles |
                                    kFileSupportsReparsePoints;
    std::wstring fileSystemName = L"NTFS";
    std::vector<std::wstring> mountPoints;  // folders relative to the root, each ending in a backslash
    bool ready = true;                      // false: the drive is there without a medium
    // The simulated layout beneath the backing directory, which change notification keeps in step with
    // the files; null for a drive without one.
    std::shared_ptr<DriveLayout> layout;
};

// A drive of the given type backed by a host directory, everything else as by default.
inline DriveEntry BackedBy(std::wstring directory, std::uint32_t type = kDriveFixed) {
    DriveEntry entry;
    entry.type = type;
    entry.directory = std::move(directory);
    return entry;
}

// What tells one directory from another at the same path: the device and inode on the host, empty
// where the system gives nothing of the kind (Windows) or the directory cannot be looked at.
std::wstring DirectoryIdentity(const std::wstring& directory);

class DriveTable : public Drives {
  public:
    // Adds or replaces the drive of a letter ('A' to 'Z', either case); other letters are ignored. What
    // is set counts as a new volume (VolumeIdentity changes), as a medium inserted anew does.
    void Set(wchar_t letter, DriveEntry entry);
    void Remove(wchar_t letter);
    std::optional<DriveEntry> Find(wchar_t letter) const;
    // The backing directory of the drive of a root or path ("C:\..."); empty when none.
    std::wstring DirectoryOf(const std::wstring& path) const;

    std::uint32_t DriveType(const std::wstring& root) override;
    // Ready when the letter has an entry marked ready whose backing directory, if it has one, exists.
    bool DriveReady(const std::wstring& root) override;
    bool VolumeNameForMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) override;
    bool VolumeInformation(const std::wstring& volumeName, std::uint32_t& fileSystemFlags,
                           std::wstring& fileSystemName) override;
    // The volume name, the backing directory and the number of the Set that made the entry.
    std::wstring VolumeIdentity(const std::wstring& root) override;
    std::unique_ptr<MountPointSearch> FindFirstMountPoint(const std::wstring& volumeName,
                                                          std::wstring& first) override;

    // The GUID name a letter's drive has when none is set.
    static std::wstring DefaultVolumeName(wchar_t letter);

  private:
    // The upper-case letter of a drive root "X:\" (or "X:"), 0 when the text is not one.
    static wchar_t LetterOfRoot(const std::wstring& root);
    std::wstring VolumeNameLocked(wchar_t letter, const DriveEntry& entry) const;
    std::vector<std::wstring> MountPointsLocked(wchar_t letter, const DriveEntry& entry) const;

    mutable std::mutex mutex_;
    std::map<wchar_t, DriveEntry> entries_;
    std::map<wchar_t, std::uint64_t> setNumbers_;  // which Set made each entry
    std::uint64_t sets_ = 0;
};

// The drive table of host mode (the host's DefaultDrives). Empty until host mode fills it.
DriveTable& HostDriveTable();

}  // namespace kestrel::drives
