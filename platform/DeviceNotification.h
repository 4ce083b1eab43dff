// The device-notification boundary: a service asks the system to send it device-interface events
// (volume arrival and removal) through its service control handler.
//
// Windows: RegisterDeviceNotificationW with the service's status handle as recipient
// (DEVICE_NOTIFY_SERVICE_HANDLE), UnregisterDeviceNotification, and VerifyVersionInfoW for the system
// version that decides the flags; see platform/win32/DeviceNotification.cpp.
//
// Host: there are no device events. Registration always fails with kErrorCallNotImplemented ("This function
// is not supported on this system."), so a service on the host runs without device-change notifications,
// as it does on Windows when registration fails; the version test answers true (a current system).
//
// Errors are Win32 error codes (platform/SystemError.h). Thread-safe.
#pragma once

#include <cstdint>

#include "platform/ServiceHost.h"
#include "platform/SystemError.h"

namespace kestrel::devices {

// A device-notification registration (HDEVNOTIFY); 0 is none.
using DeviceNotifyHandle = std::uintptr_t;

// Flags of the registration, with the values of the Windows SDK.
inline constexpr std::uint32_t kNotifyServiceHandle = 0x1;        // DEVICE_NOTIFY_SERVICE_HANDLE
inline constexpr std::uint32_t kNotifyAllInterfaceClasses = 0x4;  // DEVICE_NOTIFY_ALL_INTERFACE_CLASSES

// A class GUID as the system stores it.
struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

// The filter of a registration: DEV_BROADCAST_DEVICEINTERFACE_W with an empty name (32 bytes with its
// padding).
struct DeviceInterfaceFilter {
    std::uint32_t size = 32;
    std::uint32_t deviceType = svc::kDeviceTypeDeviceInterface;
    std::uint32_t reserved = 0;
    Guid classGuid{};
    char16_t name[1] = {0};
};
static_assert(sizeof(DeviceInterfaceFilter) == 32);

class DeviceNotifications {
  public:
    virtual ~DeviceNotifications() = default;

    // VerifyVersionInfoW: whether the system is at least the given major.minor version (service pack 0
    // or later in the condition mask; only the major and minor versions are tested).
    virtual bool VersionAtLeast(std::uint32_t major, std::uint32_t minor) = 0;

    // Registers `recipient` (a service's status handle) for the device events that `filter` and `flags`
    // select. Returns the registration, or 0 with the Win32 error code in `*error`.
    virtual DeviceNotifyHandle Register(svc::StatusHandle recipient, const DeviceInterfaceFilter& filter,
                                        std::uint32_t flags, std::uint32_t* error) = 0;

    // Ends a registration from Register; 0 is ignored (false). True when ended.
    virtual bool Unregister(DeviceNotifyHandle handle) = 0;
};

// The system's device notification: the real one on Windows, the one without events on the host.
DeviceNotifications& SystemDeviceNotifications();

}  // namespace kestrel::devices
