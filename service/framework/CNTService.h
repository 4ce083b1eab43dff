// The base of a service that runs in its own process: the service main, the control handler, status
// reporting, event records, trace lines, and the program's installer command line.
//
// A concrete service derives from CNTService and overrides the hooks. Exactly one object exists per
// process; it talks to the system only through a ServiceHost and a Registry, which tests replace.
//
// Threads: the program's main thread runs the command line or the dispatcher; the service main (and with
// it Initialize and Run) runs on a thread of the host; Handler runs on another thread of the host, one
// control at a time. A stop therefore calls OnStop while Run is still running; OnStop must make Run
// return.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Format.h"
#include "platform/Registry.h"
#include "platform/ServiceHost.h"

namespace kestrel {

class CNTService {
  public:
    // The longest service name kept, in characters; a longer one is cut.
    static constexpr std::size_t kMaxNameLength = 63;
    // A trace line, prefix and line break included, is at most this many characters minus one.
    static constexpr std::size_t kTraceBufferLength = 1024;
    // HKEY_LOCAL_MACHINE key under which each service's event-log source is recorded.
    static constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

    explicit CNTService(std::wstring_view serviceName, svc::ServiceHost& host = svc::SystemServiceHost(),
                        reg::Registry& registry = reg::SystemRegistry());
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // --- Hooks ---------------------------------------------------------------------------------------

    // The service's work, on the service-main thread once the service runs; returns when it is to end.
    // The base traces and sleeps in 5-second steps while the running flag is set.
    virtual void Run();
    // True when initialisation succeeded. A failing override leaves its reason as the last error
    // (ServiceHost::SetLastError); it becomes the exit code.
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    // A volume or device-interface arrived or is going away.
    virtual void OnDevChange();
    // A user control code (128 to 255); true when handled.
    virtual bool OnUserControl(std::uint32_t code);

    // --- Service -------------------------------------------------------------------------------------

    // Stores the state in the status record and sends the whole record.
    void SetStatus(std::uint32_t state);

    // Writes one trace line: "[<name>](<thread id>): " + the formatted text + "\n", cut to fit
    // kTraceBufferLength (the line break is kept).
    template <class... Args>
    void Trace(std::wstring_view format, const Args&... args) {
        WriteTraceLine(Format(format, args...));
    }

    // Writes an event record (kEventError / kEventInformation) with an optional insertion string. The
    // event source is registered on first use and kept; when that fails the record is dropped.
    void ReportLogEvent(std::uint16_t type, std::uint32_t messageId,
                        std::optional<std::wstring_view> text = std::nullopt);

    // The service main that the dispatcher runs. Its last act is the one stopped report.
    void ServiceMain(const std::vector<std::wstring>& arguments);
    // Reports start pending, runs OnInit and reports running (true). On failure (false) it logs the
    // failure and leaves the stopped report to the service main, which sends it exactly once.
    bool Initialize();
    // The control handler. `eventData` may be read for `eventDataSize` bytes only.
    std::uint32_t Handler(std::uint32_t control, std::uint32_t eventType, const void* eventData,
                          std::size_t eventDataSize);

    // --- Command line --------------------------------------------------------------------------------

    // Performs "-v", "-i" or "-u" (case ignored) given as the first argument after the program name and
    // returns true; returns false when the program is to run as a service.
    bool ParseCommandLine(const std::vector<std::wstring>& arguments);
    // Whether `argument` is one of the switches ParseCommandLine performs ("-v", "-i", "-u", any case).
    static bool IsConsoleSwitch(const std::wstring& argument);
    // Hands the process to the service manager; returns when the service stopped, or at once (false)
    // when the program was not started as a service.
    bool RunDispatcher();
    bool QueryInstalled();
    // Creates the service and records its event-log source; false with the last error set.
    bool InstallService();
    // Deletes the service (true when deleted) and its event-log source key.
    bool RemoveService();

    // --- State ---------------------------------------------------------------------------------------

    const std::wstring& ServiceName() const { return name_; }
    svc::ServiceStatus Status() const;
    svc::StatusHandle StatusHandle() const { return statusHandle_.load(); }
    bool IsRunning() const { return running_.load(); }
    int MajorVersion() const { return majorVersion_; }
    int MinorVersion() const { return minorVersion_; }

    // The one service object of the process (null when none exists).
    static CNTService* Instance() { return instance_.load(); }

  protected:
    svc::ServiceHost& Host() { return host_; }
    reg::Registry& Registry() { return registry_; }

    // A device-notification registration of the subclass (0 when none); the subclass releases it in its
    // stop hook.
    // Written by the run (service-main thread) and taken by the stop (handler thread).
    std::atomic<std::uintptr_t> deviceNotification_{0};

  private:
    void WriteTraceLine(std::wstring_view text);
    void SetExitCode(std::uint32_t win32ExitCode, std::uint32_t serviceSpecificExitCode = 0);
    void DispatchDeviceEvent(std::uint32_t control, std::uint32_t eventType, const void* eventData,
                             std::size_t eventDataSize);
    void Print(std::wstring_view text) { host_.WriteOutput(text); }
    // Reports the stopped state as the service main's last act: handler calls still under way finish
    // their own reports first, and none that starts later sends anything. Nothing of the object is
    // touched once the record is sent: the dispatcher may then return and the program destroy it.
    void ReportFinalStop();

    svc::ServiceHost& host_;
    reg::Registry& registry_;
    std::wstring name_;
    int majorVersion_ = 1;
    int minorVersion_ = 0;
    std::atomic<svc::StatusHandle> statusHandle_{0};
    mutable std::mutex statusMutex_;  // guards the three below (never held while a record is sent)
    svc::ServiceStatus status_;
    int handlersInFlight_ = 0;
    bool stoppedSent_ = false;  // the service main has reported stopped (or is about to)
    std::condition_variable handlersDone_;
    std::atomic<bool> running_{false};
    std::mutex eventMutex_;
    svc::UniqueEventSource eventSource_;

    static std::atomic<CNTService*> instance_;
};

// The service program's entry: performs the command line's console action or runs the service, and
// returns the process exit code (the Win32 exit code of the service's status record).
int RunServiceProgram(CNTService& service, const std::vector<std::wstring>& arguments);

}  // namespace kestrel
