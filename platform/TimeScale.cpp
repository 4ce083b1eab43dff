#include <atomic>

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

}  // namespace kestrel::timing
