// Which "PhysicalDisk" performance instance holds a drive. Instance names are a disk number followed by
// the drive letters on that disk ("0 C: D:"), plus the summary instance "_Total".
#pragma once

#include <string>
#include <vector>

#include "platform/DiskCounters.h"

namespace kestrel::watcher {

// The instance names of the "PhysicalDisk" performance object, in the order the system lists them;
// empty when the object is missing (as under Wine) or the enumeration fails. Writes the enumeration's
// trace and console lines.
std::vector<std::wstring> EnumPhysicalDisks(perf::DiskCounters& counters = perf::DefaultDiskCounters());

// The first instance name that contains the drive path's first character at a position other than the
// first (exact, case-sensitive comparison); empty when there is none or the drive path is empty.
std::wstring FindDiskInstance(const std::vector<std::wstring>& instances, const std::wstring& drivePath);

}  // namespace kestrel::watcher
