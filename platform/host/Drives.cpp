// Host drives: the drive table of host mode.
#include "platform/DriveTable.h"

#include <sys/stat.h>

#include <string>

#include "common/Utf16.h"

namespace kestrel::drives {

std::wstring DirectoryIdentity(const std::wstring& directory) {
    struct stat status {};
    if (::stat(ToUtf8(directory).c_str(), &status) != 0)
        return {};
    return std::to_wstring(status.st_dev) + L":" + std::to_wstring(status.st_ino);
}

Drives& DefaultDrives() {
    return HostDriveTable();
}

}  // namespace kestrel::drives
