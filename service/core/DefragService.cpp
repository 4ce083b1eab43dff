#include "service/core/DefragService.h"

#include "common/Format.h"
#include "platform/SystemError.h"
#include "platform/Time.h"
#include "service/watcher/DiskInstances.h"

namespace kestrel::core {
namespace {

// KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE: how the service opens its own keys.
constexpr std::uint32_t kParameterAccess = reg::kKeyRead | reg::kKeyCreateSubKey | reg::kKeySetValue;
// How often OnStop looks whether the command thread has ended (nominal milliseconds).
constexpr timing::Millis kStopPoll = 100;
// How long a save at system shutdown waits for a command that holds the drive set, and how often it
// looks (nominal milliseconds). Two seconds leave the rest of the five that a shutdown save may take for
// the writing.
constexpr timing::Millis kShutdownLockWait = 2000;
constexpr timing::Millis kShutdownLockPoll = 20;

drives::DiskInstanceSource SystemInstances() {
    return [] { return watcher::EnumPhysicalDisks(); };
}

// A parameter: the stored REG_DWORD, or `fallback` written in place of a missing value or one of
// another type.
std::int32_t ReadParameter(reg::Registry& registry, reg::RawKey key, std::wstring_view name,
                           std::int32_t fallback) {
    reg::Value value;
    if (registry.QueryValue(key, name, &value) == reg::kErrorSuccess && value.type == reg::kRegDword) {
        if (std::optional<std::uint32_t> number = value.AsDword())
            return static_cast<std::int32_t>(*number);
    }
    registry.SetValue(key, name, reg::Value::Dword(static_cast<std::uint32_t>(fallback)));
    return fallback;
}

}  // namespace

DefragService::DefragService(ServicePlatform platform, svc::ServiceHost& host, reg::Registry& registry)
    : CNTService(kServiceName, host, registry),
      platform_(std::move(platform)),
      devices_(platform_.devices != nullptr ? *platform_.devices : devices::SystemDeviceNotifications()) {
    if (!platform_.drives.diskInstances)
        platform_.drives.diskInstances = SystemInstances();
    if (!platform_.physicalDisks)
        platform_.physicalDisks = SystemInstances();
    driveSet_ = std::make_unique<drives::DriveSet>(Registry(), reg::kLocalMachine,
                                                   std::wstring(kParametersKeyPath), false, platform_.drives);
    if (platform_.idlePriority)
        threads::SetCurrentThreadIdlePriority();
}

DefragService::~DefragService() {
    driveSet_.reset();
    std::lock_guard lock(instancesLock_);
    diskInstances_.clear();
}

bool DefragService::OnInit() {
    Trace(L"OnInit called");
    reg::Registry& registry = Registry();
    // Without the service's own key the service was never installed: nothing is read or written.
    if (reg::Key service = registry.Open(reg::kLocalMachine, kServiceKeyPath, kParameterAccess)) {
        service.reset();
        if (reg::Key parameters = registry.Create(reg::kLocalMachine, kParametersKeyPath, kParameterAccess)) {
            start_ = ReadParameter(registry, parameters.get(), L"Start", start_);
            increment_ = ReadParameter(registry, parameters.get(), L"Inc", increment_);
        }
    }
    current_ = start_;
    return true;
}

void DefragService::OnRun() {
    Trace(L"OnRun called");
    std::uintptr_t registration = 0;
    RegisterDeviceEvents(registration);
    deviceNotification_.store(registration);
    // A stop that came before the registration was stored found nothing to release; whichever side
    // takes the registration out of the field releases it, exactly once.
    if (stop_)
        ReleaseDeviceEvents();
    current_ += increment_;
    commandThreadRunning_ = true;
    commandThread_ = std::make_unique<threads::Thread>();
    if (commandThread_->Start([this] { return CommandThread(this); }))
        commandThread_->Join();
    commandThread_->Close();
    commandThread_.reset();
    commandThreadRunning_ = false;
}

void DefragService::OnStop() {
    Trace(L"OnStop called");
    stop_ = true;
    ReleaseDeviceEvents();
    while (commandThreadRunning_)
        timing::Sleep(kStopPoll);
}

void DefragService::ReleaseDeviceEvents() {
    if (const std::uintptr_t registration = deviceNotification_.exchange(0))
        devices_.Unregister(registration);
}

void DefragService::OnShutdown() {
    // The system gives a service a few seconds at shutdown; a command in progress (a watcher being
    // stopped can take the file it works on plus a pause) is waited for only so long.
    std::unique_lock lock(driveSetLock_, std::try_to_lock);
    for (timing::Millis waited = 0; !lock.owns_lock() && waited < kShutdownLockWait;
         waited += kShutdownLockPoll) {
        timing::Sleep(kShutdownLockPoll);
        lock.try_lock();
    }
    if (!lock.owns_lock()) {
        Trace(L"Shutdown: the drive set is busy, its state is not saved");
        return;
    }
    Trace(L"Shutdown: saving the lifetime count and the queued files");
    driveSet_->SaveState();
}

void DefragService::OnDevChange() {
    std::lock_guard lock(driveSetLock_);
    // Once the command thread has been told to stop it may be saving the drive set: a rescan now could
    // start watchers that nobody ends before the process does.
    if (!stop_)
        driveSet_->Rescan();
}

bool DefragService::OnUserControl(std::uint32_t code) {
    if (code != kControlSaveStatus)
        return false;
    SaveStatus();
    return true;
}

void DefragService::SaveStatus() {
    Trace(L"Saving current status");
    const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + ServiceName() + L"\\Status";
    Trace(L"Creating key: %s", path);
    std::uint32_t error = reg::kErrorSuccess;
    reg::Key key = Registry().Create(reg::kLocalMachine, path, reg::kKeyWrite, &error);
    if (!key) {
        Trace(L"Failed to create Status key (%lu)", error);
        return;
    }
    const std::int32_t current = current_.load();
    Trace(L"Saving 'Current' as %ld", current);
    Registry().SetValue(key.get(), L"Current", reg::Value::Dword(static_cast<std::uint32_t>(current)));
}

bool DefragService::RegisterDeviceEvents(std::uintptr_t& handle) {
    devices::DeviceInterfaceFilter filter;
    filter.classGuid = kDeviceInterfaceClass;
    const svc::StatusHandle status = StatusHandle();
    if (status == 0)
        Trace(L"WATCH OUT............. h_serviceStatus is NULL: (%08XH).\n", 0u);
    // Windows XP (5.1) and later can send the events of every device-interface class; Windows 2000
    // only those of the class in the filter.
    const std::uint32_t flags = devices_.VersionAtLeast(5, 1)
                                    ? devices::kNotifyServiceHandle | devices::kNotifyAllInterfaceClasses
                                    : devices::kNotifyServiceHandle;
    std::uint32_t error = kErrorSuccess;
    handle = devices_.Register(status, filter, flags, &error);
    if (handle != 0) {
        Trace(L"RegisterDeviceNotification worked\n");
        return true;
    }
    Trace(L"Failed to get HDEVNOTIFY back (%08XH)", static_cast<std::uint32_t>(handle));
    Trace(L"Error = (%s)", SystemErrorText(error));
    Trace(L"RegisterDeviceNotification failed: (%08XH).\n", error);
    return false;
}

std::vector<std::wstring> DefragService::DiskInstances() const {
    std::lock_guard lock(instancesLock_);
    return diskInstances_;
}

void DefragService::KeepDiskInstances(const std::vector<std::wstring>& names) {
    std::lock_guard lock(instancesLock_);
    diskInstances_ = names;
}

}  // namespace kestrel::core
