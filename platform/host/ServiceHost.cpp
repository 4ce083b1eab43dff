// The host's service host. There is no service manager on the host, so:
//
// * StartDispatcher runs the service in the foreground of the calling process: the service main runs on a
//   thread of its own, and the calling thread becomes the handler thread. Signals become controls:
//     SIGINT, SIGTERM  -> stop (kControlStop), once: a second one while the stop is under way starts
//                         nothing; a third one ends the process at once with the signal's default
//                         action, even while the stop hook runs (the signal handler itself counts them);
//     SIGUSR1          -> user control 128.
//   Controls reach the handler only while the service reports itself running. One that arrives while it
//   is still starting is queued and delivered once it reports running (dropped if it stops instead):
//   where the service manager would refuse it, there is nobody here to tell, and a stop typed during a
//   long start must not be lost. While the service is stopping, further controls are dropped.
//   StartDispatcher returns when the service main has returned. No root rights are needed.
// * Installed services ("-i", "-u", "-v") are recorded by RegistryServiceManager in the host registry store
//   (platform/host/HostRegistry.h), under the Windows key paths.
// * Event records, and every status the service reports, are appended to "events.log" in the state
//   directory (platform/host/StateDirectory.h), one line each, e.g.
//     2024-05-01T10:00:00Z Kestrel_Defragmentation Information 105 The service was started.
//     2024-05-01T10:00:00Z Kestrel_Defragmentation status RUNNING
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/Utf16.h"
#include "platform/RegistryServiceManager.h"
#include "platform/Console.h"
#include "platform/ServiceHost.h"
#include "platform/host/ErrnoMapping.h"
#include "platform/host/StateDirectory.h"

namespace kestrel::svc {
namespace {
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGUSR1};

// The stop signal that ends the process at once instead of asking the service to stop.
constexpr int kFatalStopSignal = 3;

thread_local std::uint32_t t_lastError = 0;
std::atomic<int> g_signalPipe{-1};
std::atomic<int> g_stopSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted inside a signal handler");

// Runs on whatever thread the signal interrupts, possibly the handler thread inside a stop hook, so it
// counts stop signals itself and only passes the signal on to the dispatcher loop through the pipe.
void OnSignal(int signal) {
    int savedErrno = errno;
    if ((signal == SIGINT || signal == SIGTERM) && g_stopSignals.fetch_add(1) + 1 >= kFatalStopSignal) {
        // The signal is blocked while this handler runs; it is delivered, now with its default action,
        // as soon as the handler returns.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        errno = savedErrno;
        return;
    }
    int fd = g_signalPipe.load();
    if (fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signal);
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

// Wakes the dispatcher loop (a zero byte is no signal).
void WakeDispatcher() {
    int fd = g_signalPipe.load();
    if (fd >= 0) {
        unsigned char byte = 0;
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
}

const wchar_t* StateName(std::uint32_t state) {
    switch (state) {
        case kServiceStopped:
            return L"STOPPED";
        case kServiceStartPending:
            return L"START_PENDING";
        case kServiceStopPending:
            return L"STOP_PENDING";
        case kServiceRunning:
            return L"RUNNING";
        case kServiceContinuePending:
            return L"CONTINUE_PENDING";
        case kServicePausePending:
            return L"PAUSE_PENDING";
        case kServicePaused:
            return L"PAUSED";
        default:
            return L"UNKNOWN";
    }
}

const wchar_t* TypeName(std::uint16_t type) {
    switch (type) {
        case kEventError:
            return L"Error";
        case kEventWarning:
            return L"Warning";
        case kEventInformation:
            return L"Information";
        default:
            return L"Other";
    }
}

// Replaces %1 ... %99 by the insertion strings and drops the trailing line break of the message.
std::wstring Render(const std::wstring& text, const std::vector<std::wstring>& strings) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
            std::size_t number = static_cast<std::size_t>(text[++i] - L'0');
            if (i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9') {
                number = number * 10 + static_cast<std::size_t>(text[++i] - L'0');
            }
            if (number <= strings.size())
                out += strings[number - 1];
        } else {
            out += text[i];
        }
    }
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r'))
        out.pop_back();
    return out;
}

class HostServiceHost : public ServiceHost {
  public:
    HostServiceHost() : manager_(reg::SystemRegistry()) {}

    bool StartDispatcher(const std::wstring& name, ServiceMainFunction serviceMain) override {
        if (dispatching_.exchange(true)) {
            t_lastError = kErrorServiceAlreadyRunning;
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            serviceName_ = name;
        }
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            t_lastError = host::Win32ErrorFromErrno(errno);
            dispatching_ = false;
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            reportedState_ = kNothingReported;
            handler_ = nullptr;
        }
        g_stopSignals = 0;
        g_signalPipe = fds[1];
        struct sigaction action {
        }, previous[std::size(kSignals)];
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &previous[i]);

        std::atomic<bool> done{false};
        std::thread main([&] {
            serviceMain({name});
            done = true;
            WakeDispatcher();
        });

        bool stopRequested = false;
        std::deque<std::uint32_t> queued;
        for (bool last = false; !last;) {
            // Signals that came in while the service main was ending still get their answer.
            last = done.load();
            unsigned char bytes[64];
            ssize_t got;
            while ((got = read(fds[0], bytes, sizeof bytes)) > 0) {
                for (ssize_t i = 0; i < got; ++i) {
                    if (bytes[i] == SIGINT || bytes[i] == SIGTERM) {
                        // One stop per run: a stop already asked for or under way is not started again.
                        if (!stopRequested) {
                            stopRequested = true;
                            queued.push_back(kControlStop);
                        } else {
                            Note(
                                L"a stop is already under way; one more stop signal ends the process at "
                                L"once");
                        }
                    } else if (bytes[i] == SIGUSR1) {
                        queued.push_back(kControlUserFirst);
                    }
                }
            }
            Deliver(queued);
            if (!last) {
                // Every reason to look again (a signal, a status report, the end of the service main)
                // writes to the pipe, so the wait ends at once and needs no time-out: an idle service's
                // dispatcher sleeps until there is something to do.
                pollfd entry{fds[0], POLLIN, 0};
                poll(&entry, 1, -1);
            }
        }
        main.join();

        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &previous[i], nullptr);
        g_signalPipe = -1;
        close(fds[0]);
        close(fds[1]);
        {
            std::lock_guard lock(mutex_);
            handler_ = nullptr;
        }
        dispatching_ = false;
        return true;
    }

    StatusHandle RegisterControlHandler(const std::wstring& name, ControlHandler handler) override {
        std::lock_guard lock(mutex_);
        if (!dispatching_ || name != serviceName_) {
            t_lastError = kErrorServiceNotInExe;
            return 0;
        }
        handler_ = std::move(handler);
        WakeDispatcher();  // controls queued before there was a handler may go once a status allows
        return kStatusHandle;
    }

    bool SetStatus(StatusHandle handle, const ServiceStatus& status) override {
        std::wstring name;
        {
            std::lock_guard lock(mutex_);
            if (handle != kStatusHandle || !dispatching_) {
                t_lastError = kErrorInvalidHandle;
                return false;
            }
            name = serviceName_;
            reportedState_ = status.currentState;
        }
        Append(name + L" status " + StateName(status.currentState));
        // Controls queued while the service was starting may go now.
        WakeDispatcher();
        return true;
    }

    EventSourceHandle OpenEventSource(const std::wstring& name) override {
        std::lock_guard lock(mutex_);
        EventSourceHandle handle = nextSource_++;
        sources_[handle] = name;
        return handle;
    }

    void CloseEventSource(EventSourceHandle source) noexcept override {
        std::lock_guard lock(mutex_);
        sources_.erase(source);
    }

    bool WriteEvent(EventSourceHandle source, std::uint16_t type, std::uint32_t messageId,
                    const std::vector<std::wstring>& strings) override {
        std::wstring line;
        {
            std::lock_guard lock(mutex_);
            auto it = sources_.find(source);
            if (it == sources_.end()) {
                t_lastError = kErrorInvalidHandle;
                return false;
            }
            line = it->second + L" " + TypeName(type) + L" " + std::to_wstring(messageId) + L" ";
            auto text = messages_.find(messageId);
            if (text != messages_.end()) {
                line += Render(text->second, strings);
            } else {
                for (const std::wstring& s : strings)
                    line += L"[" + s + L"]";
            }
        }
        return Append(line);
    }

    void DescribeMessages(std::vector<std::pair<std::uint32_t, std::wstring>> texts) override {
        std::lock_guard lock(mutex_);
        for (auto& [id, text] : texts)
            messages_[id] = std::move(text);
    }

    ScHandle OpenManager(std::uint32_t access) override { return manager_.OpenManager(access, &t_lastError); }
    ScHandle OpenServiceRecord(ScHandle manager, const std::wstring& name, std::uint32_t access) override {
        return manager_.OpenServiceRecord(manager, name, access, &t_lastError);
    }
    ScHandle CreateServiceRecord(ScHandle manager, const ServiceConfig& config) override {
        return manager_.CreateServiceRecord(manager, config, &t_lastError);
    }
    bool DeleteServiceRecord(ScHandle service) override {
        return manager_.DeleteServiceRecord(service, &t_lastError);
    }
    void CloseServiceHandle(ScHandle handle) noexcept override { manager_.CloseServiceHandle(handle); }

    std::wstring ModulePath() override {
        char path[4096];
        ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length <= 0)
            return {};
        return FromUtf8(std::string_view(path, static_cast<std::size_t>(length)));
    }

    std::uint32_t LastError() override { return t_lastError; }
    void SetLastError(std::uint32_t error) override { t_lastError = error; }

    void WriteOutput(std::wstring_view text) override { console::WritePlatform(text); }

  private:
    static constexpr StatusHandle kStatusHandle = 1;
    static constexpr std::uint32_t kNothingReported = 0;

    // Hands queued controls, in order, to the handler while the service reports itself running; keeps
    // them until it has registered its handler and left the start-pending state; drops them once it is
    // stopping or stopped.
    void Deliver(std::deque<std::uint32_t>& queued) {
        while (!queued.empty()) {
            ControlHandler handler;
            std::uint32_t state;
            {
                std::lock_guard lock(mutex_);
                handler = handler_;
                state = reportedState_;
            }
            if (!handler || state == kNothingReported || state == kServiceStartPending)
                return;
            std::uint32_t control = queued.front();
            queued.pop_front();
            if (state == kServiceRunning)
                handler(control, 0, nullptr, 0);
        }
    }

    // A line for the person at the console, on standard error.
    static void Note(const wchar_t* text) {
        std::string line = ToUtf8(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }

    // Appends one line to the log; the file is created readable by the user only.
    bool Append(const std::wstring& text) {
        std::string directory = host::StateDirectory();
        if (std::uint32_t error = host::EnsureStateDirectory(directory); error != 0) {
            t_lastError = error;
            return false;
        }
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &utc);
        std::string line = stamp + ToUtf8(text) + "\n";
        std::lock_guard lock(logMutex_);
        int fd = open((directory + "/events.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            t_lastError = host::Win32ErrorFromErrno(errno);
            return false;
        }
        ssize_t wrote = write(fd, line.data(), line.size());
        close(fd);
        return wrote == static_cast<ssize_t>(line.size());
    }

    RegistryServiceManager manager_;
    std::mutex mutex_;
    std::mutex logMutex_;
    std::atomic<bool> dispatching_{false};
    std::wstring serviceName_;
    ControlHandler handler_;
    std::uint32_t reportedState_ = kNothingReported;  // the last state the service reported
    std::map<EventSourceHandle, std::wstring> sources_;
    EventSourceHandle nextSource_ = 1;
    std::map<std::uint32_t, std::wstring> messages_;
};
}  // namespace

std::uint32_t CurrentThreadId() {
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

ServiceHost& SystemServiceHost() {
    static HostServiceHost host;
    return host;
}

}  // namespace kestrel::svc
