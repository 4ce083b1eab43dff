// The folders of a drive at which other volumes are mounted.
#pragma once

#include <list>
#include <string>

#include "platform/Drives.h"

namespace kestrel::watcher {

// Appends to `out` every folder of the drive at which another volume is mounted, as a full path: the
// drive's root followed by the folder as the system reports it (ending in a backslash). The drive path
// is the letter alone, the letter and a colon, or the root. Returns false in every case: the list is
// the only output. Any failure of the system calls ends the enumeration quietly, keeping what was
// appended so far; so does a file system without reparse points (it cannot carry mount points).
bool ListVolumeMountPoints(drives::Drives& drives, const std::wstring& drivePath,
                           std::list<std::wstring>& out);
bool ListVolumeMountPoints(const std::wstring& drivePath, std::list<std::wstring>& out);

}  // namespace kestrel::watcher
