// Change notification that brings a drive's simulated layout up to date before the watcher hears of a
// change, for a drive whose files lie in a directory of the system while its layout is simulated and the
// system's own change notification knows nothing of the layout (the test build of the service under Wine,
// over ReadDirectoryChangesW). The host's inotify adapter does this itself, with more events to go by.
//
// It wraps another change notification. A watch it opens on the root of a drive that has a layout reads
// each completed batch before the watcher's handler does: the file of every record is synced in the
// layout (DriveLayout::FileChanged), in order, then the handler runs on the same thread. A completion
// that lost its records (no bytes, ERROR_NOTIFY_ENUM_DIR) makes the layout compare the whole drive.
// Records are read as the watcher reads them: a malformed one ends the batch. Roots of other drives get
// the inner notification's watch unchanged.
//
// Add layouts before opening watches; Open is thread-safe, each watch is used by one thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/ChangeNotification.h"
#include "platform/DriveLayout.h"

namespace kestrel::notify {

class LayoutSyncingChangeNotification : public ChangeNotification {
  public:
    explicit LayoutSyncingChangeNotification(ChangeNotification& inner) : inner_(inner) {}
    // The layout of the drive of a letter ('A' to 'Z', either case); others are ignored.
    void Add(wchar_t letter, std::shared_ptr<drives::DriveLayout> layout);
    std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) override;

  private:
    ChangeNotification& inner_;
    std::mutex mutex_;
    std::map<wchar_t, std::shared_ptr<drives::DriveLayout>> layouts_;
};

// Syncs in `layout` the file of every record of a batch (`bytes` bytes), in order; returns how many.
std::size_t SyncBatch(drives::DriveLayout& layout, const std::uint8_t* batch, std::uint32_t bytes);

}  // namespace kestrel::notify
