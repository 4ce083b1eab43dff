// The disk idle counters boundary: the instance names of the "PhysicalDisk" performance object and raw
// "PercentIdleTime" / "PercentIdleTime_Base" samples of one instance. The steps follow the system's own
// interfaces one call at a time, so that the watcher's idle monitor (core code) makes every decision and
// writes every trace and console line itself; an adapter only performs the calls and reports their results.
//
// Windows (win32/DiskCounters.cpp): PdhEnumObjectsW / PdhEnumObjectItemsW for the instance names; COM on the
// monitor's own thread (CoInitializeEx multithreaded, the WbemLocator connected to "\\.\root\cimv2", proxy
// blankets, a WbemRefresher and its IWbemConfigureRefresher) for the samples.
//
// Host (host/HostDiskCounters.cpp): one instance per block device that backs a drive of a drive table
// ("0 C: D:", the device number followed by the letters, as on Windows) and "_Total"; the samples come from
// /proc/diskstats: the base is the elapsed time in 100 ns units, the idle counter the part of it during
// which the device's io_ticks did not advance, so the same arithmetic turns two samples into a share.
//
// Tests (ScriptedDiskCounters.h): scripted instance lists, start-up failures and samples.
//
// Results: the status values are those of the system (PDH status, HRESULT); 0 is success, a negative
// HRESULT a failure. No method throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::perf {

// PdhEnumObjectItemsW's answer when it was asked for the buffer lengths only.
inline constexpr std::int32_t kPdhMoreData = static_cast<std::int32_t>(0x800007D2);
// PDH_CSTATUS_NO_OBJECT: the object is not known on this machine.
inline constexpr std::int32_t kPdhNoObject = static_cast<std::int32_t>(0xC0000BB8);
// PdhEnumObjectItemsW could not get its buffers (the adapter's own answer; the system has no such status).
inline constexpr std::int32_t kPdhNoMemory = static_cast<std::int32_t>(0xC0000BBB);
// WBEM_E_NOT_FOUND and WBEM_E_FAILED.
inline constexpr std::int32_t kWbemNotFound = static_cast<std::int32_t>(0x80041002);
inline constexpr std::int32_t kWbemFailed = static_cast<std::int32_t>(0x80041001);

// The raw counters of one refreshed object (IWbemObjectAccess). Used by the thread that created it;
// it must be destroyed before the refresher and the session it came from.
class CounterAccess {
  public:
    virtual ~CounterAccess() = default;
    // The handle of a property ("PercentIdleTime"); 0 or the failure's HRESULT.
    virtual std::int32_t GetPropertyHandle(const std::wstring& property, std::int32_t& handle) = 0;
    // The 64-bit value of a property as of the last Refresh of its refresher; false when it cannot be
    // read (unknown handle, no sample yet, the last refresh failed).
    virtual bool ReadQword(std::int32_t handle, std::uint64_t& value) = 0;
};

enum class AddResult {
    Added,     // the object is in the refresher; `access` holds it
    Failed,    // the call failed; `error` holds its HRESULT
    NoObject,  // the call succeeded but gave no object
};

// A refresher (IWbemRefresher with its IWbemConfigureRefresher). Used by the thread that created it;
// destroyed before its session.
class Refresher {
  public:
    virtual ~Refresher() = default;
    // Adds the object at a WMI object path ("Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"0 C:\"").
    virtual AddResult AddObjectByPath(const std::wstring& objectPath, std::int32_t& error,
                                      std::unique_ptr<CounterAccess>& access) = 0;
    // Takes a fresh sample of every object added; a failure shows as failed reads.
    virtual void Refresh() = 0;
};

// The management connection of one thread: its COM apartment, the locator and the connected namespace.
// Created, used and destroyed on one thread; destruction releases what it holds and leaves the apartment
// (CoUninitialize) when Initialize was called, whatever it answered.
class CounterSession {
  public:
    virtual ~CounterSession() = default;
    // Enters the multithreaded apartment (CoInitializeEx); 0 (or another non-negative value) on success.
    virtual std::int32_t Initialize() = 0;
    // Creates the locator and connects to "\\.\root\cimv2"; false on failure.
    virtual bool Connect() = 0;
    // Sets the proxy blankets of the namespace and of its IUnknown; 0 or the first failure's HRESULT.
    virtual std::int32_t SetProxyBlanket() = 0;
    // A new refresher; null when it cannot be created.
    virtual std::unique_ptr<Refresher> CreateRefresher() = 0;
};

class DiskCounters {
  public:
    virtual ~DiskCounters() = default;
    // Refreshes the system's list of performance objects (PdhEnumObjectsW with refresh); its status.
    virtual std::int32_t RefreshObjects() = 0;
    // Asks for the lengths (in wide characters) of the object's counter and instance lists; kPdhMoreData
    // with the lengths when the object is there, else its status. `lastError` receives the thread's error.
    virtual std::int32_t ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                           std::uint32_t& instanceLength, std::uint32_t& lastError) = 0;
    // Reads the object's instance names, in the system's order, into buffers of the given lengths; 0 on
    // success, kPdhNoMemory when the buffers cannot be had, else the status.
    virtual std::int32_t ObjectItems(const std::wstring& object, std::uint32_t counterLength,
                                     std::uint32_t instanceLength, std::vector<std::wstring>& instances) = 0;
    // A new management connection for the calling thread. Thread-safe; never null.
    virtual std::unique_ptr<CounterSession> OpenSession() = 0;
};

// The key value of a WMI object path with one quoted key ("Class.Name=\"0 C:\"" gives "0 C:"); empty when
// the path has no such key. The adapters that are not WMI find the instance this way.
inline std::wstring InstanceOfObjectPath(const std::wstring& objectPath) {
    const std::size_t open = objectPath.find(L"=\"");
    if (open == std::wstring::npos || objectPath.size() < open + 3 || objectPath.back() != L'"')
        return {};
    return objectPath.substr(open + 2, objectPath.size() - open - 3);
}

// The counters of this process: PDH and WMI on Windows; /proc/diskstats over the host drive table on
// the host.
DiskCounters& DefaultDiskCounters();

}  // namespace kestrel::perf
