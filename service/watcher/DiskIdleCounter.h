// How idle one physical disk is: the raw "PercentIdleTime" counter of the disk's "PhysicalDisk" instance,
// sampled through a refresher, turned into a percentage of the time between two samples.
//
// Used by one thread, the idle monitor of a Watcher, which owns the refresher it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/DiskCounters.h"

namespace kestrel::watcher {

// The idle monitor's pause after a sample of `percent` idle, in nominal milliseconds: the busier the disk,
// the longer it waits before looking again (0-19: 5 s, 20-39: 4 s, 40-59: 3 s, 60-79: 2 s, 80 and more: 1 s).
std::uint32_t IdleSampleIntervalMs(std::int32_t percent);

class DiskIdleCounter {
  public:
    // Keeps the refresher (which must outlive the counter), the disk instance name and the percent that
    // SampleIdlePercent answers until a sample gives a usable one.
    DiskIdleCounter(perf::Refresher& refresher, const std::wstring& instanceName,
                    std::int64_t initialPercent);
    virtual ~DiskIdleCounter();
    DiskIdleCounter(const DiskIdleCounter&) = delete;
    DiskIdleCounter& operator=(const DiskIdleCounter&) = delete;

    // The class part of the object path: "Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=" and a quote.
    virtual std::wstring ObjectPath();
    // Adds the disk's object to the refresher and looks up the handles of its two properties; false when
    // the object cannot be added (traced). A missing property handle is traced and leaves that read
    // failing, so the counter keeps its last percent.
    virtual bool AddToRefresher();
    // Refreshes and reads the two raw counters. The share of idle time since the previous sample becomes
    // the answer when it lies strictly between 0 and 100 and either the disk did not look idle before
    // (below 96) or the share is 95 or less; otherwise the previous answer stands. A failed read answers
    // the previous percent without taking the sample.
    virtual std::int32_t SampleIdlePercent();

    const std::wstring& ObjectPathUsed() const { return objectPath_; }

  private:
    perf::Refresher& refresher_;
    std::unique_ptr<perf::CounterAccess> access_;
    std::wstring instanceName_;
    std::wstring objectPath_;
    std::int32_t idleHandle_ = 0;
    std::uint64_t idleValue_ = 100;
    std::int64_t lastPercent_;
    std::int32_t baseHandle_ = 0;
    std::uint64_t baseValue_ = 0;
    std::uint64_t previousBase_ = 0;
    std::uint64_t previousIdle_ = 0;
};

}  // namespace kestrel::watcher
