#include "service/watcher/MountPoints.h"

namespace kestrel::watcher {

bool ListVolumeMountPoints(drives::Drives& drives, const std::wstring& drivePath,
                           std::list<std::wstring>& out) {
    std::wstring root = drivePath;
    if (root.size() == 1) {
        root += L":\\";
    } else if (root.size() == 2) {
        root += L"\\";
    }
    if (root.size() < 3 || root.compare(1, 2, L":\\") != 0)
        return false;
    std::wstring volumeName;
    if (!drives.VolumeNameForMountPoint(root, volumeName))
        return false;
    std::uint32_t flags = 0;
    std::wstring fileSystemName;
    if (!drives.VolumeInformation(volumeName, flags, fileSystemName) ||
        (flags & drives::kFileSupportsReparsePoints) == 0)
        return false;
    std::wstring folder;
    std::unique_ptr<drives::MountPointSearch> search = drives.FindFirstMountPoint(volumeName, folder);
    if (!search)
        return false;
    do {
        std::wstring mountPoint = root + folder;
        out.push_back(mountPoint);
        std::wstring mountedVolume;  // looked up as the system's own tools do; not needed here
        drives.VolumeNameForMountPoint(mountPoint, mountedVolume);
    } while (search->Next(folder));
    return false;
}

bool ListVolumeMountPoints(const std::wstring& drivePath, std::list<std::wstring>& out) {
    return ListVolumeMountPoints(drives::DefaultDrives(), drivePath, out);
}

}  // namespace kestrel::watcher
