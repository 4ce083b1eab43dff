// Windows device notification: RegisterDeviceNotificationW for a service status handle, and the version
// test that decides whether every device-interface class can be asked for (Windows XP and later).
#include <windows.h>

#include <dbt.h>

#include <cstddef>

#include "platform/DeviceNotification.h"

namespace kestrel::devices {

static_assert(sizeof(DeviceInterfaceFilter) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
static_assert(offsetof(DeviceInterfaceFilter, classGuid) ==
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid));
static_assert(offsetof(DeviceInterfaceFilter, name) == offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(kNotifyServiceHandle == DEVICE_NOTIFY_SERVICE_HANDLE);
static_assert(kNotifyAllInterfaceClasses == DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
static_assert(svc::kDeviceTypeDeviceInterface == DBT_DEVTYP_DEVICEINTERFACE);

namespace {

class Win32DeviceNotifications : public DeviceNotifications {
  public:
    bool VersionAtLeast(std::uint32_t major, std::uint32_t minor) override {
        OSVERSIONINFOEXW version{};
        version.dwOSVersionInfoSize = sizeof version;
        version.dwMajorVersion = major;
        version.dwMinorVersion = minor;
        version.wServicePackMajor = 0;
        DWORDLONG mask = 0;
        mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
        mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
        mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
        return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
    }

    DeviceNotifyHandle Register(svc::StatusHandle recipient, const DeviceInterfaceFilter& filter,
                                std::uint32_t flags, std::uint32_t* error) override {
        DEV_BROADCAST_DEVICEINTERFACE_W record{};
        record.dbcc_size = filter.size;
        record.dbcc_devicetype = filter.deviceType;
        record.dbcc_reserved = filter.reserved;
        record.dbcc_classguid.Data1 = filter.classGuid.data1;
        record.dbcc_classguid.Data2 = filter.classGuid.data2;
        record.dbcc_classguid.Data3 = filter.classGuid.data3;
        for (int i = 0; i < 8; ++i)
            record.dbcc_classguid.Data4[i] = filter.classGuid.data4[i];
        HDEVNOTIFY handle = RegisterDeviceNotificationW(reinterpret_cast<HANDLE>(recipient), &record, flags);
        if (handle == nullptr && error != nullptr)
            *error = GetLastError();
        return reinterpret_cast<DeviceNotifyHandle>(handle);
    }

    bool Unregister(DeviceNotifyHandle handle) override {
        if (handle == 0)
            return false;
        return UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(handle)) != FALSE;
    }
};

}  // namespace

DeviceNotifications& SystemDeviceNotifications() {
    static Win32DeviceNotifications notifications;
    return notifications;
}

}  // namespace kestrel::devices
