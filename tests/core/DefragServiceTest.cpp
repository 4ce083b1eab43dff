// DefragService over the in-memory registry and the fake service host, its service main on a thread of
// its own: the parameters, the status value, device registration and device events, and the stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "platform/Trace.h"
#include "service/drives/SettingsStore.h"
#include "tests/core/ServiceRig.h"

namespace kestrel::core::test {
namespace {

std::optional<reg::Value> Get(reg::Registry& registry, const std::wstring& path, std::wstring_view name) {
    reg::Key key = registry.Open(reg::kLocalMachine, path, reg::kKeyRead);
    reg::Value value;
    if (!key || registry.QueryValue(key.get(), name, &value) != reg::kErrorSuccess)
        return std::nullopt;
    return value;
}
void Set(reg::Registry& registry, const std::wstring& path, std::wstring_view name, const reg::Value& value) {
    reg::Key key = registry.Create(reg::kLocalMachine, path, reg::kKeyAllAccess);
    ASSERT_TRUE(key);
    ASSERT_EQ(registry.SetValue(key.get(), name, value), reg::kErrorSuccess);
}

// The texts of the service's own trace lines ("[Kestrel_Defragmentation](<thread>): TEXT\n"), in order,
// without prefix and the line break the trace adds.
std::vector<std::wstring> ServiceLines(const trace::CaptureSink& sink) {
    const std::wstring prefix = std::wstring(L"[") + kServiceName + L"](";
    std::vector<std::wstring> texts;
    for (const std::wstring& line : sink.Lines()) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::size_t at = line.find(L"): ");
        if (at == std::wstring::npos || line.back() != L'\n')
            continue;
        texts.push_back(line.substr(at + 3, line.size() - at - 4));
    }
    return texts;
}
std::ptrdiff_t IndexOf(const std::vector<std::wstring>& lines, const std::wstring& text) {
    auto at = std::find(lines.begin(), lines.end(), text);
    return at == lines.end() ? -1 : at - lines.begin();
}

TEST(DefragServiceTest, ParametersAreReadOrRepairedAndUserControl128SavesStartPlusInc) {
    struct Case {
        std::optional<reg::Value> start, inc;
        std::uint32_t storedStart, storedInc, current;
    };
    const Case cases[] = {
        // First start after installation: the defaults are written; Current = 0 + 1.
        {std::nullopt, std::nullopt, 0, 1, 1},
        // Stored values are taken.
        {reg::Value::Dword(5), reg::Value::Dword(3), 5, 3, 8},
        // A value of another type is replaced by the default; the other one is still taken.
        {reg::Value::String(L"7"), reg::Value::Dword(2), 0, 2, 2},
        {reg::Value::Dword(10), reg::Value{reg::kRegBinary, {1, 0, 0, 0}}, 10, 1, 11},
        // Negative values are 32-bit signed: -4 + 1.
        {reg::Value::Dword(0xFFFFFFFC), std::nullopt, 0xFFFFFFFC, 1, 0xFFFFFFFD},
    };
    for (const Case& c : cases) {
        ServiceRig rig;
        if (c.start)
            Set(rig.registry, kParametersKeyPath, L"Start", *c.start);
        if (c.inc)
            Set(rig.registry, kParametersKeyPath, L"Inc", *c.inc);
        trace::ScopedCapture traces;
        rig.Start();
        EXPECT_EQ(Get(rig.registry, kParametersKeyPath, L"Start"), reg::Value::Dword(c.storedStart));
        EXPECT_EQ(Get(rig.registry, kParametersKeyPath, L"Inc"), reg::Value::Dword(c.storedInc));
        EXPECT_EQ(Get(rig.registry, kStatusKeyPath, L"Current"), std::nullopt);

        EXPECT_EQ(rig.service->Handler(kControlSaveStatus, 0, nullptr, 0), 0u);
        EXPECT_EQ(Get(rig.registry, kStatusKeyPath, L"Current"), reg::Value::Dword(c.current));
        // Any other user code is not handled: the base logs the unsupported request.
        rig.service->Handler(129, 0, nullptr, 0);
        rig.Stop();

        const std::vector<std::wstring> lines = ServiceLines(traces);
        const std::ptrdiff_t saving = IndexOf(lines, L"Saving current status");
        ASSERT_GE(saving, 0);
        ASSERT_LT(saving + 2, static_cast<std::ptrdiff_t>(lines.size()));
        EXPECT_EQ(lines[saving + 1],
                  L"Creating key: SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation\\Status");
        EXPECT_EQ(lines[saving + 2],
                  L"Saving 'Current' as " + std::to_wstring(static_cast<std::int32_t>(c.current)));
        const std::vector<std::uint32_t> events = rig.host.EventIds();
        EXPECT_EQ(std::count(events.begin(), events.end(), 106u), 1);
        EXPECT_GE(IndexOf(lines, L"OnInit called"), 0);
    }
}

TEST(DefragServiceTest, AStatusKeyThatCannotBeCreatedIsTracedAndNothingElseChanges) {
    ServiceRig rig;
    // A value where the Status key would go makes no key impossible in the model; a key path with an
    // empty component does: the service's own name is fixed, so the failure is provoked through a
    // registry that refuses the create.
    class RefusingRegistry : public reg::MemoryRegistry {
      public:
        std::uint32_t CreateKey(reg::RawKey parent, std::wstring_view subKey, std::uint32_t access,
                                reg::RawKey* out, bool* created) override {
            if (subKey.find(L"\\Status") != std::wstring_view::npos)
                return reg::kErrorAccessDenied;
            return MemoryRegistry::CreateKey(parent, subKey, access, out, created);
        }
    } refusing;
    kestrel::test::FakeServiceHost host(refusing);
    DefragService service(rig.Platform(), host, refusing);
    trace::ScopedCapture traces;
    EXPECT_TRUE(service.OnUserControl(kControlSaveStatus));
    const std::vector<std::wstring> lines = ServiceLines(traces);
    EXPECT_GE(IndexOf(lines, L"Failed to create Status key (5)"), 0);
    EXPECT_EQ(IndexOf(lines, L"Saving 'Current' as 0"), -1);
    EXPECT_FALSE(service.OnUserControl(127 + 2));
}

TEST(DefragServiceTest, DeviceRegistrationAsksForEveryInterfaceClassFromWindowsXpOn) {
    for (bool laterThanXp : {true, false}) {
        ServiceRig rig;
        rig.devices.laterThanXp = laterThanXp;
        trace::ScopedCapture traces;
        rig.Start();
        EXPECT_EQ(rig.devices.asked, std::make_pair(5u, 1u));
        EXPECT_EQ(rig.devices.flags, laterThanXp ? 5u : 1u);
        EXPECT_EQ(rig.devices.recipient, kestrel::test::FakeServiceHost::kStatusHandle);
        EXPECT_EQ(rig.devices.filter.size, 32u);
        EXPECT_EQ(rig.devices.filter.deviceType, 5u);
        EXPECT_EQ(rig.devices.filter.reserved, 0u);
        EXPECT_EQ(rig.devices.filter.classGuid.data1, 0x2C4E2E88u);
        EXPECT_EQ(rig.devices.filter.classGuid.data2, 0x25E6u);
        EXPECT_EQ(rig.devices.filter.classGuid.data3, 0x4C33u);
        const std::uint8_t tail[8] = {0x88, 0x2F, 0x3D, 0x82, 0xE6, 0x07, 0x36, 0x81};
        EXPECT_TRUE(std::equal(tail, tail + 8, rig.devices.filter.classGuid.data4));
        EXPECT_EQ(rig.service->DeviceNotification(), FakeDevices::kHandle);
        rig.Stop();
        // The stop ends the registration it made.
        EXPECT_EQ(rig.devices.unregistered, std::vector<devices::DeviceNotifyHandle>{FakeDevices::kHandle});
        EXPECT_GE(IndexOf(ServiceLines(traces), L"RegisterDeviceNotification worked\n"), 0);
    }
}

TEST(DefragServiceTest, AFailedDeviceRegistrationIsTracedAndTheServiceRunsOn) {
    ServiceRig rig;
    rig.devices.failWith = kErrorAccessDenied;
    trace::ScopedCapture traces;
    rig.Start();
    const std::vector<std::wstring> lines = ServiceLines(traces);
    const std::ptrdiff_t failed = IndexOf(lines, L"Failed to get HDEVNOTIFY back (00000000H)");
    ASSERT_GE(failed, 0);
    ASSERT_LT(failed + 2, static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_EQ(lines[failed + 1], L"Error = (" + SystemErrorText(kErrorAccessDenied) + L")");
    EXPECT_EQ(lines[failed + 2], L"RegisterDeviceNotification failed: (00000005H).\n");
    EXPECT_EQ(rig.service->DeviceNotification(), 0u);
    // It still answers.
    Client client(rig.commandSlot);
    EXPECT_EQ(client.Ask(L"CFreeSpace@"), std::vector<std::wstring>{L"23, No calc"});
    rig.Stop();

    // Before the service main registered its handler there is no status handle: the registration is
    // tried all the same, after a warning.
    ServiceRig idle;
    DefragService& service = idle.Construct();
    trace::ScopedCapture more;
    std::uintptr_t handle = 1;
    EXPECT_TRUE(service.RegisterDeviceEvents(handle));
    EXPECT_EQ(handle, FakeDevices::kHandle);
    EXPECT_EQ(idle.devices.recipient, 0u);
    EXPECT_GE(IndexOf(ServiceLines(more), L"WATCH OUT............. h_serviceStatus is NULL: (00000000H).\n"),
              0);
}

TEST(DefragServiceTest, DeviceEventsRebuildTheAvailableDrivesUntilTheServiceStops) {
    ServiceRig rig;
    rig.drives.Add(L'C', drives::kDriveFixed);
    drives::SettingsStore store(rig.registry);
    store.CreateKeys();
    store.StopWatching(L"C:\\");
    store.StopWatching(L"E:\\");
    store.StopWatching(L"F:\\");
    rig.Start();
    auto available = [&] {
        return rig.WithDrives([](drives::DriveSet& set) { return set.AvailableDrives(); });
    };
    EXPECT_EQ(available(), L"C:\\");

    rig.drives.Add(L'E', drives::kDriveRemovable);
    const svc::DeviceBroadcastHeader volume{sizeof(svc::DeviceBroadcastHeader), svc::kDeviceTypeVolume, 0};
    rig.service->Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, &volume, sizeof volume);
    EXPECT_EQ(available(), L"C:\\E:\\");
    // A shutdown does not stop the service (it only saves its state): it keeps answering.
    rig.service->Handler(svc::kControlShutdown, 0, nullptr, 0);
    Client client(rig.commandSlot);
    EXPECT_EQ(client.Ask(L"GetAvailableDrives@"), std::vector<std::wstring>{L"20, C:\\E:\\"});

    rig.Stop();
    EXPECT_FALSE(rig.service->CommandThreadRunning());
    // Once stopped, a late device event starts nothing.
    rig.drives.Add(L'F', drives::kDriveFixed);
    rig.service->OnDevChange();
    EXPECT_EQ(available(), L"C:\\E:\\");
}

TEST(DefragServiceTest, AShutdownSavesTheQueuesAndTheLifeTimeCountAtOnceAndTheNextStartFindsThem) {
    ServiceRig rig;
    rig.drives.Add(L'C', drives::kDriveFixed);
    rig.drives.Add(L'D', drives::kDriveFixed);
    timing::ScopedTimeDivisor patient(10);  // the queued files rest for 3 s: still queued at the shutdown
    rig.Start();
    rig.WithDrives([](drives::DriveSet& set) {
        set.QueueFile(3, L"C:\\one.db");
        set.QueueFile(3, L"C:\\two.db");
        set.QueueFile(4, L"D:\\three.log");
        watcher::WatcherTestAccess::SetFragmentsSaved(*set.WatcherAt(3), 9);
        return 0;
    });
    {
        // While a command holds the drive set, the shutdown waits a bounded time and then gives up.
        trace::ScopedCapture traces;
        std::unique_lock busy(rig.service->DriveSetLock());
        std::thread shutdown([&] { rig.service->Handler(svc::kControlShutdown, 0, nullptr, 0); });
        shutdown.join();
        EXPECT_GE(IndexOf(ServiceLines(traces), L"Shutdown: the drive set is busy, its state is not saved"),
                  0);
        EXPECT_EQ(Get(rig.registry, std::wstring(kParametersKeyPath) + L"\\FilesFor D", L"0"), std::nullopt);
    }
    rig.service->Handler(svc::kControlShutdown, 0, nullptr, 0);
    const std::wstring parameters = kParametersKeyPath;
    EXPECT_EQ(Get(rig.registry, parameters, L"LifeTime"), reg::Value::Dword(9));
    EXPECT_TRUE(Get(rig.registry, parameters + L"\\FilesFor C", L"1").has_value());
    EXPECT_EQ(Get(rig.registry, parameters + L"\\FilesFor D", L"0"), reg::Value::String(L"D:\\three.log"));
    // Nothing was stopped: the service still answers and watches.
    Client client(rig.commandSlot);
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), std::vector<std::wstring>{L"21, C:\\D:\\"});

    // The process would end here. A start over what it left finds the count and the files.
    {
        drives::DriveSetRig again;
        again.Add(L'C', drives::kDriveFixed);
        again.Add(L'D', drives::kDriveFixed);
        drives::DriveSet next(rig.registry, reg::kLocalMachine, parameters, true, again.Platform());
        EXPECT_EQ(next.LifeTimeTotal(), 9);
        ASSERT_NE(next.WatcherAt(3), nullptr);
        std::vector<std::wstring> c = next.WatcherAt(3)->PendingPaths();
        std::sort(c.begin(), c.end());
        EXPECT_EQ(c, (std::vector<std::wstring>{L"C:\\one.db", L"C:\\two.db"}));
        EXPECT_EQ(next.WatcherAt(4)->PendingPaths(), std::vector<std::wstring>{L"D:\\three.log"});
    }
    rig.Stop();
}

}  // namespace
}  // namespace kestrel::core::test
