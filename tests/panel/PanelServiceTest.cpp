// The panel against the real service over the host's mailslots. The service runs in this process over
// simulated volumes (drives D and E), an in-memory registry and a fake service host; the panel's core and
// service client use the product's own mailslot names, inside a mailslot directory of this test program.
// Both sides run with time scaled down by 100. The one-shot `kestrel` program is run against the same
// service as a separate process.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"
#include "panel/PanelCore.h"
#include "panel/ServiceClient.h"
#include "platform/DeviceNotification.h"
#include "platform/DriveTable.h"
#include "platform/MemoryRegistry.h"
#include "platform/ScriptedChangeNotification.h"
#include "platform/Time.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/core/DefragService.h"
#include "service/drives/SettingsStore.h"
#include "tests/framework/FakeServiceHost.h"

namespace kestrel::panel {
namespace {

class NoDeviceEvents : public devices::DeviceNotifications {
  public:
    bool VersionAtLeast(std::uint32_t, std::uint32_t) override { return true; }
    devices::DeviceNotifyHandle Register(svc::StatusHandle, const devices::DeviceInterfaceFilter&,
                                         std::uint32_t, std::uint32_t*) override {
        return 1;
    }
    bool Unregister(devices::DeviceNotifyHandle) override { return true; }
};

// The service with drives D and E, each a simulated NTFS volume; its service main runs on a thread.
class Service {
  public:
    Service() : host_(registry_) {
        for (wchar_t letter : {L'D', L'E'}) {
            table_.Set(letter, drives::DriveEntry{});
            changes_.AddRoot(std::wstring{letter, L':', L'\\'});
        }
        fileSystem_.Mount(L'D', volumeD_);
        fileSystem_.Mount(L'E', volumeE_);
        core::ServicePlatform platform;
        platform.drives = {{&changes_, &table_, &fileSystem_}, [] { return std::vector<std::wstring>{}; }};
        platform.physicalDisks = [] { return std::vector<std::wstring>{}; };
        platform.devices = &devices_;
        platform.idlePriority = false;
        service_ = std::make_unique<core::DefragService>(std::move(platform), host_, registry_);
        main_ = std::thread([this] { service_->ServiceMain({core::kServiceName}); });
        // Requests are taken once the command thread has created its mailslot.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            MailslotWriter probe;
            if (probe.Open(std::wstring(protocol::kCommandMailslot)) ||
                std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~Service() { Stop(); }
    // Whether the service's settings hold the key below its parameters (e.g. L"A", a drive's key).
    bool HasParametersKey(const std::wstring& subKey) {
        reg::RawKey key = 0;
        if (registry_.OpenKey(reg::kLocalMachine, std::wstring(drives::kParametersPath) + L"\\" + subKey,
                              reg::kKeyRead, &key) != 0)
            return false;
        registry_.CloseKey(key);
        return true;
    }
    void Stop() {
        if (!main_.joinable())
            return;
        service_->Handler(svc::kControlStop, 0, nullptr, 0);
        main_.join();
    }

  private:
    reg::MemoryRegistry registry_;
    kestrel::test::FakeServiceHost host_;
    NoDeviceEvents devices_;
    notify::ScriptedChangeNotification changes_;
    drives::DriveTable table_;
    sim::SimVolume volumeD_{{16384, 4096, 0, 0}};
    sim::SimVolume volumeE_{{16384, 4096, 0, 0}};
    sim::SimFileSystem fileSystem_;
    std::unique_ptr<core::DefragService> service_;
    std::thread main_;
};

// A front end without a window: it carries out the core's effects, keeps the replies it was handed in a
// log, and hands them to the core on the test's thread. Timers are not run; the test ticks them.
class FrontEnd {
  public:
    FrontEnd()
        : client_(
              [this](const std::wstring& message) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  inbox_.push_back(ServiceReply{message});
              },
              ClientNames{},
              [this](bool asked) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  inbox_.push_back(DriveListAsked{asked});
              }) {}
    ~FrontEnd() { client_.Shutdown(); }

    void Do(const Input& input) {
        std::deque<Input> queue{input};
        while (!queue.empty()) {
            Input next = std::move(queue.front());
            queue.pop_front();
            for (const Effect& effect : core_.Handle(next)) {
                if (const Send* send = std::get_if<Send>(&effect)) {
                    if (send->word == L"GetData")
                        ++dataRequests_;
                    client_.SendCommand(send->argument, send->word);
                } else if (const Post* post = std::get_if<Post>(&effect))
                    queue.push_back(post->input);
                else if (std::holds_alternative<LaunchWorkers>(effect))
                    client_.StartWorkers();
                else if (std::holds_alternative<StopListener>(effect))
                    client_.StopListener();
            }
        }
    }

    // Hands the replies that came to the core until `done` holds, for up to ten seconds of real time.
    template <class Condition>
    bool Until(Condition done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            std::deque<Input> taken;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                taken.swap(inbox_);
            }
            for (const Input& input : taken) {
                if (const ServiceReply* reply = std::get_if<ServiceReply>(&input))
                    log_.push_back(reply->message);
                Do(input);
            }
            if (done())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Asks for the selected drive's data (timer 1's tick) and returns that answer: its code-22, code-24
    // and code-25 replies. The service answers in order and ends every answer to "GetData" with one
    // code-25 reply, so the answer to the n-th "GetData" ends with the n-th code-25 reply.
    std::vector<std::wstring> AskData() {
        Do(TimerTick{kTimerRequestData});
        const std::size_t n = dataRequests_;
        std::size_t end = 0;
        EXPECT_TRUE(Until([&] {
            std::size_t seen = 0;
            for (std::size_t i = 0; i < log_.size(); ++i) {
                if (log_[i].compare(0, 4, L"25, ") == 0 && ++seen == n) {
                    end = i + 1;
                    return true;
                }
            }
            return false;
        }));
        // The service sends the answer's lines one after the other: 22, then 24 when there are
        // exclusions, then 25.
        std::size_t begin = end == 0 ? 0 : end - 1;
        if (begin > 0 && log_[begin - 1].compare(0, 4, L"24, ") == 0)
            --begin;
        if (begin > 0 && log_[begin - 1].compare(0, 4, L"22, ") == 0)
            --begin;
        return std::vector<std::wstring>(log_.begin() + static_cast<std::ptrdiff_t>(begin),
                                         log_.begin() + static_cast<std::ptrdiff_t>(end));
    }
    // Asks the service for both lists again ("Rescan Drives"), then for the selected drive's data: once
    // that answer is in, both lists have come, or were empty and not sent. Returns the replies since.
    std::vector<std::wstring> Rescan() {
        const std::size_t from = log_.size();
        WaitForDriveListRequest();
        Do(RescanClicked{});
        WaitForDriveListRequest();
        AskData();
        return std::vector<std::wstring>(log_.begin() + static_cast<std::ptrdiff_t>(from), log_.end());
    }
    // Rescan Drives with no watched drive to ask data for: waits for a reply equal to `line`.
    bool RescanUntil(const std::wstring& line) {
        const std::size_t from = log_.size();
        WaitForDriveListRequest();
        Do(RescanClicked{});
        return Until([&] { return !Since(from, line).empty() && Since(from, line).back() == line; });
    }
    void WaitForDriveListRequest() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (client_.DriveListRequestRunning() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The replies from `from` on that begin with `prefix`.
    std::vector<std::wstring> Since(std::size_t from, const std::wstring& prefix) const {
        std::vector<std::wstring> found;
        for (std::size_t i = from; i < log_.size(); ++i) {
            if (log_[i].compare(0, prefix.size(), prefix) == 0)
                found.push_back(log_[i]);
        }
        return found;
    }
    const PanelState& State() const { return core_.State(); }

  private:
    PanelCore core_;
    std::mutex mutex_;
    std::deque<Input> inbox_;  // replies and drive-list notices, in the order they came
    std::vector<std::wstring> log_;
    std::size_t dataRequests_ = 0;  // "GetData" requests sent
    ServiceClient client_;          // last: its listener ends before the rest goes
};

bool Holds(const std::vector<std::wstring>& lines, const std::wstring& line) {
    for (const std::wstring& l : lines) {
        if (l == line)
            return true;
    }
    return false;
}

const std::wstring kReplyAddress = L"\\\\.\\mailslot\\KestrelGUI";

// ---- the one-shot program ----

struct ProgramRun {
    int status = -1;
    std::string out;
};

ProgramRun Kestrel(const std::string& arguments) {
    const std::string command = std::string(KESTREL_PROGRAM) + " --time-divisor 100 " + arguments + " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        run.out += buffer;
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(PanelWithService, DrivesMoveBetweenTheListsAndTheDriveSettingsComeBack) {
    timing::ScopedTimeDivisor fast(100);
    Service service;
    FrontEnd panel;
    panel.Do(Initialize{});
    panel.Do(TimerTick{kTimerStartWorkers});  // the listener, then both drive lists

    // A drive without a stored choice counts as watched: both are, and none is left available.
    ASSERT_TRUE(panel.Until([&] { return panel.State().watching.entries.size() == 2; }));
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"D:\\", L"E:\\"}));
    EXPECT_TRUE(panel.State().connected);

    // Stop watching D: the service moves it to its available list.
    panel.Do(SelectWatching{0});
    panel.Do(StopWatchingClicked{});
    std::vector<std::wstring> lists = panel.Rescan();
    EXPECT_TRUE(Holds(lists, L"21, E:\\")) << ToUtf8(lists.empty() ? L"" : lists.back());
    EXPECT_TRUE(Holds(lists, L"20, D:\\"));
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"E:\\"}));

    // Another client watches D: the drive lists now bring a 21 with both drives and no 20 (none is
    // available), so D leaves Available rather than stay in both lists.
    ProgramRun other = Kestrel("watch D");
    ASSERT_EQ(other.status, 0) << other.out;
    lists = panel.Rescan();
    EXPECT_TRUE(Holds(lists, L"21, D:\\E:\\"));
    EXPECT_TRUE(panel.Since(0, L"20, ").size() == 1u);  // the one 20 above, no other
    EXPECT_EQ(panel.State().available.entries, std::vector<std::wstring>{});
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"D:\\", L"E:\\"}));
    // And back to D available, from the panel.
    panel.Do(SelectWatching{0});
    panel.Do(StopWatchingClicked{});
    lists = panel.Rescan();
    EXPECT_TRUE(Holds(lists, L"20, D:\\"));
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));

    // Watch it again: back in the watched list, in slot order, and nothing available.
    panel.Do(SelectAvailable{0});
    panel.Do(WatchClicked{});
    lists = panel.Rescan();
    EXPECT_TRUE(Holds(lists, L"21, D:\\E:\\"));
    ASSERT_TRUE(panel.Until([&] { return panel.State().watching.entries.size() == 2; }));
    EXPECT_EQ(panel.State().available.entries, std::vector<std::wstring>{});

    // Statistics of D: six numbers with D's labels, and its Defrag Only state.
    panel.Do(SelectWatching{0});
    std::vector<std::wstring> data = panel.AskData();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.front(), L"22, 0;;;0;;;0;;;0;;;0;;;0;;;");
    EXPECT_EQ(panel.State().filesLeft, L"0");
    EXPECT_EQ(panel.State().lifetimeFragmentsSaved, L"0");
    EXPECT_EQ(panel.State().filesLeftLabel, L"Files Left to Process on D:\\");
    EXPECT_FALSE(panel.State().waitPending);
    EXPECT_EQ(data.back(), L"25, D0DEFRAGONLY" + kReplyAddress);

    // An exclusion typed in lower case comes back listed in upper case; removed, it is listed no more.
    panel.Do(ExclusionPathEdited{L"temp\\build"});
    panel.Do(AddExclusionClicked{});
    data = panel.AskData();
    EXPECT_TRUE(Holds(data, L"24, TEMP\\BUILD;"));
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"TEMP\\BUILD"}));
    panel.Do(SelectExclusion{0});
    panel.Do(RemoveExclusionClicked{});
    data = panel.AskData();
    EXPECT_EQ(data.size(), 2u);  // 22 and 25: no exclusions reply
    EXPECT_EQ(panel.State().exclusions.entries, std::vector<std::wstring>{});

    // Defrag Only set, then read back from the service's code-25 reply; then cleared again.
    panel.Do(DefragOnlyClicked{true});
    data = panel.AskData();
    EXPECT_EQ(data.back(), L"25, D1DEFRAGONLY" + kReplyAddress);
    EXPECT_TRUE(panel.State().defragOnly);
    panel.Do(DefragOnlyClicked{false});
    data = panel.AskData();
    EXPECT_EQ(data.back(), L"25, D0DEFRAGONLY" + kReplyAddress);
    EXPECT_FALSE(panel.State().defragOnly);

    // The last watched drives go: the statistics empty, "No calc", polling stops.
    panel.Do(StopWatchingClicked{});
    panel.Do(StopWatchingClicked{});
    EXPECT_TRUE(panel.RescanUntil(L"20, D:\\E:\\"));
    EXPECT_EQ(panel.State().percentFree, L"No calc");
    EXPECT_EQ(panel.State().timers[kTimerRequestData], 0u);
}

TEST(KestrelCommand, EachCommandIsAnsweredAndJudgedByTheService) {
    timing::ScopedTimeDivisor fast(100);
    Service service;

    ProgramRun run = Kestrel("drives");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "Watching Drives: D:\\ E:\\")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Available Drives: (none)")) << run.out;
    // Asking for the lists gave drive A, which does not exist, no settings key.
    EXPECT_FALSE(service.HasParametersKey(L"A"));

    run = Kestrel("unwatch e");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "Watching Drives: D:\\\n")) << run.out;
    run = Kestrel("watch E:");
    EXPECT_EQ(run.status, 0) << run.out;

    run = Kestrel("exclude D temp");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "Excluded on D:\\: TEMP")) << run.out;
    run = Kestrel("include D temp");
    EXPECT_EQ(run.status, 0) << run.out;

    run = Kestrel("defragonly D on");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "Defrag Only on D:\\: on")) << run.out;

    run = Kestrel("--raw stats D");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "22, 0;;;0;;;0;;;0;;;0;;;0;;;\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Total Lifetime Fragments Saved: 0")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Defrag Only: on")) << run.out;

    // Each run answered on a reply mailslot of its own and left nothing of it behind: only the
    // service's own command mailslot is in the directory.
    const char* dir = std::getenv("KESTREL_MAILSLOT_DIR");
    ASSERT_NE(dir, nullptr);
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().rfind("kestrelcli", 0), std::string::npos) << entry.path();

    service.Stop();
    run = Kestrel("--timeout 1 stats D");
    EXPECT_EQ(run.status, 2) << run.out;
    // The message names the directory it looked in.
    EXPECT_TRUE(Contains(run.out, "not running")) << run.out;
    EXPECT_TRUE(Contains(run.out, dir)) << run.out;
}

// The line of a screen that begins with `start`; empty when none does.
std::string LineOf(const std::string& screen, const std::string& start) {
    const std::size_t at = screen.find("\n" + start);
    if (at == std::string::npos)
        return {};
    return screen.substr(at + 1, screen.find('\n', at + 1) - at - 1);
}

TEST(KestrelTerminal, ShowsTheServicesDrivesAndStatisticsAndQuitsOnItsKey) {
    timing::ScopedTimeDivisor fast(100);
    Service service;
    // The panel asks for the drive lists 50 ms after its start (time divided by 100) and for the first
    // drive's statistics as soon as it is reported; a second later it is told to quit. A second panel
    // runs beside it all the while, and gets answers of its own.
    const std::string panel =
        "(sleep 1; printf q) | " + std::string(KESTREL_PROGRAM) + " --plain --time-divisor 100";
    const std::string work = ::testing::TempDir() + "kestrel-second-panel.out";
    const ProgramRun run = [&] {
        const std::string command = panel + " >" + work + " 2>&1 & " + panel + " 2>&1; wait";
        ProgramRun result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr)
            return result;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            result.out += buffer;
        const int status = ::pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, "Service: not connected")) << run.out;
    // The last screen: connected, both drives watched with the first selected, D's statistics.
    const std::size_t lastScreen = run.out.rfind("Kestrel    Service:");
    ASSERT_NE(lastScreen, std::string::npos) << run.out;
    const std::string last = run.out.substr(lastScreen);
    EXPECT_TRUE(Contains(last, "Service: connected")) << last;
    EXPECT_TRUE(Contains(last, "> D:\\\n")) << last;
    EXPECT_EQ(LineOf(last, "  Files Left to Process on D:\\"), "  Files Left to Process on D:\\      0")
        << last;
    EXPECT_EQ(LineOf(last, "  Total Lifetime Fragments Saved"), "  Total Lifetime Fragments Saved    0")
        << last;

    std::ifstream secondFile(work);
    const std::string second((std::istreambuf_iterator<char>(secondFile)), std::istreambuf_iterator<char>());
    const std::size_t secondLast = second.rfind("Kestrel    Service:");
    ASSERT_NE(secondLast, std::string::npos) << second;
    EXPECT_TRUE(Contains(second.substr(secondLast), "Service: connected")) << second;
    EXPECT_TRUE(Contains(second.substr(secondLast), "Files Left to Process on D:\\")) << second;
    std::remove(work.c_str());
}

}  // namespace
}  // namespace kestrel::panel
