// Windows drives: the system's own calls.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/Drives.h"

namespace kestrel::drives {
namespace {

// The buffer sizes of the mount-point calls, in wide characters.
constexpr DWORD kNameChars = 8192;
constexpr DWORD kFileSystemNameChars = 4096;

class Win32MountPointSearch : public MountPointSearch {
  public:
    explicit Win32MountPointSearch(HANDLE find) : find_(find) {}
    ~Win32MountPointSearch() override { FindVolumeMountPointClose(find_); }
    bool Next(std::wstring& folder) override {
        std::vector<wchar_t> buffer(kNameChars, L'\0');
        if (!FindNextVolumeMountPointW(find_, buffer.data(), kNameChars))
            return false;
        folder = buffer.data();
        return true;
    }

  private:
    HANDLE find_;
};

class Win32Drives : public Drives {
  public:
    std::uint32_t DriveType(const std::wstring& root) override { return GetDriveTypeW(root.c_str()); }

    // A drive whose volume answers. A removable drive without its medium fails with ERROR_NOT_READY;
    // the error mode keeps the system from asking the (absent) user to insert one.
    bool DriveReady(const std::wstring& root) override {
        DWORD previous = 0;
        SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
        const BOOL ready =
            GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0);
        SetThreadErrorMode(previous, nullptr);
        return ready != FALSE;
    }

    bool VolumeNameForMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) override {
        std::vector<wchar_t> buffer(kNameChars, L'\0');
        if (!GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), buffer.data(), kNameChars))
            return false;
        volumeName = buffer.data();
        return true;
    }

    bool VolumeInformation(const std::wstring& volumeName, std::uint32_t& fileSystemFlags,
                           std::wstring& fileSystemName) override {
        std::vector<wchar_t> name(kFileSystemNameChars, L'\0');
        DWORD flags = 0;
        if (!GetVolumeInformationW(volumeName.c_str(), nullptr, 0, nullptr, nullptr, &flags, name.data(),
                                   kFileSystemNameChars))
            return false;
        fileSystemFlags = flags;
        fileSystemName = name.data();
        return true;
    }

    // The volume GUID name and the serial number: a medium formatted anew keeps neither.
    bool SignalsVolumeChanges() const override { return true; }

    std::wstring VolumeIdentity(const std::wstring& root) override {
        std::wstring identity;
        VolumeNameForMountPoint(root, identity);
        DWORD previous = 0;
        SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
        DWORD serial = 0;
        const BOOL read =
            GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
        SetThreadErrorMode(previous, nullptr);
        if (read)
            identity += L"|" + std::to_wstring(serial);
        return identity;
    }

    std::unique_ptr<MountPointSearch> FindFirstMountPoint(const std::wstring& volumeName,
                                                          std::wstring& first) override {
        std::vector<wchar_t> buffer(kNameChars, L'\0');
        HANDLE find = FindFirstVolumeMountPointW(volumeName.c_str(), buffer.data(), kNameChars);
        if (find == INVALID_HANDLE_VALUE)
            return nullptr;
        first = buffer.data();
        return std::make_unique<Win32MountPointSearch>(find);
    }
};

}  // namespace

Drives& DefaultDrives() {
    static Win32Drives drives;
    return drives;
}

std::wstring DirectoryIdentity(const std::wstring&) {
    return {};  // drive tables of directories are the host's; Windows tests give none
}

}  // namespace kestrel::drives
