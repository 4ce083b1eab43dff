#include "platform/Console.h"

#include <atomic>

namespace kestrel::console {
namespace {
std::atomic<trace::TraceSink*> g_sink{nullptr};
}

void Write(std::wstring_view text) {
    trace::TraceSink* sink = g_sink.load(std::memory_order_acquire);
    if (sink != nullptr) {
        sink->Write(text);
    } else {
        WritePlatform(text);
    }
}

ScopedSink::ScopedSink(trace::TraceSink& sink)
    : previous_(g_sink.exchange(&sink, std::memory_order_acq_rel)) {}
ScopedSink::~ScopedSink() {
    g_sink.store(previous_, std::memory_order_release);
}

}  // namespace kestrel::console
