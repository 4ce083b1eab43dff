// The drive-values thread: measures the volume's free clusters every five minutes, or every second while
// it finds none. The count streams the bitmap request's pages (engine/FreeClusterCount.h) instead of
// building an engine with a full bitmap copy beside the defragmentation thread's own, so a watched drive
// holds one copy of its bitmap, and the count is kept in 64 bits.
#include "platform/Trace.h"
#include "service/engine/FreeClusterCount.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {
namespace {

constexpr timing::Millis kStopPollMs = 1;
constexpr timing::Millis kMeasureEveryMs = 300000;  // while the volume has free clusters
constexpr timing::Millis kRetryEmptyMs = 1000;      // while it shows none

}  // namespace

std::uint32_t Watcher::GetDriveValuesProc(Watcher* self) {
    try {
        for (;;) {
            if (self->stop_.Wait(kStopPollMs))
                break;
            const std::optional<std::int64_t> total =
                engine::CountFreeClusters(self->fileSystem_, self->drivePath_, &self->stop_);
            if (!total)
                break;  // stopped while the volume's data was being retried
            self->freeClusters_.store(*total, std::memory_order_relaxed);
            self->driveMeasurements_.fetch_add(1, std::memory_order_relaxed);
            if (self->stop_.Wait(*total > 0 ? kMeasureEveryMs : kRetryEmptyMs))
                break;
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetDriveValuesProc");
    }
    return 0;
}

}  // namespace kestrel::watcher
