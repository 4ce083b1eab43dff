// The defragmentation thread. For now it only waits for the stop event; the queue's consumer (transfer
// into the pending-file map, the rest, the idle wait and one attempt per file) takes its place here.
#include "platform/Trace.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {

std::uint32_t Watcher::DefragProc(Watcher* self) {
    try {
        while (!self->stop_.Wait(timing::kInfinite)) {
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::DefragProc");
    }
    return 1;
}

}  // namespace kestrel::watcher
