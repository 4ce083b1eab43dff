// Host device notification: no device events exist here, so every registration fails with
// kErrorCallNotImplemented and the service runs without them.
#include "platform/DeviceNotification.h"

namespace kestrel::devices {
namespace {

class HostDeviceNotifications : public DeviceNotifications {
  public:
    bool VersionAtLeast(std::uint32_t, std::uint32_t) override { return true; }
    DeviceNotifyHandle Register(svc::StatusHandle, const DeviceInterfaceFilter&, std::uint32_t,
                                std::uint32_t* error) override {
        if (error != nullptr)
            *error = kErrorCallNotImplemented;
        return 0;
    }
    bool Unregister(DeviceNotifyHandle) override { return false; }
};

}  // namespace

DeviceNotifications& SystemDeviceNotifications() {
    static HostDeviceNotifications notifications;
    return notifications;
}

}  // namespace kestrel::devices
