// Fuzzes the service's handling of command requests: the real CommandHandler over a real DriveSet (the
// in-memory registry, a fixed drive table, scripted change notification and disk counters, an empty
// simulated file system), with recording reply writers in place of mailslots.
//
// Each input is read as UTF-16 code units (a last odd byte as a unit whose high byte is zero); zero units
// separate up to eight requests, handled in order against one fresh drive set in which drive C has a
// prepared watcher. When the input's first byte is even, the watch command's listing of disk instances
// throws (the command must then leave no watcher behind); watchers that it does create run their threads
// with time scaled down 100,000 times. The target aborts when the service opens any name that is not a plain
// local mailslot name (checked with a rule of its own, not the function under test), is its own command
// mailslot or is not the request's reply name, writes without an open writer, writes a line longer than 1,023
// code units or with a code that the command does not answer with, or when its drive table ends up holding
// anything but drive roots. fuzz/protocol.dict holds the keywords and names as UTF-16LE.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/Utf16.h"
#include "common/protocol/Request.h"
#include "fuzz/PlainMailslotName.h"
#include "platform/DriveTable.h"
#include "platform/MemoryRegistry.h"
#include "platform/ScriptedChangeNotification.h"
#include "platform/ScriptedDiskCounters.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "platform/sim/SimFileSystem.h"
#include "service/core/CommandThread.h"
#include "service/core/DefragService.h"
#include "service/drives/DriveSet.h"

namespace {

using namespace kestrel;
using fuzzing::IsPlainLocalMailslot;
using protocol::Command;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

// The service's own command mailslot, in any case (mailslot names are compared without regard to case):
// a reply there would come back as a request.
bool IsCommandMailslot(const std::wstring& name) {
    constexpr std::wstring_view command = L"\\\\.\\mailslot\\kestrelcommandchannel";
    if (name.size() != command.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if ((c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) != command[i])
            return false;
    }
    return true;
}

struct Log {
    std::wstring expectedName;  // the reply name of the request being handled
    int opens = 0;
    std::vector<int> codes;
};
Log g_log;
// Whether the watch command's listing of disk instances fails for this input (it then creates no watcher
// and must undo nothing); decided by the input's first byte, so both roads are taken.
bool g_instancesFail = false;

class CheckingWriter : public MailslotWriter {
  public:
    bool Open(const std::wstring& name) override {
        Require(IsPlainLocalMailslot(name));
        Require(!IsCommandMailslot(name));
        Require(name == g_log.expectedName);
        ++g_log.opens;
        open_ = true;
        return true;
    }
    bool Write(const std::wstring& text) override {
        Require(open_);
        Require(kestrel::ToUtf16(text).size() <= protocol::kMaxReplyLine);
        Require(text.size() >= 4 && text[0] == L'2' && text[1] >= L'0' && text[1] <= L'5' &&
                text[2] == L',' && text[3] == L' ');
        g_log.codes.push_back((text[0] - L'0') * 10 + (text[1] - L'0'));
        return true;
    }

  private:
    bool open_ = false;
};

// The reply codes a command may send, in order.
bool CodesFit(Command command, const std::vector<int>& codes) {
    switch (command) {
        case Command::QuitWatch:
        case Command::GetWatchingDrives:
            return codes.empty() || codes == std::vector<int>{21};
        case Command::GetAvailableDrives:
            return codes.empty() || codes == std::vector<int>{20};
        case Command::GetData:
            return codes.empty() || codes == std::vector<int>{22, 25} ||
                   codes == std::vector<int>{22, 24, 25};
        case Command::FreeSpace:
            return codes.empty() || codes == std::vector<int>{23};
        default:
            return codes.empty();
    }
}

struct Fixture {
    Fixture() {
        timing::SetTimeDivisor(100000);
        for (wchar_t letter : {L'C', L'D', L'E'}) {
            drives::DriveEntry entry;
            entry.type = letter == L'E' ? drives::kDriveRemovable : drives::kDriveFixed;
            table.Set(letter, entry);
            changes.AddRoot(std::wstring{letter, L':', L'\\'});
        }
        counters.SetInstances(instances);
    }
    drives::DriveSetPlatform Platform() {
        return {{&changes, &table, &fileSystem, &counters}, [this] { return instances; }};
    }
    notify::ScriptedChangeNotification changes;
    drives::DriveTable table;
    sim::SimFileSystem fileSystem;
    perf::ScriptedDiskCounters counters;
    std::vector<std::wstring> instances{L"_Total", L"0 C: D:", L"1 E:"};
};

// Trace lines go nowhere: the fuzzer's output stays readable and fast.
class NullSink : public trace::TraceSink {
  public:
    void Write(std::wstring_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    static NullSink sink;
    static trace::ScopedSink scope(sink);

    std::vector<std::wstring> requests(1);
    for (std::size_t i = 0; i < size; i += 2) {
        const auto high = static_cast<char16_t>(i + 1 < size ? data[i + 1] : 0);
        const auto unit = static_cast<char16_t>(data[i] | (high << 8));
        if (unit == 0) {
            if (requests.size() == 8)
                break;
            requests.emplace_back();
            continue;
        }
        requests.back() += kestrel::FromUtf16(std::u16string(1, unit));
    }

    reg::MemoryRegistry registry;
    drives::DriveSet set(registry, reg::kLocalMachine, std::wstring(core::kParametersKeyPath), false,
                         fixture.Platform());
    set.CreateWatcher(L"C", L"0 C: D:");
    g_instancesFail = size > 0 && (data[0] & 1) == 0;
    core::CommandHandler handler(
        set,
        [] {
            if (g_instancesFail)
                throw std::runtime_error("no instances");
            return fixture.instances;
        },
        {}, [] { return std::make_unique<CheckingWriter>(); });

    for (const std::wstring& text : requests) {
        g_log = {};
        g_log.expectedName = std::wstring(protocol::ReplyName(text));
        const Command command = handler.Handle(text);
        Require(command == protocol::FindCommand(text).command);
        Require(g_log.opens <= 1);
        Require(CodesFit(command, g_log.codes));
        // The table holds watchers only in the slots of drive letters, under their roots.
        Require(set.WatcherAt(0) == nullptr);
        // A watch that failed leaves the drive without a watcher, even one it had before.
        if (command == Command::Watch && g_instancesFail)
            Require(set.WatcherAt(protocol::DriveIndex(text.front())) == nullptr);
        const std::wstring watched = set.WatchedDrives();
        Require(watched.size() % 3 == 0);
        for (std::size_t i = 0; i < watched.size(); i += 3) {
            Require(watched[i] >= L'A' && watched[i] <= L'Z' && watched[i + 1] == L':' &&
                    watched[i + 2] == L'\\');
            Require(set.WatcherAt(watched[i] - 64) != nullptr);
        }
    }
    return 0;
}
