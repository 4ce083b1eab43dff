// One pending file of a Watcher: queued by change notification or from a saved list, moved into the
// defragmentation thread's pending-file map, and handed back to the drive set at shutdown.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::watcher {

struct FileEntry {
    // Full path of the file: the drive root followed by the path within the drive.
    std::wstring path;
    // Defragmentation attempts that did not help; 0 when queued.
    std::uint32_t attempts = 0;
    // Seconds since 1 January 1970 (timing::UnixTime) when the entry was queued or its last attempt failed.
    std::int64_t queuedTime = 0;
    // The placement fields, all 0 until the file is measured:
    std::int64_t firstLcn = 0;    // first cluster of the file on the volume
    std::uint32_t clusters = 0;   // clusters the file occupies (sum of its extents)
    std::uint32_t vcnLength = 0;  // clusters the file spans (rounded up to 16 for compressed files)
    std::int64_t fragments = 0;   // physically separate pieces; 0 means not measured yet
};

// The key of a file in the pending-file map: h = h * 33 + c over the path's UTF-16 code units, modulo
// 2^32, so that both targets give the same value whatever the width of wchar_t.
std::uint32_t PathHash(const std::wstring& path);

}  // namespace kestrel::watcher
