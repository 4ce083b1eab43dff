#include "service/framework/CNTService.h"

#include <chrono>
#include <cstring>

#include "platform/Time.h"
#include "platform/Trace.h"
#include "service/framework/EventMessages.h"

namespace kestrel {

namespace {
// How long the stopped report waits at most for handler calls still under way. A last resort against a
// hook that never returns, not a duration of the service's work, so it is never scaled down: a busy
// machine must not turn a slow stop hook into a report sent after the stopped one.
constexpr std::chrono::seconds kHandlerDrainLimit{30};
}  // namespace

std::atomic<CNTService*> CNTService::instance_{nullptr};

CNTService::CNTService(std::wstring_view serviceName, svc::ServiceHost& host, reg::Registry& registry)
    : host_(host), registry_(registry), name_(serviceName.substr(0, kMaxNameLength)) {
    instance_.store(this);
    status_.serviceType = svc::kServiceWin32OwnProcess;
    status_.currentState = svc::kServiceStopped;
    status_.controlsAccepted = svc::kAcceptStop | svc::kAcceptShutdown;
    host_.DescribeMessages(events::MessageTexts());
}

CNTService::~CNTService() {
    Trace(L"CNTService::~CNTService()");
    {
        std::lock_guard lock(eventMutex_);
        eventSource_.reset();
    }
    CNTService* self = this;
    instance_.compare_exchange_strong(self, nullptr);
}

// --- Hooks: base behaviour ---------------------------------------------------------------------------

void CNTService::Run() {
    Trace(L"Entering CNTService::Run()");
    while (running_.load()) {
        Trace(L"Sleeping...");
        timing::Sleep(5000);
    }
    Trace(L"Leaving CNTService::Run()");
}

bool CNTService::OnInit() {
    Trace(L"CNTService::OnInit()");
    return true;
}

void CNTService::OnStop() {
    Trace(L"CNTService::OnStop()");
}
void CNTService::OnInterrogate() {
    Trace(L"CNTService::OnInterrogate()");
}
void CNTService::OnPause() {
    Trace(L"CNTService::OnPause()");
}
void CNTService::OnContinue() {
    Trace(L"CNTService::OnContinue()");
}
void CNTService::OnShutdown() {
    Trace(L"CNTService::OnShutdown()");
}
void CNTService::OnDevChange() {
    Trace(L"CNTService::OnDevChange()");
}

bool CNTService::OnUserControl(std::uint32_t code) {
    Trace(L"CNTService::OnUserControl(%8.8lXH)", code);
    return false;
}

// --- Status, trace, events ---------------------------------------------------------------------------

svc::ServiceStatus CNTService::Status() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

void CNTService::SetExitCode(std::uint32_t win32ExitCode, std::uint32_t serviceSpecificExitCode) {
    std::lock_guard lock(statusMutex_);
    status_.win32ExitCode = win32ExitCode;
    status_.serviceSpecificExitCode = serviceSpecificExitCode;
}

void CNTService::SetStatus(std::uint32_t state) {
    svc::StatusHandle handle = statusHandle_.load();
    Trace(L"CNTService::SetStatus(%lu, %lu)", handle, state);
    svc::ServiceStatus record;
    {
        std::lock_guard lock(statusMutex_);
        // After the stopped report (a control that came too late) the record stays as the manager has it.
        if (stoppedSent_)
            return;
        status_.currentState = state;
        record = status_;
    }
    // Sent without the lock held: the service manager may be waiting for the handler thread, which needs
    // the lock, before it answers.
    host_.SetStatus(handle, record);
}

void CNTService::WriteTraceLine(std::wstring_view text) {
    std::wstring line = Format(L"[%s](%lu): ", name_, svc::CurrentThreadId());
    line.append(text);
    line.push_back(L'\n');
    if (line.size() >= kTraceBufferLength) {
        line.resize(kTraceBufferLength - 2);
        line.push_back(L'\n');
    }
    trace::Write(line);
}

void CNTService::ReportLogEvent(std::uint16_t type, std::uint32_t messageId,
                                std::optional<std::wstring_view> text) {
    std::lock_guard lock(eventMutex_);
    if (!eventSource_) {
        svc::EventSourceHandle source = host_.OpenEventSource(name_);
        if (source == 0)
            return;
        eventSource_ = svc::UniqueEventSource(source, svc::EventSourceTraits{&host_});
    }
    std::vector<std::wstring> strings;
    if (text)
        strings.emplace_back(*text);
    host_.WriteEvent(eventSource_.get(), type, messageId, strings);
}

// --- Service main ------------------------------------------------------------------------------------

void CNTService::ServiceMain(const std::vector<std::wstring>& arguments) {
    Trace(L"Args to service = %d\n", static_cast<int>(arguments.size()));
    for (std::size_t i = 0; i < arguments.size(); ++i)
        Trace(L"Args %d = %s", static_cast<int>(i), arguments[i]);
    Trace(L"Entering CNTService::ServiceMain()");
    {
        std::lock_guard lock(statusMutex_);
        status_.currentState = svc::kServiceStartPending;
    }
    svc::StatusHandle handle = host_.RegisterControlHandler(
        name_, [this](std::uint32_t control, std::uint32_t eventType, const void* data, std::size_t size) {
            return Handler(control, eventType, data, size);
        });
    if (handle == 0) {
        // The process ends without any state reported; its exit code says why.
        std::uint32_t error = host_.LastError();
        ReportLogEvent(svc::kEventError, events::kHandlerNotInstalled);
        SetExitCode(error != 0 ? error : svc::kErrorServiceSpecificError, error != 0 ? 0 : 1);
        return;
    }
    statusHandle_.store(handle);
    // Set before the running state is reported, so that a stop arriving at once is not lost.
    running_.store(true);
    if (Initialize()) {
        {
            std::lock_guard lock(statusMutex_);
            status_.win32ExitCode = 0;
            status_.checkPoint = 0;
            status_.waitHint = 0;
        }
        Run();
    }
    running_.store(false);
    // Traced before the stopped report: once that is sent the dispatcher may return and the program
    // destroy this object, so the report is the last thing this thread does with it.
    Trace(L"Leaving CNTService::ServiceMain()");
    ReportFinalStop();
}

void CNTService::ReportFinalStop() {
    svc::StatusHandle handle = statusHandle_.load();
    Trace(L"CNTService::SetStatus(%lu, %lu)", handle, svc::kServiceStopped);
    svc::ServiceStatus record;
    {
        std::unique_lock lock(statusMutex_);
        // Bounded, so that a handler stuck in a hook cannot keep the process from ending.
        handlersDone_.wait_for(lock, kHandlerDrainLimit, [this] { return handlersInFlight_ == 0; });
        stoppedSent_ = true;
        status_.currentState = svc::kServiceStopped;
        record = status_;
    }
    // Only locals from here on: `this` may be gone as soon as the record has been sent.
    svc::ServiceHost& host = host_;
    host.SetStatus(handle, record);
}

bool CNTService::Initialize() {
    Trace(L"Entering CNTService::Initialize()");
    SetStatus(svc::kServiceStartPending);
    bool initialized = OnInit();
    std::uint32_t error = host_.LastError();
    {
        std::lock_guard lock(statusMutex_);
        status_.win32ExitCode = error;
        status_.checkPoint = 0;
        status_.waitHint = 0;
        // A failure must never read as success: without an error code of its own it is reported as a
        // service-specific error 1.
        if (!initialized && error == 0) {
            status_.win32ExitCode = svc::kErrorServiceSpecificError;
            status_.serviceSpecificExitCode = 1;
        }
    }
    if (!initialized) {
        // The service main reports the stopped state, once, as its last act.
        running_.store(false);
        ReportLogEvent(svc::kEventError, events::kInitializationFailed);
        return false;
    }
    ReportLogEvent(svc::kEventInformation, events::kServiceStarted);
    SetStatus(svc::kServiceRunning);
    Trace(L"Leaving CNTService::Initialize()");
    return true;
}

// --- Control handler ---------------------------------------------------------------------------------

void CNTService::DispatchDeviceEvent(std::uint32_t control, std::uint32_t eventType, const void* eventData,
                                     std::size_t eventDataSize) {
    Trace(L"SERVICE_CONTROL_DEVICEEVENT Opcode received was 0x%08X, Type = 0x%08X\n", control, eventType);
    if (eventType != svc::kDeviceArrival && eventType != svc::kDeviceQueryRemove &&
        eventType != svc::kDeviceRemoveComplete) {
        ReportLogEvent(svc::kEventError, events::kUnsupportedRequest);
        return;
    }
    // The record must hold at least its header, and all that the header claims.
    svc::DeviceBroadcastHeader header{};
    if (eventData == nullptr || eventDataSize < sizeof header) {
        Trace(L"Device event without its broadcast header ignored");
        return;
    }
    std::memcpy(&header, eventData, sizeof header);
    if (header.size < sizeof header || header.size > eventDataSize) {
        Trace(L"Device event with a broadcast header of bad size 0x%08X ignored", header.size);
        return;
    }
    Trace(L"hdr type 0x%08X, size = 0x%08X\n", header.deviceType, header.size);
    if (header.deviceType == svc::kDeviceTypeVolume || header.deviceType == svc::kDeviceTypeDeviceInterface) {
        OnDevChange();
    }
}

std::uint32_t CNTService::Handler(std::uint32_t control, std::uint32_t eventType, const void* eventData,
                                  std::size_t eventDataSize) {
    Trace(L"CNTService::Handler(%lu)", control);
    // Counted, so that the service main's stopped report waits for this call's own closing update.
    {
        std::lock_guard lock(statusMutex_);
        ++handlersInFlight_;
    }
    switch (control) {
        case svc::kControlStop:
            SetStatus(svc::kServiceStopPending);
            OnStop();
            running_.store(false);
            ReportLogEvent(svc::kEventInformation, events::kServiceStopped);
            break;
        case svc::kControlPause:
            OnPause();
            break;
        case svc::kControlContinue:
            OnContinue();
            break;
        case svc::kControlInterrogate:
            OnInterrogate();
            break;
        case svc::kControlShutdown:
            OnShutdown();
            break;
        case svc::kControlDeviceEvent:
            DispatchDeviceEvent(control, eventType, eventData, eventDataSize);
            break;
        default:
            if (control >= svc::kControlUserFirst && control <= svc::kControlUserLast) {
                if (!OnUserControl(control))
                    ReportLogEvent(svc::kEventError, events::kUnsupportedRequest);
            } else {
                ReportLogEvent(svc::kEventError, events::kUnsupportedRequest);
            }
            break;
    }
    Trace(L"dwControl received was 0x(%08X)\n", control);
    Trace(L"dwControl received was 0x%08X\n", control);
    svc::StatusHandle handle = statusHandle_.load();
    svc::ServiceStatus record = Status();
    Trace(L"Updating status (%lu, %lu)", handle, record.currentState);
    bool mayReport = false;
    {
        // Once stopped has been reported nothing more is sent: the service is gone for the manager.
        std::lock_guard lock(statusMutex_);
        mayReport = !stoppedSent_;
    }
    if (mayReport)
        host_.SetStatus(handle, record);
    {
        // Notified under the lock: the service main may report stopped as soon as it wakes, and the
        // object may go right after that.
        std::lock_guard lock(statusMutex_);
        --handlersInFlight_;
        handlersDone_.notify_all();
    }
    return svc::kErrorSuccess;
}

}  // namespace kestrel
