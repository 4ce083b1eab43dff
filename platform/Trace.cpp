#include "platform/Trace.h"

#include <algorithm>
#include <atomic>

namespace kestrel::trace {
namespace {
std::atomic<TraceSink*> g_sink{nullptr};
}

void Write(std::wstring_view line) {
    TraceSink* sink = g_sink.load(std::memory_order_acquire);
    (sink != nullptr ? *sink : PlatformSink()).Write(line);
}

ScopedSink::ScopedSink(TraceSink& sink) : previous_(g_sink.exchange(&sink, std::memory_order_acq_rel)) {}
ScopedSink::~ScopedSink() { g_sink.store(previous_, std::memory_order_release); }

void CaptureSink::Write(std::wstring_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::wstring> CaptureSink::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool CaptureSink::Contains(std::wstring_view line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void CaptureSink::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace kestrel::trace
