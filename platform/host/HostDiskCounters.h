// The host's disk idle counters: one "PhysicalDisk" instance per block device that holds the backing
// directory of a drive in a drive table, named as on Windows by a number and the drive letters on it
// ("0 C: D:"), and "_Total" for all of them. Samples come from /proc/diskstats: the base is the monotonic
// clock in 100 ns units, the idle counter that clock less the time the device spent doing I/O (io_ticks),
// never going backwards; so two samples give the idle share between them, and the first one the share
// since the machine started, as the Windows counters do. Sessions need no set-up and always succeed.
//
// Thread-safe; each refresher and access is used by the thread that created it.
#pragma once

#include <string>
#include <vector>

#include "platform/DiskCounters.h"
#include "platform/DriveTable.h"

namespace kestrel::perf {

class HostDiskCounters : public DiskCounters {
  public:
    // Reads the drives of `drives`, the statistics at `diskstats`, the block devices under `sysBlock` and,
    // for the samples, each device's own statistics file under `classBlock` ("NAME/stat", one line: much
    // cheaper to produce than the whole list) where there is one, else its line of `diskstats`.
    explicit HostDiskCounters(drives::DriveTable& drives, std::string diskstats = "/proc/diskstats",
                              std::string sysBlock = "/sys/dev/block",
                              std::string classBlock = "/sys/class/block");

    // The name (as /proc/diskstats gives it) of the whole disk that holds a host directory; empty when it
    // cannot be found (no such directory, a file system without a block device, no statistics).
    std::string DeviceOf(const std::wstring& directory) const;
    // The time the device has spent doing I/O, in milliseconds; false when it is not listed.
    bool IoTicks(const std::string& device, std::uint64_t& ticks) const;

    std::int32_t RefreshObjects() override;
    std::int32_t ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                   std::uint32_t& instanceLength, std::uint32_t& lastError) override;
    std::int32_t ObjectItems(const std::wstring& object, std::uint32_t counterLength,
                             std::uint32_t instanceLength, std::vector<std::wstring>& instances) override;
    std::unique_ptr<CounterSession> OpenSession() override;

    // The instances with the devices behind them; false when the statistics cannot be read.
    struct Instance {
        std::wstring name;
        std::vector<std::string> devices;
    };
    bool Instances(std::vector<Instance>& instances) const;
    const std::string& DiskstatsPath() const { return diskstats_; }
    const std::string& ClassBlockPath() const { return classBlock_; }

  private:
    drives::DriveTable& drives_;
    std::string diskstats_;
    std::string sysBlock_;
    std::string classBlock_;
};

}  // namespace kestrel::perf
