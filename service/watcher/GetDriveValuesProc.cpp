// The drive-values thread. For now it only waits for the stop event; the measurement of the volume's
// free clusters every five minutes takes its place here.
#include "platform/Trace.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {

std::uint32_t Watcher::GetDriveValuesProc(Watcher* self) {
    try {
        while (!self->stop_.Wait(timing::kInfinite)) {
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetDriveValuesProc");
    }
    return 0;
}

}  // namespace kestrel::watcher
