// What keeps the layout of a drive in step with the real files that back it. On the host a drive letter
// is a directory of real files with a simulated NTFS layout beneath it (platform/sim/DirectoryVolume.h);
// the host's change notification tells the layout about every change it sees in the directory before it
// hands the watcher the batch that names the file, so that the engine always maps a file at its current
// size.
//
// Paths are volume-relative ("\DIR\FILE"), as the drive's file-system control names them. Every method
// looks at the directory as it is when called, not as it was when the change happened: a layout told late
// or twice still ends up matching the files. Thread-safe; never throws.
#pragma once

#include <string>

namespace kestrel::drives {

class DriveLayout {
  public:
    virtual ~DriveLayout() = default;
    // The file at `path` was created, written, truncated or deleted: its place in the layout is created,
    // grown, cut or freed to match the real file's current size (or its absence).
    virtual void FileChanged(const std::wstring& path) = 0;
    // A file or a directory moved from `from` to `to` inside the drive: its clusters go with it (a file
    // that the move replaced is freed), then the layout follows what is at `to` now.
    virtual void Renamed(const std::wstring& from, const std::wstring& to) = 0;
    // Anything below the directory `path` ("\" for the whole drive) may have changed without the details
    // being known (a directory deleted or moved in or out, lost events): every file below it is compared
    // with the directory.
    virtual void TreeChanged(const std::wstring& path) = 0;
};

}  // namespace kestrel::drives
