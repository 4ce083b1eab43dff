// The idle monitor: samples how idle the drive's physical disk is, every one to five seconds, and sets
// the idle event while the disk was idle at least 96 percent of a 100 ms sample, resets it otherwise.
// Every Watcher on one disk shares the (named) idle event and runs a monitor of its own; the last one to
// sample decides.
#include <mutex>

#include "common/Format.h"
#include "platform/Console.h"
#include "platform/Trace.h"
#include "service/watcher/DiskIdleCounter.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {
namespace {

// The stop event is looked at between the steps of a sample without waiting: a wait of a millisecond
// there changed nothing but cost two more wake-ups a sample, half of what an idle monitor costs.
constexpr timing::Millis kStopPollMs = 0;
constexpr timing::Millis kSampleMs = 100;
constexpr std::int32_t kIdleFrom = 96;     // a sample of this share or more lets the files be defragmented
constexpr std::int32_t kBusyUpTo = 95;     // a sample of this share or less stops them
constexpr std::int32_t kWasBusyUpTo = 94;  // previous samples up to this share make a set worth a trace

}  // namespace

std::uint32_t Watcher::PerfDiskProc(Watcher* self) {
    try {
        std::mutex sampling;  // held around each sampling step
        if (self->stop_.Wait(kStopPollMs))
            return 1;
        const std::wstring& instance = self->diskInstanceName_;
        if (instance.empty())
            return 1;  // no disk to watch: the idle event stays set, the drive is always idle

        // Declared in this order so that they are released in the reverse one: the counter's object,
        // the refresher, then the session (which leaves the apartment).
        std::unique_ptr<perf::CounterSession> session = self->diskCounters_->OpenSession();
        const std::int32_t initialized = session->Initialize();
        if (initialized < 0) {
            console::Write(Format(L"Failed to initialize COM library. Error code = 0x%X\n",
                                  static_cast<std::uint32_t>(initialized)));
            return 2;
        }
        if (!session->Connect())
            return 2;
        const std::int32_t blanket = session->SetProxyBlanket();
        if (blanket < 0) {
            console::Write(Format(L"Could not set proxy blanket. Error code: 0x%X\n",
                                  static_cast<std::uint32_t>(blanket)));
            return 2;
        }
        std::unique_ptr<perf::Refresher> refresher = session->CreateRefresher();
        if (refresher == nullptr) {
            trace::Write(L"Did not retrieve the object\n");
            return 2;
        }
        DiskIdleCounter counter(*refresher, instance, 0);
        if (!counter.AddToRefresher()) {
            trace::Write(L"Did not retrieve the object\n");
            return 2;
        }

        std::int32_t previous = 0;
        for (;;) {
            if (self->stop_.Wait(kStopPollMs))
                break;
            {
                std::lock_guard lock(sampling);
                counter.SampleIdlePercent();  // starts a fresh measuring interval
            }
            if (self->stop_.Wait(kStopPollMs))
                break;
            timing::Sleep(kSampleMs);
            std::int32_t percent = 0;
            {
                std::lock_guard lock(sampling);
                percent = counter.SampleIdlePercent();
            }
            const timing::Millis interval = IdleSampleIntervalMs(percent);
            if (percent >= kIdleFrom && percent <= 100) {
                if (previous <= kWasBusyUpTo) {
                    trace::Write(Format(L"Disk %s is %lu percent idle - Okay to defrag files\n", instance,
                                        static_cast<std::uint32_t>(percent)));
                }
                self->idle_.Set();
            }
            if (percent <= kBusyUpTo) {
                if (previous >= kIdleFrom) {
                    trace::Write(Format(L"Disk %s is %lu percent idle - Don't defrag  files\n", instance,
                                        static_cast<std::uint32_t>(percent)));
                }
                self->idle_.Reset();
            }
            // The pause watches the stop event, so that a Watcher being destroyed does not wait it out.
            if (self->stop_.Wait(interval))
                break;
            previous = percent;
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::PerfDiskProc");
    }
    return 1;
}

}  // namespace kestrel::watcher
