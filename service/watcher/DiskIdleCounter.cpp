#include "service/watcher/DiskIdleCounter.h"

#include "common/Format.h"
#include "platform/Console.h"
#include "platform/Trace.h"

namespace kestrel::watcher {
namespace {

// A disk that was idle at least this share of a sample counts as idle.
constexpr std::int64_t kIdlePercent = 96;

}  // namespace

std::uint32_t IdleSampleIntervalMs(std::int32_t percent) {
    const std::int32_t steps = 5 - percent / 20;
    return steps > 0 ? static_cast<std::uint32_t>(steps) * 1000 : 1000;
}

DiskIdleCounter::DiskIdleCounter(perf::Refresher& refresher, const std::wstring& instanceName,
                                 std::int64_t initialPercent)
    : refresher_(refresher), instanceName_(instanceName), lastPercent_(initialPercent) {}

DiskIdleCounter::~DiskIdleCounter() = default;

std::wstring DiskIdleCounter::ObjectPath() {
    return L"Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"";
}

bool DiskIdleCounter::AddToRefresher() {
    objectPath_ = ObjectPath() + instanceName_ + L"\"";
    std::int32_t error = 0;
    std::unique_ptr<perf::CounterAccess> access;
    switch (refresher_.AddObjectByPath(objectPath_, error, access)) {
        case perf::AddResult::Failed:
            trace::Write(L"Could not add object. Error code: 0x\n");
            return false;
        case perf::AddResult::NoObject:
            console::Write(L"Did not retrieve the object\n");
            trace::Write(Format(L"Did not retrieve the named object %s. Error code: 0x\n", objectPath_));
            return false;
        case perf::AddResult::Added:
            break;
    }
    if (access == nullptr)
        return false;
    access_ = std::move(access);
    std::int32_t result = access_->GetPropertyHandle(L"PercentIdleTime", idleHandle_);
    if (result != 0) {
        trace::Write(Format(L"Could not retrieve property handle %s, 0x%0X\n", instanceName_,
                            static_cast<std::uint32_t>(result)));
    }
    result = access_->GetPropertyHandle(L"PercentIdleTime_Base", baseHandle_);
    if (result != 0)
        trace::Write(L"Could not get percentIdleTime BASE - Error = 0x\n");
    return true;
}

std::int32_t DiskIdleCounter::SampleIdlePercent() {
    refresher_.Refresh();
    if (access_ == nullptr || !access_->ReadQword(idleHandle_, idleValue_))
        return static_cast<std::int32_t>(lastPercent_);
    const bool baseRead = access_->ReadQword(baseHandle_, baseValue_);
    const std::uint64_t deltaBase = baseValue_ - previousBase_;
    const std::uint64_t deltaIdle = idleValue_ - previousIdle_;
    const std::uint64_t f = deltaBase == 0 ? 100 : deltaIdle * 100 / deltaBase;
    if (!baseRead)
        return static_cast<std::int32_t>(lastPercent_);
    // A share of 0, one above 100 (a counter that went back) and the 100 of an interval in which no time
    // passed are not measurements. A whole measured interval without I/O is: it gives exactly 100, and
    // without it a disk once found busy would stay busy for as long as it does nothing at all.
    const bool measured = f > 0 && (f < 100 || (f == 100 && deltaBase != 0));
    if ((lastPercent_ < kIdlePercent || f <= kIdlePercent - 1) && measured) {
        trace::Write(Format(L"Disk %s is %lu percent idle\n", instanceName_, f));
        lastPercent_ = static_cast<std::int64_t>(f);
    }
    previousBase_ = baseValue_;
    previousIdle_ = idleValue_;
    return static_cast<std::int32_t>(lastPercent_);
}

}  // namespace kestrel::watcher
