// Which "PhysicalDisk" performance instance holds a drive. Instance names are a disk number followed by
// the drive letters on that disk ("0 C: D:"), plus the summary instance "_Total".
#pragma once

#include <string>
#include <vector>

namespace kestrel::watcher {

// The first instance name that contains the drive path's first character at a position other than the
// first (exact, case-sensitive comparison); empty when there is none or the drive path is empty.
std::wstring FindDiskInstance(const std::vector<std::wstring>& instances, const std::wstring& drivePath);

}  // namespace kestrel::watcher
