// A service host for tests: it records every status sent, every event written and all console output,
// keeps installed services in a registry through RegistryServiceManager, and can be told to fail.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RegistryServiceManager.h"
#include "platform/ServiceHost.h"

namespace kestrel::test {

class FakeServiceHost : public svc::ServiceHost {
  public:
    struct Event {
        std::uint16_t type;
        std::uint32_t id;
        std::vector<std::wstring> strings;
    };

    explicit FakeServiceHost(reg::Registry& registry) : manager_(registry) {}

    // Knobs.
    std::uint32_t registerHandlerError = 0;  // nonzero: RegisterControlHandler fails with it
    bool eventSourceFails = false;
    std::uint32_t deleteServiceError = 0;  // nonzero: DeleteServiceRecord fails with it
    std::wstring modulePath = L"C:\\Program Files\\Kestrel\\KestrelService.exe";
    // Called with each status after it was recorded, on the sending thread.
    std::function<void(const svc::ServiceStatus&)> onStatus;

    bool StartDispatcher(const std::wstring& name, svc::ServiceMainFunction serviceMain) override {
        std::lock_guard lock(mutex_);
        dispatcherCalls_.push_back(name);
        serviceMain_ = std::move(serviceMain);
        lastError_ = svc::kErrorFailedServiceControllerConnect;  // as when started from a console
        return false;
    }

    svc::StatusHandle RegisterControlHandler(const std::wstring& name, svc::ControlHandler handler) override {
        std::lock_guard lock(mutex_);
        handlerName_ = name;
        if (registerHandlerError != 0) {
            lastError_ = registerHandlerError;
            return 0;
        }
        handler_ = std::move(handler);
        return kStatusHandle;
    }

    bool SetStatus(svc::StatusHandle handle, const svc::ServiceStatus& status) override {
        {
            std::lock_guard lock(mutex_);
            statuses_.push_back(status);  // recorded even when sent without a registered handler
        }
        if (onStatus)
            onStatus(status);
        return handle == kStatusHandle;
    }

    svc::EventSourceHandle OpenEventSource(const std::wstring& name) override {
        std::lock_guard lock(mutex_);
        ++sourcesOpened_;
        sourceName_ = name;
        if (eventSourceFails)
            return 0;
        ++sourcesOpen_;
        return kEventSource;
    }
    void CloseEventSource(svc::EventSourceHandle source) noexcept override {
        std::lock_guard lock(mutex_);
        if (source == kEventSource)
            --sourcesOpen_;
    }
    bool WriteEvent(svc::EventSourceHandle source, std::uint16_t type, std::uint32_t id,
                    const std::vector<std::wstring>& strings) override {
        std::lock_guard lock(mutex_);
        if (source != kEventSource)
            return false;
        events_.push_back(Event{type, id, strings});
        return true;
    }

    svc::ScHandle OpenManager(std::uint32_t access) override {
        std::uint32_t error = 0;
        svc::ScHandle handle = manager_.OpenManager(access, &error);
        if (handle == 0)
            lastError_ = error;
        return handle;
    }
    svc::ScHandle OpenServiceRecord(svc::ScHandle manager, const std::wstring& name,
                                    std::uint32_t access) override {
        std::uint32_t error = 0;
        svc::ScHandle handle = manager_.OpenServiceRecord(manager, name, access, &error);
        if (handle == 0)
            lastError_ = error;
        return handle;
    }
    svc::ScHandle CreateServiceRecord(svc::ScHandle manager, const svc::ServiceConfig& config) override {
        std::uint32_t error = 0;
        svc::ScHandle handle = manager_.CreateServiceRecord(manager, config, &error);
        if (handle == 0)
            lastError_ = error;
        return handle;
    }
    bool DeleteServiceRecord(svc::ScHandle service) override {
        if (deleteServiceError != 0) {
            lastError_ = deleteServiceError;
            return false;
        }
        std::uint32_t error = 0;
        bool deleted = manager_.DeleteServiceRecord(service, &error);
        if (!deleted)
            lastError_ = error;
        return deleted;
    }
    void CloseServiceHandle(svc::ScHandle handle) noexcept override { manager_.CloseServiceHandle(handle); }

    std::wstring ModulePath() override { return modulePath; }
    std::uint32_t LastError() override { return lastError_; }
    void SetLastError(std::uint32_t error) override { lastError_ = error; }

    void WriteOutput(std::wstring_view text) override {
        std::lock_guard lock(mutex_);
        output_ += text;
    }

    // Observations.
    std::vector<std::uint32_t> States() const {
        std::lock_guard lock(mutex_);
        std::vector<std::uint32_t> states;
        for (const auto& s : statuses_)
            states.push_back(s.currentState);
        return states;
    }
    std::vector<svc::ServiceStatus> Statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<Event> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::uint32_t> EventIds() const {
        std::lock_guard lock(mutex_);
        std::vector<std::uint32_t> ids;
        for (const auto& e : events_)
            ids.push_back(e.id);
        return ids;
    }
    std::wstring Output() const {
        std::lock_guard lock(mutex_);
        return output_;
    }
    std::vector<std::wstring> DispatcherCalls() const {
        std::lock_guard lock(mutex_);
        return dispatcherCalls_;
    }
    bool HasHandler() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(handler_);
    }
    std::wstring HandlerName() const {
        std::lock_guard lock(mutex_);
        return handlerName_;
    }
    int SourcesOpened() const {
        std::lock_guard lock(mutex_);
        return sourcesOpened_;
    }
    int SourcesOpen() const {
        std::lock_guard lock(mutex_);
        return sourcesOpen_;
    }
    std::wstring SourceName() const {
        std::lock_guard lock(mutex_);
        return sourceName_;
    }
    void ClearRecords() {
        std::lock_guard lock(mutex_);
        statuses_.clear();
        events_.clear();
        output_.clear();
    }

    static constexpr svc::StatusHandle kStatusHandle = 0x5151;
    static constexpr svc::EventSourceHandle kEventSource = 0x7E7E;

  private:
    svc::RegistryServiceManager manager_;
    mutable std::mutex mutex_;
    std::atomic<std::uint32_t> lastError_{0};  // one value for all threads: tests run one action at a time
    std::vector<std::wstring> dispatcherCalls_;
    svc::ServiceMainFunction serviceMain_;
    std::wstring handlerName_;
    svc::ControlHandler handler_;
    std::vector<svc::ServiceStatus> statuses_;
    std::vector<Event> events_;
    std::wstring output_;
    std::wstring sourceName_;
    int sourcesOpened_ = 0;
    int sourcesOpen_ = 0;
};

}  // namespace kestrel::test
