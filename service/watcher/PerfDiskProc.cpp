// The idle monitor. For now it only waits for the stop event and leaves the idle event as Prepare set
// it (signalled), which is what a drive without a disk instance name gets too; sampling the disk's idle
// share and setting or resetting the idle event take its place here.
#include "platform/Trace.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {

std::uint32_t Watcher::PerfDiskProc(Watcher* self) {
    try {
        while (!self->stop_.Wait(timing::kInfinite)) {
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::PerfDiskProc");
    }
    return 1;
}

}  // namespace kestrel::watcher
