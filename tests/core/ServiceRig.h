// What the service tests share: a DefragService over the in-memory registry and the fake service host,
// with scripted change notification, a fixed drive table, simulated volumes, fake device notification and
// scaled time; its service main runs on a thread as the service manager would run it. A client talks to
// its command thread through real mailslots.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mailslot/MailslotEndpoint.h"
#include "platform/DeviceNotification.h"
#include "platform/MemoryRegistry.h"
#include "platform/sim/SimFileSystem.h"
#include "service/core/DefragService.h"
#include "tests/drives/DriveSetRig.h"
#include "tests/framework/FakeServiceHost.h"
#include "tests/mailslot/MailslotTestNames.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::core::test {

using watcher::WaitUntil;

// Device notification that records what the service asked for.
class FakeDevices : public devices::DeviceNotifications {
  public:
    static constexpr devices::DeviceNotifyHandle kHandle = 0xD0D0;

    bool VersionAtLeast(std::uint32_t major, std::uint32_t minor) override {
        std::lock_guard lock(mutex_);
        asked = {major, minor};
        return laterThanXp;
    }
    devices::DeviceNotifyHandle Register(svc::StatusHandle recipient, const devices::DeviceInterfaceFilter& f,
                                         std::uint32_t requested, std::uint32_t* error) override {
        std::lock_guard lock(mutex_);
        ++registrations;
        this->recipient = recipient;
        filter = f;
        flags = requested;
        if (failWith != 0) {
            *error = failWith;
            return 0;
        }
        return kHandle;
    }
    bool Unregister(devices::DeviceNotifyHandle handle) override {
        std::lock_guard lock(mutex_);
        unregistered.push_back(handle);
        return handle != 0;
    }

    // Knobs.
    bool laterThanXp = true;
    std::uint32_t failWith = 0;
    // Observations.
    std::pair<std::uint32_t, std::uint32_t> asked{0, 0};
    int registrations = 0;
    svc::StatusHandle recipient = 0;
    devices::DeviceInterfaceFilter filter{};
    std::uint32_t flags = 0;
    std::vector<devices::DeviceNotifyHandle> unregistered;

  private:
    std::mutex mutex_;
};

struct ServiceRig {
    ServiceRig() : host(registry) {}
    ~ServiceRig() {
        if (main.joinable())
            Stop();
        service.reset();
    }

    ServicePlatform Platform() {
        ServicePlatform platform;
        platform.drives = {{&drives.changes, &drives.table, &fileSystem},
                           [this] { return drives.instances; }};
        platform.physicalDisks = [this] { return drives.instances; };
        platform.devices = &devices;
        platform.commandMailslot = commandSlot;
        platform.idlePriority = false;
        return platform;
    }
    DefragService& Construct() {
        service = std::make_unique<DefragService>(Platform(), host, registry);
        return *service;
    }
    // Runs the service main on a thread of its own and waits until the command mailslot takes requests.
    void Start() {
        if (!service)
            Construct();
        main = std::thread([this] { service->ServiceMain({kServiceName}); });
        WaitUntil([this] {
            MailslotWriter probe;
            return probe.Open(commandSlot);
        });
    }
    // The stop control as the service manager delivers it; returns when the handler has returned, then
    // waits for the service main.
    void Stop() {
        service->Handler(svc::kControlStop, 0, nullptr, 0);
        main.join();
    }

    // The watcher of a drive, read under the lock that the command thread holds around each command.
    template <class F>
    auto WithDrives(F f) {
        std::lock_guard lock(service->DriveSetLock());
        return f(service->Drives());
    }

    drives::DriveSetRig drives;  // scales time down by 100
    reg::MemoryRegistry registry;
    kestrel::test::FakeServiceHost host;
    FakeDevices devices;
    sim::SimFileSystem fileSystem;
    std::wstring commandSlot = mailtest::UniqueSlotName(L"command");
    std::unique_ptr<DefragService> service;
    std::thread main;
};

// A client of the command channel with its own reply mailslot. In requests, "@" stands for its reply
// mailslot's name.
class Client {
  public:
    explicit Client(std::wstring commandSlot) : commandSlot_(std::move(commandSlot)) {
        created_ = reader_.Create(name_, false);
    }
    bool Created() const { return created_; }
    const std::wstring& Name() const { return name_; }

    std::wstring Expand(std::wstring_view request) const {
        std::wstring text;
        for (wchar_t c : request) {
            if (c == L'@')
                text += name_;
            else
                text += c;
        }
        return text;
    }
    bool SendRaw(const std::wstring& text) {
        MailslotWriter writer;
        return writer.Open(commandSlot_) && writer.Write(text);
    }
    bool Send(std::wstring_view request) { return SendRaw(Expand(request)); }

    // The next reply, or an empty text after `timeoutMs` of real time.
    std::wstring Next(int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::wstring text = reader_.Read();
            if (!text.empty())
                return text;
            if (std::chrono::steady_clock::now() > deadline)
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Sends the request, then "ZGetData" as a marker (drive Z is never watched in these tests), and
    // returns every reply that came before the marker's two. The service handles requests in order, so
    // whatever the request answered has arrived by then; a request that answers nothing gives an empty
    // list. A missing marker gives the replies seen and a last entry "(no marker)".
    std::vector<std::wstring> Ask(std::wstring_view request) {
        std::vector<std::wstring> replies;
        if (!Send(request) || !Send(L"ZGetData@"))
            return {L"(not sent)"};
        const std::wstring marker = L"25, Z";
        for (;;) {
            std::wstring text = Next();
            if (text.empty()) {
                replies.push_back(L"(no marker)");
                return replies;
            }
            if (text.compare(0, marker.size(), marker) == 0 && !replies.empty()) {
                replies.pop_back();  // the marker's code-22 line
                return replies;
            }
            replies.push_back(std::move(text));
        }
    }

  private:
    std::wstring commandSlot_;
    std::wstring name_ = mailtest::UniqueSlotName(L"reply");
    MailslotReader reader_;
    bool created_ = false;
};

}  // namespace kestrel::core::test
