// The disk idle monitor over scripted counters: the filter of the idle share, the interval rule, the
// set and reset of the idle event with their trace lines, the start-up failures, and the lookup of a
// drive's disk instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/Console.h"
#include "platform/ScriptedDiskCounters.h"
#include "platform/Trace.h"
#include "service/watcher/DiskIdleCounter.h"
#include "service/watcher/DiskInstances.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

using perf::RawSample;

// Raw samples that make the monitor see these shares, one per loop. A loop takes two samples: the first
// starts the interval and repeats the counters of the one before (no time passed, which the filter never
// takes), the second adds the share over 100 base units.
std::vector<RawSample> PercentScript(std::initializer_list<int> percents) {
    std::vector<RawSample> samples;
    std::uint64_t idle = 0, base = 0;
    samples.push_back({idle, base});
    for (int percent : percents) {
        idle += static_cast<std::uint64_t>(percent);
        base += 100;
        samples.push_back({idle, base});
        samples.push_back({idle, base});
    }
    return samples;
}

std::vector<std::wstring> DiskLines(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> disk;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(disk),
                 [](const std::wstring& line) { return line.rfind(L"Disk ", 0) == 0; });
    return disk;
}

// A watcher on drive C whose monitor reads `counters`; records the idle event's state at the start of
// every loop of the monitor (after the decision on the previous loop's share).
struct MonitorRig {
    explicit MonitorRig(const std::wstring& instance) : instance(instance) {
        platform = rig.Platform();
        platform.diskCounters = &counters;
        counters.SetOnRefresh([this](const std::wstring&, std::size_t, std::size_t index) {
            timing::Event* event = idleEvent.load();
            if (index % 2 == 0 && event != nullptr) {
                std::lock_guard lock(mutex);
                states.push_back(event->IsSet());
            }
        });
    }
    void Start() {
        watcher = std::make_unique<Watcher>(L"C", instance, platform);
        watcher->Prepare();
        Access::IdleEvent(*watcher).Reset();            // so that the first idle share has to set it
        idleEvent.store(&Access::IdleEvent(*watcher));  // the monitor is joined before the event goes
        watcher->StartThreads();
    }
    bool WaitForLoops(std::size_t loops) {
        return WaitUntil([&] { return counters.Refreshes(instance) >= 2 * loops + 1; });
    }
    std::vector<bool> States() {
        std::lock_guard lock(mutex);
        return states;
    }

    WatcherRig rig;
    perf::ScriptedDiskCounters counters;
    WatcherPlatform platform;
    std::wstring instance;
    std::unique_ptr<Watcher> watcher;
    std::atomic<timing::Event*> idleEvent{nullptr};
    std::mutex mutex;
    std::vector<bool> states;
};

TEST(IdleMonitor, BusyAndIdleSharesResetAndSetTheEventWithTheirTraces) {
    trace::ScopedCapture traces;
    {
        MonitorRig m(L"0 C: idle-a");
        m.counters.AddScript(m.instance, PercentScript({97, 40, 40, 99}));
        m.Start();
        ASSERT_TRUE(m.WaitForLoops(5));
        m.watcher.reset();
        const std::vector<bool> states = m.States();
        ASSERT_GE(states.size(), 5u);
        // states[0] is before the first decision; then after 97, 40, 40 and 99.
        EXPECT_FALSE(states[0]);
        EXPECT_TRUE(states[1]);
        EXPECT_FALSE(states[2]);
        EXPECT_FALSE(states[3]);
        EXPECT_TRUE(states[4]);
    }
    const std::vector<std::wstring> expected = {
        L"Disk 0 C: idle-a is 97 percent idle\n",
        L"Disk 0 C: idle-a is 97 percent idle - Okay to defrag files\n",
        L"Disk 0 C: idle-a is 40 percent idle\n",
        L"Disk 0 C: idle-a is 40 percent idle - Don't defrag  files\n",
        L"Disk 0 C: idle-a is 40 percent idle\n",
        L"Disk 0 C: idle-a is 99 percent idle\n",
        L"Disk 0 C: idle-a is 99 percent idle - Okay to defrag files\n",
    };
    EXPECT_EQ(DiskLines(traces.Lines()), expected);
}

TEST(IdleMonitor, ADiskThatStopsAllIOAfterABusySpellIsIdleAgain) {
    trace::ScopedCapture traces;
    {
        MonitorRig m(L"0 C: idle-q");
        m.counters.AddScript(m.instance, PercentScript({40, 100}));
        m.Start();
        ASSERT_TRUE(m.WaitForLoops(3));
        m.watcher.reset();
        const std::vector<bool> states = m.States();
        ASSERT_GE(states.size(), 3u);
        EXPECT_FALSE(states[1]);
        EXPECT_TRUE(states[2]);
    }
    EXPECT_TRUE(traces.Contains(L"Disk 0 C: idle-q is 100 percent idle - Okay to defrag files\n"));
}

TEST(IdleMonitor, AnIdleShareAfterNinetyFiveSetsTheEventWithoutTheOkayTrace) {
    trace::ScopedCapture traces;
    MonitorRig m(L"0 C: idle-b");
    m.counters.AddScript(m.instance, PercentScript({95, 97}));
    m.Start();
    ASSERT_TRUE(m.WaitForLoops(3));
    m.watcher.reset();
    const std::vector<bool> states = m.States();
    ASSERT_GE(states.size(), 3u);
    EXPECT_FALSE(states[1]);
    EXPECT_TRUE(states[2]);
    const std::vector<std::wstring> expected = {L"Disk 0 C: idle-b is 95 percent idle\n",
                                                L"Disk 0 C: idle-b is 97 percent idle\n"};
    EXPECT_EQ(DiskLines(traces.Lines()), expected);
}

// A DiskIdleCounter on a scripted refresher, without the monitor thread.
struct CounterRig {
    explicit CounterRig(std::vector<RawSample> samples) {
        counters.AddScript(L"1 E:", std::move(samples));
        session = counters.OpenSession();
        refresher = session->CreateRefresher();
        counter = std::make_unique<DiskIdleCounter>(*refresher, L"1 E:", 0);
    }
    perf::ScriptedDiskCounters counters;
    std::unique_ptr<perf::CounterSession> session;
    std::unique_ptr<perf::Refresher> refresher;
    std::unique_ptr<DiskIdleCounter> counter;
};

TEST(DiskIdleCounter, FiltersSharesAndKeepsThePreviousValuesOnAFailedRead) {
    trace::ScopedCapture traces;
    CounterRig r({
        {1000, 1000},               // since the start, idle throughout: 100
        {1050, 1100},               // 50
        {1050, 1200},               // 0: not taken
        {1250, 1300},               // 200: above 100, not taken
        {1250, 1300},               // no time passed: not taken
        {1350, 1400},               // a whole interval without I/O: 100
        {1360, 1450, false, true},  // the base cannot be read: nothing changes
        {1380, 1500},               // 30 against the sample before the failed one
        {1390, 1550, true, false},  // the idle counter cannot be read
        {1477, 1600},               // 97 against {1380, 1500}
        {1575, 1700},               // 98 while idle: not taken
        {1635, 1800},               // 60
    });
    EXPECT_EQ(r.counter->ObjectPath(), L"Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"");
    ASSERT_TRUE(r.counter->AddToRefresher());
    EXPECT_EQ(r.counters.AddedPaths(),
              std::vector<std::wstring>{L"Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"1 E:\""});
    std::vector<std::int32_t> answers;
    for (int i = 0; i < 12; ++i)
        answers.push_back(r.counter->SampleIdlePercent());
    EXPECT_EQ(answers, (std::vector<std::int32_t>{100, 50, 50, 50, 50, 100, 100, 30, 30, 97, 97, 60}));
    EXPECT_TRUE(traces.Contains(L"Disk 1 E: is 50 percent idle\n"));
    EXPECT_TRUE(traces.Contains(L"Disk 1 E: is 30 percent idle\n"));
    EXPECT_FALSE(traces.Contains(L"Disk 1 E: is 98 percent idle\n"));
}

TEST(DiskIdleCounter, WaitsLongerTheBusierTheDisk) {
    EXPECT_EQ(IdleSampleIntervalMs(0), 5000u);
    EXPECT_EQ(IdleSampleIntervalMs(19), 5000u);
    EXPECT_EQ(IdleSampleIntervalMs(20), 4000u);
    EXPECT_EQ(IdleSampleIntervalMs(79), 2000u);
    EXPECT_EQ(IdleSampleIntervalMs(80), 1000u);
    EXPECT_EQ(IdleSampleIntervalMs(100), 1000u);
}

TEST(IdleMonitor, WithoutADiskInstanceTheDriveIsAlwaysIdle) {
    MonitorRig m(L"");
    m.watcher = std::make_unique<Watcher>(L"C", L"", m.platform);
    m.watcher->Prepare();
    m.watcher->StartThreads();
    // The monitor ends at once and opens nothing; the idle event stays as Prepare set it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m.counters.SessionsOpened(), 0u);
    EXPECT_TRUE(Access::IdleEvent(*m.watcher).IsSet());
    m.watcher.reset();
}

struct StartupCase {
    const char* name;
    perf::SessionScript script;
    std::vector<std::wstring> console;
    std::vector<std::wstring> traces;
};

TEST(IdleMonitor, EveryStartUpFailureEndsTheMonitorWithItsTextAndLeavesTheDiskIdle) {
    const std::wstring path = L"Win32_PerfRawData_PerfDisk_PhysicalDisk.Name=\"0 C: idle-c\"";
    std::vector<StartupCase> cases;
    cases.push_back({"COM", {}, {L"Failed to initialize COM library. Error code = 0x80004005\n"}, {}});
    cases.back().script.initialize = static_cast<std::int32_t>(0x80004005);
    cases.push_back({"connect", {}, {}, {}});
    cases.back().script.connect = false;
    cases.push_back({"blanket", {}, {L"Could not set proxy blanket. Error code: 0x80070005\n"}, {}});
    cases.back().script.proxyBlanket = static_cast<std::int32_t>(0x80070005);
    cases.push_back({"refresher", {}, {}, {L"Did not retrieve the object\n"}});
    cases.back().script.refresher = false;
    cases.push_back(
        {"add", {}, {}, {L"Could not add object. Error code: 0x\n", L"Did not retrieve the object\n"}});
    cases.back().script.add = perf::AddResult::Failed;
    cases.back().script.addError = perf::kWbemNotFound;
    cases.push_back({"no object",
                     {},
                     {L"Did not retrieve the object\n"},
                     {L"Did not retrieve the named object " + path + L". Error code: 0x\n",
                      L"Did not retrieve the object\n"}});
    cases.back().script.add = perf::AddResult::NoObject;

    for (const StartupCase& c : cases) {
        SCOPED_TRACE(c.name);
        trace::ScopedCapture traces;
        console::ScopedCapture console;
        MonitorRig m(L"0 C: idle-c");
        m.counters.SetSession(c.script);
        m.watcher = std::make_unique<Watcher>(L"C", m.instance, m.platform);
        m.watcher->Prepare();
        m.watcher->StartThreads();
        // The session is released (the apartment left) when the monitor gives up.
        ASSERT_TRUE(WaitUntil([&] { return m.counters.SessionsClosed() == 1; }));
        EXPECT_TRUE(Access::IdleEvent(*m.watcher).IsSet());
        m.watcher.reset();
        std::vector<std::wstring> consoleLines;
        for (const std::wstring& line : console.Lines()) {
            if (line.find(L"COM") != std::wstring::npos || line.find(L"blanket") != std::wstring::npos ||
                line.find(L"object") != std::wstring::npos)
                consoleLines.push_back(line);
        }
        EXPECT_EQ(consoleLines, c.console);
        std::vector<std::wstring> failureLines;
        for (const std::wstring& line : traces.Lines()) {
            if (line.find(L"object") != std::wstring::npos)
                failureLines.push_back(line);
        }
        EXPECT_EQ(failureLines, c.traces);
    }
}

TEST(IdleMonitor, AMissingPropertyHandleIsTracedAndTheMonitorRunsOnTheLastPercent) {
    trace::ScopedCapture traces;
    MonitorRig m(L"0 C: idle-d");
    perf::SessionScript script;
    script.idleHandleError = perf::kWbemNotFound;
    script.baseHandleError = perf::kWbemNotFound;
    m.counters.SetSession(script);
    m.counters.AddScript(m.instance, PercentScript({99, 99}));
    m.Start();
    ASSERT_TRUE(m.WaitForLoops(3));
    m.watcher.reset();
    EXPECT_TRUE(traces.Contains(L"Could not retrieve property handle 0 C: idle-d, 0x80041002\n"));
    EXPECT_TRUE(traces.Contains(L"Could not get percentIdleTime BASE - Error = 0x\n"));
    // No share could be read: the initial percent (0) stands, and that counts as busy.
    for (bool set : m.States())
        EXPECT_FALSE(set);
}

TEST(IdleMonitor, TwoWatchersOnOneDiskShareTheEventThatEitherMonitorResets) {
    trace::ScopedCapture traces;
    WatcherRig rig;
    rig.changes.AddRoot(L"D:\\");
    rig.drives.Set(L'D', {});
    const std::wstring instance = L"0 C: D: idle-e";
    perf::ScriptedDiskCounters busy;    // C's monitor: idle once, then busy
    perf::ScriptedDiskCounters silent;  // D's monitor cannot connect and leaves the event alone
    busy.AddScript(instance, PercentScript({97, 40}));
    perf::SessionScript noConnection;
    noConnection.connect = false;
    silent.SetSession(noConnection);
    WatcherPlatform pc = rig.Platform();
    pc.diskCounters = &busy;
    WatcherPlatform pd = rig.Platform();
    pd.diskCounters = &silent;

    Watcher d(L"D", instance, pd);
    d.Prepare();
    d.StartThreads();
    ASSERT_TRUE(WaitUntil([&] { return silent.SessionsClosed() == 1; }));
    EXPECT_TRUE(Access::IdleEvent(d).IsSet());
    {
        Watcher c(L"C", instance, pc);
        c.Prepare();
        c.StartThreads();
        ASSERT_TRUE(WaitUntil([&] { return busy.Refreshes(instance) >= 5; }));
        ASSERT_TRUE(WaitUntil([&] { return !Access::IdleEvent(d).IsSet(); }));
        EXPECT_FALSE(Access::IdleEvent(c).IsSet());
    }
    EXPECT_TRUE(traces.Contains(L"Disk 0 C: D: idle-e is 40 percent idle - Don't defrag  files\n"));
    // The event outlives C's watcher: D's defragmentation thread still holds.
    EXPECT_FALSE(Access::IdleEvent(d).Wait(10));
}

TEST(DiskInstances, EnumeratesThePhysicalDisksAndFindsADrivesInstance) {
    trace::ScopedCapture traces;
    console::ScopedCapture console;
    perf::ScriptedDiskCounters counters;
    counters.SetInstances({L"0 C: D:", L"_Total"});
    const std::vector<std::wstring> disks = EnumPhysicalDisks(counters);
    ASSERT_EQ(disks, (std::vector<std::wstring>{L"0 C: D:", L"_Total"}));
    EXPECT_TRUE(traces.Contains(L"found perf monitor data for drive(s)  0 C: D:\n"));
    EXPECT_EQ(console.Lines(), (std::vector<std::wstring>{L"\nDisks:", L"\n  0 C: D:", L"\n  _Total"}));
    EXPECT_EQ(FindDiskInstance(disks, L"D:\\"), L"0 C: D:");
    EXPECT_EQ(FindDiskInstance(disks, L"T:\\"), L"_Total");
    EXPECT_EQ(FindDiskInstance(disks, L"d:\\"), L"");  // the comparison is exact
    EXPECT_EQ(FindDiskInstance(disks, L"Q:\\"), L"");
    EXPECT_EQ(FindDiskInstance({L"0"}, L"0"), L"");  // never the first character

    // No "PhysicalDisk" object (as under Wine): an empty list, so every drive is always idle.
    traces.Clear();
    counters.SetEnumStatus(perf::kPdhNoObject, 0);
    EXPECT_TRUE(EnumPhysicalDisks(counters).empty());
    EXPECT_TRUE(traces.Contains(L"NoData error code = 2\n"));
    counters.SetEnumStatus(perf::kPdhMoreData, perf::kPdhNoMemory);
    console.Clear();
    EXPECT_TRUE(EnumPhysicalDisks(counters).empty());
    EXPECT_TRUE(console.Contains(L"\nPROCLIST: unable to allocate buffers"));
}

}  // namespace
}  // namespace kestrel::watcher
