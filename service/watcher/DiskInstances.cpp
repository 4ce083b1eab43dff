#include "service/watcher/DiskInstances.h"

namespace kestrel::watcher {

std::wstring FindDiskInstance(const std::vector<std::wstring>& instances, const std::wstring& drivePath) {
    if (drivePath.empty())
        return {};
    for (const std::wstring& name : instances) {
        if (name.size() > 1 && name.find(drivePath[0], 1) != std::wstring::npos)
            return name;
    }
    return {};
}

}  // namespace kestrel::watcher
