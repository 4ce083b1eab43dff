// Host change notification over inotify; see platform/ChangeNotification.h. A drive root is resolved to
// its backing directory through a drive table (the host's own by default).
#pragma once

#include "platform/ChangeNotification.h"
#include "platform/DriveTable.h"

namespace kestrel::notify {

class InotifyChangeNotification : public ChangeNotification {
  public:
    explicit InotifyChangeNotification(drives::DriveTable& table) : table_(table) {}
    // The root must be a drive root "X:\" whose drive has a backing directory (else kErrorInvalidName or
    // kErrorPathNotFound). Every directory below it is watched from here on.
    std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) override;

  private:
    drives::DriveTable& table_;
};

}  // namespace kestrel::notify
