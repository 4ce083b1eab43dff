// The drives boundary: what the service asks about drive roots and volumes.
//
// Windows (win32/Drives.cpp): GetDriveTypeW, GetVolumeNameForVolumeMountPointW, GetVolumeInformationW,
// FindFirstVolumeMountPointW / FindNextVolumeMountPointW / FindVolumeMountPointClose.
// Host: the host drive table (platform/DriveTable.h), which host mode fills.
// Tests: a DriveTable of their own, given where a Drives is asked for.
//
// All methods are thread-safe; failures are a false / null result, never an exception.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel::drives {

// Drive types, with the values of GetDriveTypeW.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdRom = 5;
inline constexpr std::uint32_t kDriveRamDisk = 6;

// File-system flags of GetVolumeInformationW that callers look at.
inline constexpr std::uint32_t kFileCaseSensitiveSearch = 0x00000001;
inline constexpr std::uint32_t kFileCasePreservedNames = 0x00000002;
inline constexpr std::uint32_t kFileUnicodeOnDisk = 0x00000004;
inline constexpr std::uint32_t kFilePersistentAcls = 0x00000008;
inline constexpr std::uint32_t kFileFileCompression = 0x00000010;
inline constexpr std::uint32_t kFileSupportsSparseFiles = 0x00000040;
inline constexpr std::uint32_t kFileSupportsReparsePoints = 0x00000080;

// An enumeration of the mount points of one volume, started by Drives::FindFirstMountPoint. Destroying
// it ends the enumeration (FindVolumeMountPointClose). Used by one thread.
class MountPointSearch {
  public:
    virtual ~MountPointSearch() = default;
    // The next mount point's folder path relative to the volume's root, ending in a backslash
    // ("MNT\DATA\"); false when there are no more or the enumeration failed.
    virtual bool Next(std::wstring& folder) = 0;
};

class Drives {
  public:
    virtual ~Drives() = default;
    // The type of the drive at a root ("C:\"): one of the kDrive values; kDriveNoRootDir when there is
    // no such drive.
    virtual std::uint32_t DriveType(const std::wstring& root) = 0;
    // Whether the drive at a root ("C:\\") can be used now: it exists and has a readable volume (a
    // removable drive without its medium is not ready). By default: the drive exists.
    virtual bool DriveReady(const std::wstring& root) { return DriveType(root) != kDriveNoRootDir; }
    // The volume GUID name ("\\?\Volume{...}\") of the volume mounted at a root or mount-point folder
    // ("C:\", "C:\MNT\DATA\"); false when there is none.
    virtual bool VolumeNameForMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) = 0;
    // The file-system flags and name of a volume given by its GUID name; false when it cannot be read.
    virtual bool VolumeInformation(const std::wstring& volumeName, std::uint32_t& fileSystemFlags,
                                   std::wstring& fileSystemName) = 0;
    // A text that names the volume at a drive root now and changes when another volume takes the letter
    // (another medium in a removable drive, a volume mounted anew): the drive set compares it to find a
    // watcher whose drive went away and came back. Empty when the root has no volume. By default the
    // volume GUID name.
    virtual std::wstring VolumeIdentity(const std::wstring& root) {
        std::wstring name;
        return VolumeNameForMountPoint(root, name) ? name : std::wstring();
    }
    // Whether the system tells the service when a volume arrives or goes (device events, Windows). Where
    // it does not (the host's drive table), the drive set compares each watched drive's VolumeIdentity
    // with the one its watcher was made for once a poll, so that a directory replaced or covered by a
    // mount is noticed; where it does, that look (a volume query a drive a second) is left out.
    virtual bool SignalsVolumeChanges() const { return false; }
    // Starts enumerating the folders of a volume (given by its GUID name) at which other volumes are
    // mounted. Null when there are none or the enumeration cannot start (e.g. without the rights); else
    // the first folder is in `first` and the search gives the rest.
    virtual std::unique_ptr<MountPointSearch> FindFirstMountPoint(const std::wstring& volumeName,
                                                                  std::wstring& first) = 0;
};

// The drives of this process: the system's on Windows, the host drive table on the host.
Drives& DefaultDrives();

}  // namespace kestrel::drives
