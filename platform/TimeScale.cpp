#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/Time.h"

namespace kestrel::timing {
namespace {
std::atomic<std::uint32_t> g_divisor{1};
}

void SetTimeDivisor(std::uint32_t divisor) { g_divisor.store(divisor == 0 ? 1 : divisor); }
std::uint32_t TimeDivisor() { return g_divisor.load(); }

Millis Scaled(Millis nominal) {
    if (nominal == kInfinite || nominal == 0) return nominal;
    Millis scaled = nominal / TimeDivisor();
    return scaled == 0 ? 1 : scaled;
}

std::int64_t UnixTime() {
    using namespace std::chrono;
    static std::mutex mutex;
    static bool started = false;
    static std::uint64_t lastMono = 0;  // monotonic milliseconds at the previous call
    static std::int64_t scaledMs = 0;   // scaled milliseconds since 1970 at the previous call
    std::lock_guard lock(mutex);
    const std::uint64_t mono = NowMs();
    if (!started) {
        started = true;
        scaledMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    } else {
        scaledMs += static_cast<std::int64_t>((mono - lastMono) * TimeDivisor());
    }
    lastMono = mono;
    return scaledMs / 1000;
}

}  // namespace kestrel::timing
