// Host change notification over inotify; see platform/ChangeNotification.h. A drive root is resolved to
// its backing directory through a drive table (the host's own by default).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ChangeNotification.h"
#include "platform/DriveTable.h"

namespace kestrel::notify {

class InotifyChangeNotification : public ChangeNotification {
  public:
    explicit InotifyChangeNotification(drives::DriveTable& table) : table_(table) {}
    // The root must be a drive root "X:\" whose drive has a backing directory (else kErrorInvalidName or
    // kErrorPathNotFound). Every directory below it is watched from here on; when the root itself cannot
    // be watched (the inotify watch limit reached, say) the Open fails with the error of that.
    std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) override;

    // Directories that could not be watched so far, over every watch this notification opened.
    std::uint64_t FailedWatches() const { return counters_->failedWatches.load(); }

    // For tests: each watch refuses a new inotify watch beyond `watches` directories as the kernel does at
    // its limit (ENOSPC); a negative number lifts the limit.
    void LimitWatches(std::int64_t watches) { counters_->watchLimit.store(watches); }

    struct Counters {
        std::atomic<std::uint64_t> failedWatches{0};
        // The watch limit is said once on standard error, whichever drive meets it first (the service has
        // one notification: DefaultChangeNotification).
        std::atomic<bool> limitSaid{false};
        std::atomic<std::int64_t> watchLimit{-1};
    };

  private:
    drives::DriveTable& table_;
    std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
};

}  // namespace kestrel::notify
