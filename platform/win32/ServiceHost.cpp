// Windows service host: the service control manager and the event log.
#include <windows.h>
#include <dbt.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/Console.h"
#include "platform/ServiceHost.h"

namespace kestrel::svc {
namespace {
static_assert(sizeof(DEV_BROADCAST_HDR) == sizeof(DeviceBroadcastHeader));
static_assert(offsetof(DEV_BROADCAST_HDR, dbch_size) == offsetof(DeviceBroadcastHeader, size));
static_assert(offsetof(DEV_BROADCAST_HDR, dbch_devicetype) == offsetof(DeviceBroadcastHeader, deviceType));
static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));
static_assert(SERVICE_CONTROL_DEVICEEVENT == kControlDeviceEvent && DBT_DEVTYP_VOLUME == kDeviceTypeVolume &&
              DBT_DEVTYP_DEVICEINTERFACE == kDeviceTypeDeviceInterface &&
              DBT_DEVICEREMOVECOMPLETE == kDeviceRemoveComplete);
static_assert(SC_MANAGER_ALL_ACCESS == kManagerAllAccess && SERVICE_ALL_ACCESS == kServiceAllAccess &&
              DELETE == kServiceDelete && SERVICE_QUERY_CONFIG == kServiceQueryConfig);

// The service manager calls the service main and the handler without our context for the former, so the
// one service of the process keeps them here.
ServiceMainFunction g_serviceMain;
ControlHandler g_handler;

// StartServiceCtrlDispatcherW returns as soon as the last service reports itself stopped, which the
// service main does as its last act, while its thread (and, on some systems, a control call on another
// thread) may still be on its way out of the service's code. The program destroys the service object
// once the dispatcher returns, so StartDispatcher waits here until both have left it.
std::mutex g_callsMutex;
std::condition_variable g_callsDone;
int g_callsInside = 0;          // service main and handler calls under way
bool g_dispatcherDone = false;  // set once the dispatcher returned: later control calls are refused

// Counts one call into the service's code; false (nothing counted) once the dispatcher has returned.
bool EnterCall() {
    std::lock_guard lock(g_callsMutex);
    if (g_dispatcherDone)
        return false;
    ++g_callsInside;
    return true;
}

void LeaveCall() {
    std::lock_guard lock(g_callsMutex);
    --g_callsInside;
    g_callsDone.notify_all();
}

void WINAPI ServiceMainThunk(DWORD argc, LPWSTR* argv) {
    if (!EnterCall())
        return;
    std::vector<std::wstring> arguments;
    for (DWORD i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    if (g_serviceMain)
        g_serviceMain(arguments);
    LeaveCall();
}

DWORD WINAPI HandlerThunk(DWORD control, DWORD eventType, LPVOID data, LPVOID context) {
    auto* handler = static_cast<ControlHandler*>(context);
    if (handler == nullptr || !*handler)
        return ERROR_CALL_NOT_IMPLEMENTED;
    if (!EnterCall())
        return ERROR_SERVICE_NOT_ACTIVE;
    // The system does not say how long device-event data is; the record's own header does. Only that
    // much may be read, and never less than what the header claims is passed on as its size.
    std::size_t size = 0;
    if (control == SERVICE_CONTROL_DEVICEEVENT && data != nullptr) {
        size = static_cast<const DEV_BROADCAST_HDR*>(data)->dbch_size;
    }
    DWORD result = (*handler)(control, eventType, data, size);
    LeaveCall();
    return result;
}

class Win32ServiceHost : public ServiceHost {
  public:
    bool StartDispatcher(const std::wstring& name, ServiceMainFunction serviceMain) override {
        g_serviceMain = std::move(serviceMain);
        std::wstring serviceName = name;
        SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), ServiceMainThunk}, {nullptr, nullptr}};
        BOOL dispatched = StartServiceCtrlDispatcherW(table);
        DWORD error = GetLastError();
        {
            std::unique_lock lock(g_callsMutex);
            g_dispatcherDone = true;
            g_callsDone.wait(lock, [] { return g_callsInside == 0; });
        }
        ::SetLastError(error);
        return dispatched != FALSE;
    }

    StatusHandle RegisterControlHandler(const std::wstring& name, ControlHandler handler) override {
        g_handler = std::move(handler);
        SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(name.c_str(), HandlerThunk, &g_handler);
        return reinterpret_cast<StatusHandle>(handle);
    }

    bool SetStatus(StatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS record{status.serviceType,
                              status.currentState,
                              status.controlsAccepted,
                              status.win32ExitCode,
                              status.serviceSpecificExitCode,
                              status.checkPoint,
                              status.waitHint};
        return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
    }

    EventSourceHandle OpenEventSource(const std::wstring& name) override {
        return reinterpret_cast<EventSourceHandle>(RegisterEventSourceW(nullptr, name.c_str()));
    }

    void CloseEventSource(EventSourceHandle source) noexcept override {
        if (source != 0)
            ::DeregisterEventSource(reinterpret_cast<HANDLE>(source));
    }

    bool WriteEvent(EventSourceHandle source, std::uint16_t type, std::uint32_t messageId,
                    const std::vector<std::wstring>& strings) override {
        std::vector<LPCWSTR> pointers;
        for (const std::wstring& s : strings)
            pointers.push_back(s.c_str());
        return ReportEventW(reinterpret_cast<HANDLE>(source), type, 0, messageId, nullptr,
                            static_cast<WORD>(pointers.size()), 0,
                            pointers.empty() ? nullptr : pointers.data(), nullptr) != FALSE;
    }

    ScHandle OpenManager(std::uint32_t access) override {
        return reinterpret_cast<ScHandle>(OpenSCManagerW(nullptr, nullptr, access));
    }

    ScHandle OpenServiceRecord(ScHandle manager, const std::wstring& name, std::uint32_t access) override {
        return reinterpret_cast<ScHandle>(OpenServiceW(AsSc(manager), name.c_str(), access));
    }

    ScHandle CreateServiceRecord(ScHandle manager, const ServiceConfig& config) override {
        return reinterpret_cast<ScHandle>(
            CreateServiceW(AsSc(manager), config.name.c_str(), config.displayName.c_str(), config.access,
                           config.serviceType, config.startType, config.errorControl,
                           config.imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }

    bool DeleteServiceRecord(ScHandle service) override { return ::DeleteService(AsSc(service)) != FALSE; }

    void CloseServiceHandle(ScHandle handle) noexcept override {
        if (handle != 0)
            ::CloseServiceHandle(AsSc(handle));
    }

    std::wstring ModulePath() override {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0)
                return {};
            if (length < path.size()) {
                path.resize(length);
                return path;
            }
            if (path.size() >= 32768)
                return {};
            path.resize(path.size() * 2);
        }
    }

    std::uint32_t LastError() override { return GetLastError(); }
    void SetLastError(std::uint32_t error) override { ::SetLastError(error); }

    void WriteOutput(std::wstring_view text) override { console::WritePlatform(text); }

  private:
    static SC_HANDLE AsSc(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
};
}  // namespace

std::uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

ServiceHost& SystemServiceHost() {
    static Win32ServiceHost host;
    return host;
}

}  // namespace kestrel::svc
