// CNTService driven directly through a fake service host: the service main, the states it reports, the
// control handler's dispatch, device events, event records and trace lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "common/Utf16.h"
#include "platform/MemoryRegistry.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "service/framework/CNTService.h"
#include "tests/framework/FakeServiceHost.h"

namespace kestrel::test {
namespace {
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr wchar_t kName[] = L"KestrelUnitSvc";

// Counts the hooks and lets a test decide what OnInit and OnUserControl answer.
class ProbeService : public CNTService {
  public:
    ProbeService(svc::ServiceHost& host, reg::Registry& registry, std::wstring_view name = kName)
        : CNTService(name, host, registry) {}

    bool initResult = true;
    std::uint32_t initError = 0;
    std::atomic<int> devChanges{0}, stops{0}, pauses{0}, continues{0}, interrogates{0}, shutdowns{0};
    std::vector<std::uint32_t> userCodes;

    bool OnInit() override {
        CNTService::OnInit();
        Host().SetLastError(initError);
        return initResult;
    }
    void OnStop() override {
        ++stops;
        CNTService::OnStop();
    }
    void OnPause() override {
        ++pauses;
        CNTService::OnPause();
    }
    void OnContinue() override {
        ++continues;
        CNTService::OnContinue();
    }
    void OnInterrogate() override {
        ++interrogates;
        CNTService::OnInterrogate();
    }
    void OnShutdown() override {
        ++shutdowns;
        CNTService::OnShutdown();
    }
    void OnDevChange() override {
        ++devChanges;
        CNTService::OnDevChange();
    }
    bool OnUserControl(std::uint32_t code) override {
        userCodes.push_back(code);
        CNTService::OnUserControl(code);
        return code == 128;
    }
};

class ServiceTest : public ::testing::Test {
  protected:
    reg::MemoryRegistry registry;
    FakeServiceHost host{registry};
    trace::ScopedCapture capture;
    timing::ScopedTimeDivisor fast{1000};

    // Runs the service main on its own thread until it reports running.
    std::thread StartService(CNTService& service) {
        std::thread main([&service] { service.ServiceMain({kName, L"-extra"}); });
        for (int i = 0; i < 2000 && service.Status().currentState != svc::kServiceRunning; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return main;
    }

    std::wstring Prefix(std::wstring_view name = kName) {
        return Format(L"[%s](%lu): ", std::wstring(name), svc::CurrentThreadId());
    }

    // Each text must appear as a trace line (prefix aside) after the one found for the text before it.
    static void ExpectInOrder(const std::vector<std::wstring>& lines,
                              const std::vector<std::wstring>& texts) {
        std::size_t next = 0;
        for (const std::wstring& text : texts) {
            std::size_t found = next;
            while (found < lines.size()) {
                std::size_t cut = lines[found].find(L"): ");
                if (cut != std::wstring::npos && lines[found].compare(cut + 3, std::wstring::npos, text) == 0)
                    break;
                ++found;
            }
            if (found == lines.size()) {
                ADD_FAILURE() << "no trace line \"" << ToUtf8(text) << "\" after line " << next;
                return;
            }
            next = found + 1;
        }
    }
};

TEST_F(ServiceTest, RunsAndStopsWithStatesAndEventsInOrder) {
    ProbeService service(host, registry);
    std::thread main = StartService(service);
    ASSERT_EQ(service.Status().currentState, svc::kServiceRunning);
    EXPECT_EQ(host.HandlerName(), kName);
    // The base Run traces once it has gone round its loop; the stop comes after that.
    auto slept = [&] {
        for (const auto& line : capture.Lines())
            if (line.size() >= 15 && line.compare(line.size() - 15, 15, L"): Sleeping...\n") == 0)
                return true;
        return false;
    };
    for (int i = 0; i < 2000 && !slept(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(service.Handler(svc::kControlStop, 0, nullptr, 0), svc::kErrorSuccess);
    main.join();

    // Start pending and running from Initialize; stop pending from the stop, sent again by the handler's
    // closing update; stopped when Run returned.
    EXPECT_THAT(host.States(),
                ElementsAre(svc::kServiceStartPending, svc::kServiceRunning, svc::kServiceStopPending,
                            svc::kServiceStopPending, svc::kServiceStopped));
    EXPECT_THAT(host.EventIds(), ElementsAre(105u, 108u));
    EXPECT_EQ(host.Events()[0].type, svc::kEventInformation);
    EXPECT_EQ(host.Events()[1].type, svc::kEventInformation);
    EXPECT_EQ(host.SourceName(), kName);
    EXPECT_EQ(service.stops, 1);
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(service.Status().win32ExitCode, 0u);
    for (const auto& status : host.Statuses()) {
        EXPECT_EQ(status.serviceType, svc::kServiceWin32OwnProcess);
        EXPECT_EQ(status.controlsAccepted, svc::kAcceptStop | svc::kAcceptShutdown);
    }

    ExpectInOrder(capture.Lines(),
                  {L"Args to service = 2\n\n", L"Args 0 = KestrelUnitSvc\n", L"Args 1 = -extra\n",
                   L"Entering CNTService::ServiceMain()\n", L"Entering CNTService::Initialize()\n",
                   L"CNTService::OnInit()\n",
                   Format(L"CNTService::SetStatus(%lu, %lu)\n", FakeServiceHost::kStatusHandle, 4),
                   L"Entering CNTService::Run()\n", L"Sleeping...\n", L"Leaving CNTService::Run()\n",
                   L"Leaving CNTService::ServiceMain()\n",
                   Format(L"CNTService::SetStatus(%lu, %lu)\n", FakeServiceHost::kStatusHandle, 1)});
}

TEST_F(ServiceTest, TheStoppedReportIsTheServiceMainsLastAct) {
    ProbeService service(host, registry);
    // Once stopped is reported the dispatcher may return and the program destroy the service: the
    // service-main thread must not trace (or touch the object at all) after it.
    std::atomic<std::size_t> linesAtStop{0};
    host.onStatus = [&](const svc::ServiceStatus& status) {
        if (status.currentState == svc::kServiceStopped)
            linesAtStop = capture.Lines().size();
    };
    std::thread main = StartService(service);
    service.Handler(svc::kControlStop, 0, nullptr, 0);
    main.join();
    EXPECT_EQ(host.States().back(), svc::kServiceStopped);
    EXPECT_NE(linesAtStop.load(), 0u);
    EXPECT_EQ(capture.Lines().size(), linesAtStop.load());
}

// A service whose stop hook returns only after its run has ended, as a service that waits for its worker
// thread does: the service main then reaches its stopped report while the handler is still busy.
class SlowStopService : public ProbeService {
  public:
    using ProbeService::ProbeService;
    std::atomic<bool> stopRequested{false}, runReturned{false};

    void Run() override {
        while (!stopRequested.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        runReturned.store(true);
    }
    void OnStop() override {
        stopRequested.store(true);
        for (int i = 0; i < 2000 && !runReturned.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Time for the service main to go on to its stopped report, and longer than any scaled-down wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
};

TEST_F(ServiceTest, NothingIsReportedAfterTheStoppedState) {
    SlowStopService service(host, registry);
    std::thread main = StartService(service);
    ASSERT_EQ(service.Status().currentState, svc::kServiceRunning);
    EXPECT_EQ(service.Handler(svc::kControlStop, 0, nullptr, 0), svc::kErrorSuccess);
    main.join();
    EXPECT_THAT(host.States(),
                ElementsAre(svc::kServiceStartPending, svc::kServiceRunning, svc::kServiceStopPending,
                            svc::kServiceStopPending, svc::kServiceStopped));

    // A control that arrives after the stopped report sends nothing more, a late stop included.
    service.Handler(svc::kControlInterrogate, 0, nullptr, 0);
    service.Handler(svc::kControlStop, 0, nullptr, 0);
    EXPECT_EQ(host.States().size(), 5u);
    EXPECT_EQ(service.Status().currentState, svc::kServiceStopped);
}

TEST_F(ServiceTest, FailedInitialisationStopsWithItsErrorAndEvent104) {
    ProbeService service(host, registry);
    service.initResult = false;
    service.initError = 1234;
    std::atomic<std::size_t> linesAtStop{0};
    host.onStatus = [&](const svc::ServiceStatus& status) {
        if (status.currentState == svc::kServiceStopped)
            linesAtStop = capture.Lines().size();
    };
    service.ServiceMain({kName});  // returns at once: Run is never called
    // Stopped is reported once, by the service main, as its last act.
    EXPECT_THAT(host.States(), ElementsAre(svc::kServiceStartPending, svc::kServiceStopped));
    EXPECT_EQ(capture.Lines().size(), linesAtStop.load());
    EXPECT_THAT(host.EventIds(), ElementsAre(104u));
    EXPECT_EQ(host.Events()[0].type, svc::kEventError);
    EXPECT_EQ(service.Status().win32ExitCode, 1234u);
    EXPECT_FALSE(capture.Contains(Prefix() + L"Entering CNTService::Run()\n"));
}

TEST_F(ServiceTest, FailedInitialisationWithoutAnErrorCodeStillReportsFailure) {
    ProbeService service(host, registry);
    service.initResult = false;
    service.ServiceMain({kName});
    EXPECT_EQ(service.Status().win32ExitCode, svc::kErrorServiceSpecificError);
    EXPECT_EQ(service.Status().serviceSpecificExitCode, 1u);
}

TEST_F(ServiceTest, HandlerThatCannotBeRegisteredLogs103AndReportsNoState) {
    host.registerHandlerError = 5;
    ProbeService service(host, registry);
    service.ServiceMain({kName});
    EXPECT_THAT(host.States(), IsEmpty());
    EXPECT_THAT(host.EventIds(), ElementsAre(103u));
    EXPECT_EQ(host.Events()[0].type, svc::kEventError);
    EXPECT_EQ(service.Status().win32ExitCode, 5u);  // the process must not exit as if all went well
}

TEST_F(ServiceTest, ControlsReachTheirHooksAndUnsupportedOnesLog106) {
    ProbeService service(host, registry);
    for (std::uint32_t control :
         {svc::kControlPause, svc::kControlContinue, svc::kControlInterrogate, svc::kControlShutdown}) {
        EXPECT_EQ(service.Handler(control, 0, nullptr, 0), svc::kErrorSuccess);
    }
    EXPECT_EQ(service.pauses, 1);
    EXPECT_EQ(service.continues, 1);
    EXPECT_EQ(service.interrogates, 1);
    EXPECT_EQ(service.shutdowns, 1);
    EXPECT_THAT(host.EventIds(), IsEmpty());

    // Handled user control: no event. Unhandled user control and unknown codes: event 106 each.
    service.Handler(128, 0, nullptr, 0);
    EXPECT_THAT(host.EventIds(), IsEmpty());
    service.Handler(129, 0, nullptr, 0);
    service.Handler(255, 0, nullptr, 0);
    for (std::uint32_t code : {0u, 6u, 10u, 12u, 127u, 256u})
        service.Handler(code, 0, nullptr, 0);
    EXPECT_THAT(service.userCodes, ElementsAre(128u, 129u, 255u));
    EXPECT_EQ(host.EventIds(), std::vector<std::uint32_t>(8, 106u));
    for (const auto& event : host.Events())
        EXPECT_EQ(event.type, svc::kEventError);
    EXPECT_TRUE(capture.Contains(Prefix() + L"CNTService::OnUserControl(00000080H)\n"));
    EXPECT_TRUE(capture.Contains(Prefix() + L"dwControl received was 0x(00000081)\n\n"));
    EXPECT_TRUE(capture.Contains(Prefix() + L"dwControl received was 0x00000081\n\n"));
    // Every control ends with the whole status sent once.
    EXPECT_EQ(host.States().size(), 4u + 3u + 6u);
    EXPECT_EQ(service.stops, 0);
}

class DeviceEventTest : public ServiceTest {
  protected:
    struct Record {
        svc::DeviceBroadcastHeader header;
        std::uint8_t body[20];
    };
    static Record Make(std::uint32_t deviceType, std::uint32_t size = sizeof(Record)) {
        Record record{};
        record.header = {size, deviceType, 0};
        return record;
    }
};

TEST_F(DeviceEventTest, VolumeAndInterfaceEventsCallTheHookOtherDeviceTypesDoNot) {
    ProbeService service(host, registry);
    Record volume = Make(svc::kDeviceTypeVolume);
    Record device = Make(svc::kDeviceTypeDeviceInterface);
    Record port = Make(svc::kDeviceTypePort);
    Record handle = Make(svc::kDeviceTypeHandle);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, &volume, sizeof volume);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceRemoveComplete, &device, sizeof device);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceQueryRemove, &volume, sizeof volume);
    EXPECT_EQ(service.devChanges, 3);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, &port, sizeof port);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, &handle, sizeof handle);
    EXPECT_EQ(service.devChanges, 3);
    EXPECT_THAT(host.EventIds(), IsEmpty());
    EXPECT_TRUE(capture.Contains(
        Prefix() + L"SERVICE_CONTROL_DEVICEEVENT Opcode received was 0x0000000B, Type = 0x00008000\n\n"));
    EXPECT_TRUE(capture.Contains(Prefix() + L"hdr type 0x00000002, size = 0x00000020\n\n"));
    EXPECT_TRUE(capture.Contains(Prefix() + L"hdr type 0x00000003, size = 0x00000020\n\n"));
}

TEST_F(DeviceEventTest, OtherEventTypesLog106) {
    ProbeService service(host, registry);
    Record volume = Make(svc::kDeviceTypeVolume);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceRemovePending, &volume, sizeof volume);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceQueryRemoveFailed, &volume, sizeof volume);
    EXPECT_EQ(service.devChanges, 0);
    EXPECT_THAT(host.EventIds(), ElementsAre(106u, 106u));
}

TEST_F(DeviceEventTest, DamagedRecordsAreNotReadPastAndCallNoHook) {
    ProbeService service(host, registry);
    // Null data, with or without a size.
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, nullptr, 0);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, nullptr, 64);
    // Fewer bytes than a header: only the 8 bytes given exist.
    auto shortData = std::make_unique<std::uint8_t[]>(8);
    std::uint32_t fields[2] = {12, svc::kDeviceTypeVolume};
    std::memcpy(shortData.get(), fields, sizeof fields);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, shortData.get(), 8);
    // A header that claims more than there is.
    auto claimsMore = std::make_unique<svc::DeviceBroadcastHeader>(svc::DeviceBroadcastHeader{0x30, 2, 0});
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, claimsMore.get(),
                    sizeof(svc::DeviceBroadcastHeader));
    // A header that claims less than itself.
    Record tiny = Make(svc::kDeviceTypeVolume, 4);
    service.Handler(svc::kControlDeviceEvent, svc::kDeviceArrival, &tiny, sizeof tiny);
    EXPECT_EQ(service.devChanges, 0);
    EXPECT_THAT(host.EventIds(), IsEmpty());
    for (const auto& line : capture.Lines())
        EXPECT_EQ(line.find(L"hdr type"), std::wstring::npos) << line;
    // Each control was still answered with a status update.
    EXPECT_EQ(host.States().size(), 5u);
}

TEST_F(ServiceTest, NamesAreCutTo63Characters) {
    std::wstring name63(63, L'n');
    std::wstring name70 = name63 + L"1234567";
    ProbeService whole(host, registry, name63);
    EXPECT_EQ(whole.ServiceName(), name63);
    ProbeService cut(host, registry, name70);
    EXPECT_EQ(cut.ServiceName(), name63);
    cut.Trace(L"hello");
    EXPECT_TRUE(capture.Contains(Prefix(name63) + L"hello\n"));
    EXPECT_EQ(CNTService::Instance(), &cut);
}

TEST_F(ServiceTest, TraceLinesCarryThePrefixAndAreCutToTheBuffer) {
    ProbeService service(host, registry);
    service.Trace(L"value %d of %s", 7, std::wstring(L"x"));
    EXPECT_TRUE(capture.Contains(Prefix() + L"value 7 of x\n"));

    capture.Clear();
    service.Trace(L"%s", std::wstring(5000, L'a'));
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), CNTService::kTraceBufferLength - 1);
    EXPECT_EQ(lines[0].rfind(Prefix(), 0), 0u);
    EXPECT_EQ(lines[0].back(), L'\n');

    // A line that just fits is not cut.
    capture.Clear();
    std::size_t room = CNTService::kTraceBufferLength - 2 - Prefix().size();
    service.Trace(L"%s", std::wstring(room, L'b'));
    EXPECT_EQ(capture.Lines().at(0), Prefix() + std::wstring(room, L'b') + L"\n");
}

TEST_F(ServiceTest, EventSourceIsOpenedOnceKeptAndClosedByTheDestructor) {
    {
        ProbeService service(host, registry);
        service.ReportLogEvent(svc::kEventInformation, 107, std::wstring_view(L"text"));
        service.ReportLogEvent(svc::kEventError, 106);
        EXPECT_EQ(host.SourcesOpened(), 1);
        EXPECT_EQ(host.SourcesOpen(), 1);
        ASSERT_EQ(host.Events().size(), 2u);
        EXPECT_THAT(host.Events()[0].strings, ElementsAre(L"text"));
        EXPECT_THAT(host.Events()[1].strings, IsEmpty());
    }
    EXPECT_EQ(host.SourcesOpen(), 0);
    EXPECT_TRUE(capture.Contains(Prefix() + L"CNTService::~CNTService()\n"));
}

TEST_F(ServiceTest, EventsAreDroppedWhenTheSourceCannotBeOpened) {
    host.eventSourceFails = true;
    ProbeService service(host, registry);
    service.Handler(200, 0, nullptr, 0);
    service.ReportLogEvent(svc::kEventInformation, 100, std::wstring_view(L"x"));
    EXPECT_THAT(host.EventIds(), IsEmpty());
    EXPECT_EQ(host.SourcesOpened(), 2);  // tried again each time, never kept
}

}  // namespace
}  // namespace kestrel::test
