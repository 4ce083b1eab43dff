// DefragService: the one service of KestrelService. It reads its start-up parameters "Start" and "Inc",
// owns the drive set and the command thread, registers for device-change events, and turns a stop
// request into an orderly end of the command thread (which saves the state and ends every watcher).
//
// Threads: the program's main thread constructs and destroys it; the service main runs OnInit and OnRun;
// the host's handler thread runs OnStop, OnDevChange and OnUserControl; the command thread
// (CommandThread.cpp) handles the requests. The drive set is used by the command thread and, for a
// device event, by the handler thread; one lock keeps those two apart, so a rescan never replaces a
// watcher under a command that is reading it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/protocol/Protocol.h"
#include "platform/DeviceNotification.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"
#include "platform/Thread.h"
#include "service/core/ReplySender.h"
#include "service/drives/DriveSet.h"
#include "service/framework/CNTService.h"

namespace kestrel::core {

inline constexpr wchar_t kServiceName[] = L"Kestrel_Defragmentation";
// Below HKEY_LOCAL_MACHINE: the service's key, its parameters and its status.
inline constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation";
inline constexpr wchar_t kParametersKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation\\Parameters";
inline constexpr wchar_t kStatusKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation\\Status";

// The user control code that saves the status value.
inline constexpr std::uint32_t kControlSaveStatus = 128;

// The class of device interfaces the service registers for: {2C4E2E88-25E6-4C33-882F-3D82E6073681}.
inline constexpr devices::Guid kDeviceInterfaceClass = {
    0x2C4E2E88, 0x25E6, 0x4C33, {0x88, 0x2F, 0x3D, 0x82, 0xE6, 0x07, 0x36, 0x81}};

// What the service uses of the system beyond its service host and registry. Every member has the
// system's own as default; tests put fakes and scripted parts in.
struct ServicePlatform {
    // The watchers' platform and the disk instances the drive set gives its watchers (empty: the
    // system's "PhysicalDisk" instances, EnumPhysicalDisks).
    drives::DriveSetPlatform drives;
    // The instance names the watch command lists (empty: EnumPhysicalDisks).
    drives::DiskInstanceSource physicalDisks;
    // Device notification (null: the system's).
    devices::DeviceNotifications* devices = nullptr;
    // The command mailslot the command thread reads.
    std::wstring commandMailslot{protocol::kCommandMailslot};
    // Makes the writers of the replies (empty: MailslotWriters).
    ReplyWriterFactory replyWriters;
    // Whether the constructing thread and the command thread lower themselves to idle priority, as the
    // service does. Tests keep normal priority: an idle thread gets next to no processor on a busy
    // machine, and their waits are scaled down.
    bool idlePriority = true;
};

class DefragService : public CNTService {
  public:
    explicit DefragService(ServicePlatform platform = {}, svc::ServiceHost& host = svc::SystemServiceHost(),
                           reg::Registry& registry = reg::SystemRegistry());
    // Destroys the drive set first (ending its watchers), then the instance list, then the base.
    ~DefragService() override;

    // The run method: registers for device events, counts the run, starts the command thread and waits
    // for it to end.
    void Run() override { OnRun(); }
    void OnRun();
    // Reads "Start" and "Inc" (writing the defaults where they are missing or not REG_DWORD); always true.
    bool OnInit() override;
    // Sets the stop flag, ends the device registration, and waits in 100 ms steps until OnRun has seen
    // the command thread end.
    void OnStop() override;
    // At system shutdown the service is not stopped, and the system ends the process soon after: the
    // lifetime count and every watcher's pending files are written to the store at once (DriveSet::
    // SaveState), without waiting for any watcher's work. When a command holds the drive set for longer
    // than a few seconds, nothing is written and that is traced.
    void OnShutdown() override;
    // Rebuilds the drive set's list of available drives (not once the service is stopping).
    void OnDevChange() override;
    // 128 saves the status value; every other code is not handled.
    bool OnUserControl(std::uint32_t code) override;

    // Writes "Current" = the current value under the Status key.
    void SaveStatus();
    // Registers the service's status handle for device-interface events; true on success.
    bool RegisterDeviceEvents(std::uintptr_t& handle);
    // Unregisters the device events, if still registered.
    void ReleaseDeviceEvents();

    // The command thread's procedure; returns 1 when it ends.
    static std::uint32_t CommandThread(DefragService* service);

    // State, for the command thread and for tests.
    std::int32_t StartValue() const { return start_; }
    std::int32_t Increment() const { return increment_; }
    std::int32_t CurrentValue() const { return current_.load(); }
    bool StopRequested() const { return stop_.load(); }
    bool CommandThreadRunning() const { return commandThreadRunning_.load(); }
    std::vector<std::wstring> DiskInstances() const;
    std::uintptr_t DeviceNotification() const { return deviceNotification_.load(); }
    // The drive set and the lock that every user of it other than its owner's destructor holds.
    drives::DriveSet& Drives() { return *driveSet_; }
    std::mutex& DriveSetLock() { return driveSetLock_; }
    const ServicePlatform& Platform() const { return platform_; }

  private:
    void KeepDiskInstances(const std::vector<std::wstring>& names);

    ServicePlatform platform_;
    devices::DeviceNotifications& devices_;
    std::int32_t start_ = 0;
    std::int32_t increment_ = 1;
    std::atomic<std::int32_t> current_{0};
    // The command thread, and whether it may still run (the handle the stop waits on to become invalid).
    std::unique_ptr<threads::Thread> commandThread_;
    std::atomic<bool> commandThreadRunning_{false};
    mutable std::mutex instancesLock_;
    std::vector<std::wstring> diskInstances_;
    std::atomic<bool> stop_{false};
    std::mutex driveSetLock_;
    std::unique_ptr<drives::DriveSet> driveSet_;
};

}  // namespace kestrel::core
