// The service host boundary: what a service process needs from the system's service manager and event
// log, and the console of its installer command line.
//
// Windows: the service control manager (StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW,
// SetServiceStatus, OpenSCManagerW, CreateServiceW ...) and the event log (RegisterEventSourceW,
// ReportEventW); see platform/win32/ServiceHost.cpp.
//
// Host: there is no service manager. StartDispatcher runs the service in the foreground of the calling
// process and turns signals into controls; the record of installed services lives in the host registry
// store under the Windows key paths; event records go to a log file in the state directory. See
// platform/host/ServiceHost.cpp for the details.
//
// Tests implement the interface themselves and drive the service directly.
//
// Error reporting follows Win32: a failing call returns false / a null handle and leaves its Win32 error
// code as the calling thread's last error (LastError).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Handle.h"
#include "platform/SystemError.h"

namespace kestrel::svc {

// Service types, states, controls and accepted-control flags, with the values of the Windows SDK.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kControlDeviceEvent = 11;
inline constexpr std::uint32_t kControlUserFirst = 128;
inline constexpr std::uint32_t kControlUserLast = 255;

inline constexpr std::uint32_t kAcceptStop = 0x1;
inline constexpr std::uint32_t kAcceptPauseContinue = 0x2;
inline constexpr std::uint32_t kAcceptShutdown = 0x4;

inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// Access rights of the service manager and of services.
inline constexpr std::uint32_t kManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kServiceQueryConfig = 0x0001;
inline constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr std::uint32_t kServiceDelete = 0x10000;  // DELETE

// Event record types.
inline constexpr std::uint16_t kEventError = 1;
inline constexpr std::uint16_t kEventWarning = 2;
inline constexpr std::uint16_t kEventInformation = 4;

// Device events: the event types of a device-event control, and the broadcast header that starts their
// data (DEV_BROADCAST_HDR).
inline constexpr std::uint32_t kDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDeviceQueryRemove = 0x8001;
inline constexpr std::uint32_t kDeviceQueryRemoveFailed = 0x8002;
inline constexpr std::uint32_t kDeviceRemovePending = 0x8003;
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;
inline constexpr std::uint32_t kDeviceTypeOem = 0;
inline constexpr std::uint32_t kDeviceTypeVolume = 2;
inline constexpr std::uint32_t kDeviceTypePort = 3;
inline constexpr std::uint32_t kDeviceTypeDeviceInterface = 5;
inline constexpr std::uint32_t kDeviceTypeHandle = 6;

struct DeviceBroadcastHeader {
    std::uint32_t size;        // of the whole record, this header included
    std::uint32_t deviceType;  // kDeviceType...
    std::uint32_t reserved;
};
static_assert(sizeof(DeviceBroadcastHeader) == 12);

// Win32 error codes (platform/SystemError.h).
using namespace kestrel::errors;

// The status record sent to the service manager (SERVICE_STATUS).
struct ServiceStatus {
    std::uint32_t serviceType = kServiceWin32OwnProcess;
    std::uint32_t currentState = kServiceStopped;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// What CreateService records about a service.
struct ServiceConfig {
    std::wstring name;
    std::wstring displayName;
    std::uint32_t access = kServiceAllAccess;
    std::uint32_t serviceType = kServiceWin32OwnProcess;
    std::uint32_t startType = kServiceAutoStart;
    std::uint32_t errorControl = kServiceErrorNormal;
    // The command line the manager starts: recorded as given, so the caller quotes a path that may hold
    // spaces (unquoted, "C:\Program Files\A\B.exe" would first run "C:\Program.exe").
    std::wstring imagePath;
};

// Opaque values of the boundary. 0 is "none" for each.
using StatusHandle = std::uintptr_t;       // SERVICE_STATUS_HANDLE
using EventSourceHandle = std::uintptr_t;  // HANDLE from RegisterEventSourceW
using ScHandle = std::uintptr_t;           // SC_HANDLE

// The service main: called once, on a thread of its own, with the arguments of the start request (the
// service name first).
using ServiceMainFunction = std::function<void(const std::vector<std::wstring>& arguments)>;

// The control handler: control code, event type, event data and the number of bytes of event data that
// may be read (0 with null data). Returns a Win32 error code for the service manager.
using ControlHandler = std::function<std::uint32_t(std::uint32_t control, std::uint32_t eventType,
                                                   const void* data, std::size_t size)>;

class ServiceHost;

struct ScHandleTraits {
    using value_type = ScHandle;
    ServiceHost* owner = nullptr;
    static ScHandle Invalid() noexcept { return 0; }
    void Close(ScHandle handle) const noexcept;
};
using UniqueScHandle = UniqueHandle<ScHandleTraits>;

struct EventSourceTraits {
    using value_type = EventSourceHandle;
    ServiceHost* owner = nullptr;
    static EventSourceHandle Invalid() noexcept { return 0; }
    void Close(EventSourceHandle handle) const noexcept;
};
using UniqueEventSource = UniqueHandle<EventSourceTraits>;

class ServiceHost {
  public:
    virtual ~ServiceHost() = default;

    // --- Running as a service -------------------------------------------------------------------------

    // Hands the calling thread to the service manager for the one service `name` of this process: the
    // manager starts `serviceMain` on a new thread and delivers controls to the registered handler. Returns
    // true when the service has stopped, and only after `serviceMain` and every handler call have
    // returned, so that the caller may then destroy what they use; false at once (last error set) when the
    // process was not started by a service manager. Call from the main thread, once.
    virtual bool StartDispatcher(const std::wstring& name, ServiceMainFunction serviceMain) = 0;

    // Registers the control handler of the service `name`; called from the service main. Returns the
    // status handle (which is never closed), or 0 with the last error set. The handler is called on a
    // thread of the host, one control at a time.
    virtual StatusHandle RegisterControlHandler(const std::wstring& name, ControlHandler handler) = 0;

    // Sends the whole status record. Thread-safe.
    virtual bool SetStatus(StatusHandle handle, const ServiceStatus& status) = 0;

    // --- Event log ------------------------------------------------------------------------------------

    // Opens the event source `name` on the local machine; 0 with the last error set on failure. The
    // caller owns the handle and releases it with CloseEventSource.
    virtual EventSourceHandle OpenEventSource(const std::wstring& name) = 0;
    virtual void CloseEventSource(EventSourceHandle source) noexcept = 0;

    // Writes one record: its type, category 0, the message id, and the insertion strings (%1, %2 ...).
    virtual bool WriteEvent(EventSourceHandle source, std::uint16_t type, std::uint32_t messageId,
                            const std::vector<std::wstring>& strings) = 0;

    // The texts of the program's messages, for hosts that render records without a message file. Windows
    // reads the program's message table and ignores this.
    virtual void DescribeMessages(std::vector<std::pair<std::uint32_t, std::wstring>> /*texts*/) {}

    // --- Service manager ------------------------------------------------------------------------------

    // Opens the service manager of the local machine. The caller owns the handle (CloseServiceHandle).
    virtual ScHandle OpenManager(std::uint32_t access) = 0;
    // Opens an installed service by name; 0 with the last error set (kErrorServiceDoesNotExist ...).
    virtual ScHandle OpenServiceRecord(ScHandle manager, const std::wstring& name, std::uint32_t access) = 0;
    // Records a new service and returns a handle to it; 0 with the last error set (kErrorServiceExists ...).
    virtual ScHandle CreateServiceRecord(ScHandle manager, const ServiceConfig& config) = 0;
    // Removes a service opened with kServiceDelete access.
    virtual bool DeleteServiceRecord(ScHandle service) = 0;
    virtual void CloseServiceHandle(ScHandle handle) noexcept = 0;

    UniqueScHandle Own(ScHandle handle) { return UniqueScHandle(handle, ScHandleTraits{this}); }

    // --- Process --------------------------------------------------------------------------------------

    // The full path of the program file of this process.
    virtual std::wstring ModulePath() = 0;
    // The calling thread's last Win32 error code, and setting it.
    virtual std::uint32_t LastError() = 0;
    virtual void SetLastError(std::uint32_t error) = 0;
    // Writes text to standard output ("\n" ends a line).
    virtual void WriteOutput(std::wstring_view text) = 0;
};

inline void ScHandleTraits::Close(ScHandle handle) const noexcept {
    if (owner != nullptr)
        owner->CloseServiceHandle(handle);
}
inline void EventSourceTraits::Close(EventSourceHandle handle) const noexcept {
    if (owner != nullptr)
        owner->CloseEventSource(handle);
}

// The id of the calling thread, as the system numbers threads.
std::uint32_t CurrentThreadId();

// The service host of this process: the service manager on Windows, the foreground host elsewhere.
ServiceHost& SystemServiceHost();

}  // namespace kestrel::svc
