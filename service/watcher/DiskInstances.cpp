#include "service/watcher/DiskInstances.h"

#include "common/Format.h"
#include "platform/Console.h"
#include "platform/Trace.h"

namespace kestrel::watcher {

std::vector<std::wstring> EnumPhysicalDisks(perf::DiskCounters& counters) {
    std::vector<std::wstring> disks;
    trace::Write(Format(L"%s\n", L"FindObject"));
    counters.RefreshObjects();
    std::uint32_t counterLength = 0;
    std::uint32_t instanceLength = 0;
    std::uint32_t lastError = 0;
    const std::int32_t status =
        counters.ObjectItemLengths(L"PhysicalDisk", counterLength, instanceLength, lastError);
    trace::Write(Format(L"PdhEnumObjects status = %d\n", status));
    if (status != perf::kPdhMoreData && status != 0) {
        trace::Write(Format(L"%s error code = %d\n", L"NoData", lastError));
        return disks;
    }
    trace::Write(Format(L"%s\n", L"PDH_MORE_DATA"));
    std::vector<std::wstring> names;
    const std::int32_t read = counters.ObjectItems(L"PhysicalDisk", counterLength, instanceLength, names);
    if (read == perf::kPdhNoMemory) {
        console::Write(L"\nPROCLIST: unable to allocate buffers");
        return disks;
    }
    if (read != 0)
        return disks;
    trace::Write(Format(L"%s\n", L"Disks"));
    console::Write(L"\nDisks:");
    for (const std::wstring& name : names) {
        if (name.empty())
            break;  // the empty name ends the multi-string
        console::Write(Format(L"\n  %s", name));
        trace::Write(Format(L"found perf monitor data for drive(s)  %s\n", name));
        disks.push_back(name);
    }
    return disks;
}

std::wstring FindDiskInstance(const std::vector<std::wstring>& instances, const std::wstring& drivePath) {
    if (drivePath.empty())
        return {};
    for (const std::wstring& name : instances) {
        if (name.size() > 1 && name.find(drivePath[0], 1) != std::wstring::npos)
            return name;
    }
    return {};
}

}  // namespace kestrel::watcher
