// The command handler on its own, its reply writers recorded: which names it opens for which command,
// and that a request whose reply name is not a plain local mailslot is acted on without any writer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <numeric>
#include <thread>
#include <optional>

#include "common/protocol/Reply.h"
#include "platform/MemoryRegistry.h"
#include "service/core/CommandThread.h"
#include "service/core/DefragService.h"
#include "service/drives/SettingsStore.h"
#include "tests/drives/DriveSetRig.h"

namespace kestrel::core::test {
namespace {

using protocol::Command;

struct Recorded {
    std::vector<std::wstring> opened;                            // every name a writer was asked to open
    std::vector<std::pair<std::wstring, std::wstring>> written;  // (name, text)
};

class RecordingWriter : public MailslotWriter {
  public:
    explicit RecordingWriter(Recorded& log) : log_(log) {}
    bool Open(const std::wstring& name) override {
        log_.opened.push_back(name);
        name_ = name;
        return true;
    }
    bool Write(const std::wstring& text) override {
        log_.written.emplace_back(name_, text);
        return true;
    }

  private:
    Recorded& log_;
};

// A client whose mailslot stays full: every write waits as long as it may, then fails.
class StalledWriter : public MailslotWriter {
  public:
    explicit StalledWriter(std::vector<std::uint32_t>& waits) : waits_(waits) {}
    bool Open(const std::wstring& name) override {
        name_ = name;
        return true;
    }
    bool Write(const std::wstring&) override {
        waits_.push_back(RoomWait());
        std::this_thread::sleep_for(std::chrono::milliseconds(RoomWait()));
        return false;
    }

  private:
    std::vector<std::uint32_t>& waits_;
};

class CommandHandlerTest : public ::testing::Test {
  protected:
    CommandHandlerTest() {
        rig.Add(L'C', drives::kDriveFixed);
        rig.Add(L'E', drives::kDriveRemovable);
        drives::SettingsStore(registry).StopWatching(L"E:\\");
        set = std::make_unique<drives::DriveSet>(registry, reg::kLocalMachine,
                                                 std::wstring(kParametersKeyPath), true, rig.Platform());
        handler = std::make_unique<CommandHandler>(
            *set, [this] { return rig.instances; }, [this](const auto& names) { kept = names; },
            [this] { return std::make_unique<RecordingWriter>(log); });
    }

    drives::DriveSetRig rig;
    reg::MemoryRegistry registry;
    std::unique_ptr<drives::DriveSet> set;
    Recorded log;
    std::vector<std::wstring> kept;
    std::unique_ptr<CommandHandler> handler;
};

TEST_F(CommandHandlerTest, EachCommandOpensTheReplyNameOnceAndAnswersOnItAlone) {
    const std::wstring name = L"\\\\.\\mailslot\\Panel_1";
    struct Case {
        std::wstring text;
        Command command;
        std::vector<std::wstring> replies;
    };
    const Case cases[] = {
        {L"GetWatchingDrives" + name, Command::GetWatchingDrives, {L"21, C:\\"}},
        {L"GetAvailableDrives" + name, Command::GetAvailableDrives, {L"20, E:\\"}},
        {L"C FreeSpace" + name, Command::FreeSpace, {L"23, No calc"}},
        {L"CGetData" + name, Command::GetData, {L"22, 0;;;0;;;0;;;0;;;0;;;0;;;", L"25, C0DEFRAGONLY" + name}},
        {L"C0DEFRAGONLY" + name, Command::DefragOnly, {}},
        {L"C:\\X ADDEXCLUDE" + name, Command::AddExclude, {}},
        {L"C:\\X DELETEEXCLUDE" + name, Command::DeleteExclude, {}},
        {L"CCurrentFile" + name, Command::CurrentFile, {}},
        {L"E QUITWATCH" + name, Command::QuitWatch, {L"21, C:\\"}},
    };
    for (const Case& c : cases) {
        log = {};
        EXPECT_EQ(handler->Handle(c.text), c.command) << c.text;
        std::vector<std::wstring> texts;
        for (const auto& [to, text] : log.written) {
            EXPECT_EQ(to, name) << c.text;
            texts.push_back(text);
        }
        EXPECT_EQ(texts, c.replies) << c.text;
        // Commands without a reply name's use open nothing (CurrentFile), the others open it once.
        EXPECT_EQ(log.opened.size(), c.command == Command::CurrentFile ? 0u : 1u) << c.text;
    }
    // The watch command sends nothing and opens nothing; it keeps the instance list it used.
    rig.instances = {L"_Total", L"0 E: C:"};
    log = {};
    EXPECT_EQ(handler->Handle(L"E WATCH" + name), Command::Watch);
    EXPECT_TRUE(log.opened.empty());
    EXPECT_EQ(kept, rig.instances);
    ASSERT_NE(set->WatcherAt(5), nullptr);
    EXPECT_EQ(set->WatcherAt(5)->DiskInstanceName(), L"0 E: C:");
}

TEST_F(CommandHandlerTest, WatchingADriveWhoseWatcherRunsKeepsThatWatcherAndItsQueue) {
    watcher::Watcher* running = set->WatcherAt(3);
    ASSERT_NE(running, nullptr);
    ASSERT_TRUE(set->QueueFile(3, L"C:\\queued.txt"));
    // Rebuilt, the watcher would first wait for the running one's threads while every other request
    // waited; a flood of these would hold the command thread for good.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(handler->Handle(L"C WATCH\\\\.\\mailslot\\Panel_1"), Command::Watch);
    EXPECT_EQ(set->WatcherAt(3), running);
    EXPECT_TRUE(set->IsWatching(L"C:\\"));
    // A drive without a watcher is still watched on request.
    EXPECT_EQ(handler->Handle(L"E WATCH"), Command::Watch);
    EXPECT_NE(set->WatcherAt(5), nullptr);
}

TEST_F(CommandHandlerTest, ReplyNamesOtherThanLocalMailslotsAreNeverOpened) {
    const std::wstring names[] = {
        L"",                                     // none
        L"\\\\?\\C:\\Windows\\System32\\x.dll",  // a file
        L"\\\\.\\C:",                            // a volume
        L"\\\\.\\PhysicalDrive0",                // a disk
        L"\\\\server\\mailslot\\KestrelGUI",     // another machine
        L"\\\\*\\mailslot\\KestrelGUI",          // a broadcast
        L"\\\\.\\mailslot\\..\\x",
        L"\\\\.\\mailslot\\a\\b",
        L"\\\\.\\mailslot\\x.",
        L"\\\\.\\mailslot\\" + std::wstring(65, L'n'),  // too long
        L"\\\\.\\mailslot\\KestrelGUI\\",
        L"\\\\.\\mailslot\\Kestrel GUI",
        // The service's own command mailslot, in any case: a reply there would come back as a request.
        L"\\\\.\\mailslot\\KestrelCommandChannel",
        L"\\\\.\\MAILSLOT\\kestrelcommandchannel",
        L"\\\\.\\Mailslot\\KESTRELCommandChannel",
    };
    const std::wstring commands[] = {
        L"GetWatchingDrives", L"GetAvailableDrives", L"CFreeSpace",          L"CGetData",
        L"E1DEFRAGONLY",      L"C:\\Y ADDEXCLUDE",   L"C:\\Y DELETEEXCLUDE", L"C QUITWATCH"};
    for (const std::wstring& name : names) {
        for (const std::wstring& command : commands) {
            handler->Handle(command + name);
            EXPECT_TRUE(log.opened.empty()) << command + name;
            EXPECT_TRUE(log.written.empty()) << command + name;
        }
    }
    // Each was acted on: E's "Move" is 0, C is no longer watched, and the exclusion was added and removed.
    EXPECT_EQ(set->ReadMove(5), 0u);
    EXPECT_FALSE(set->IsWatching(L"C:\\"));
    EXPECT_EQ(set->WatcherAt(3), nullptr);
    EXPECT_TRUE(set->GetExclusions(L"C:\\").empty());
    ASSERT_TRUE(handler->Handle(L"C:\\Y ADDEXCLUDE") == Command::AddExclude);
    EXPECT_EQ(set->GetExclusions(L"C:\\"), std::vector<std::wstring>{L"Y"});
}

TEST_F(CommandHandlerTest, TheCommandMailslotItReadsIsNeverAnsweredWhateverItsName) {
    CommandHandler own(
        *set, [this] { return rig.instances; }, {}, [this] { return std::make_unique<RecordingWriter>(log); },
        L"\\\\.\\mailslot\\Commands_2");
    own.Handle(L"C1DEFRAGONLY\\\\.\\mailslot\\Commands_2");
    own.Handle(L"CGetData\\\\.\\MAILSLOT\\COMMANDS_2");
    EXPECT_TRUE(log.opened.empty());
    EXPECT_EQ(set->ReadMove(3), 0u);  // acted on all the same
    // Another name, the usual command mailslot's among them, is answered as usual.
    own.Handle(L"CGetData\\\\.\\mailslot\\KestrelCommandChannel");
    EXPECT_EQ(log.opened, std::vector<std::wstring>{L"\\\\.\\mailslot\\KestrelCommandChannel"});
}

TEST_F(CommandHandlerTest, AFullListOfExclusionsFitsOneReplyLineAndNothingBeyondItIsStored) {
    const std::wstring name = L"\\\\.\\mailslot\\Panel_1";
    // Ten of the longest exclusions: "C:\\" and 97 more code units each.
    std::vector<std::wstring> paths;
    for (int n = 0; n < 10; ++n) {
        std::wstring path = L"C:\\" + std::to_wstring(n) + L"\\";
        path.resize(protocol::kMaxExclusionLength, L'X');
        paths.push_back(path);
        handler->Handle(L"C:\\" + path + L" ADDEXCLUDE" + name);
    }
    // Beyond the bounds: one more, one too long, one with the entry separator. None is stored.
    handler->Handle(L"C:\\C:\\MORE ADDEXCLUDE" + name);
    handler->Handle(L"C:\\" + paths[0] + L"X ADDEXCLUDE" + name);
    EXPECT_EQ(set->GetExclusions(L"C"), paths);
    handler->Handle(L"C:\\" + paths[9] + L" DELETEEXCLUDE" + name);
    handler->Handle(L"C:\\C:\\A;B ADDEXCLUDE" + name);
    handler->Handle(L"C:\\C:\\A; ADDEXCLUDE" + name);
    paths.pop_back();
    EXPECT_EQ(set->GetExclusions(L"C"), paths);
    handler->Handle(L"C:\\" + std::wstring(protocol::kMaxExclusionLength, L'Y') + L" ADDEXCLUDE" + name);
    paths.push_back(std::wstring(protocol::kMaxExclusionLength, L'Y'));
    EXPECT_EQ(set->GetExclusions(L"C"), paths);

    // The whole list arrives in one code-24 line, uncut, and splits back into the ten entries.
    log = {};
    handler->Handle(L"CGetData" + name);
    ASSERT_EQ(log.written.size(), 3u);
    const std::wstring& line = log.written[1].second;
    EXPECT_LE(line.size(), protocol::kMaxReplyLine);
    const std::optional<protocol::Reply> reply = protocol::ParseReply(line);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->code, protocol::kCodeExclusions);
    EXPECT_EQ(protocol::SplitExclusions(reply->text), paths);
    EXPECT_EQ(reply->text.back(), L';');
}

TEST_F(CommandHandlerTest, UnderTheThreadsBoundsAFloodOfChangesIsCutAndQuestionsAreStillAnswered) {
    const std::wstring name = L"\\\\.\\mailslot\\Panel_1";
    // Three changes a period of a minute: the fourth and later ones are dropped, questions are not.
    handler->LimitCosts(3, 20, 100, 60000);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(handler->Handle((i % 2 == 0 ? L"C1DEFRAGONLY" : L"C0DEFRAGONLY") + name),
                  Command::DefragOnly);
    EXPECT_EQ(handler->DroppedChanges(), 7u);
    EXPECT_EQ(set->ReadMove(3), 0u);  // the third request (digit 1) was the last acted on
    EXPECT_EQ(handler->Handle(L"C:\\Z ADDEXCLUDE" + name), Command::AddExclude);
    EXPECT_TRUE(set->GetExclusions(L"C").empty());
    EXPECT_EQ(handler->Handle(L"E WATCH" + name), Command::Watch);
    EXPECT_EQ(set->WatcherAt(5), nullptr);
    log = {};
    handler->Handle(L"CGetData" + name);
    handler->Handle(L"GetWatchingDrives" + name);
    EXPECT_EQ(log.written.size(), 3u);
    EXPECT_EQ(handler->DroppedChanges(), 9u);

    // A new period admits changes again.
    handler->LimitCosts(3, 20, 100, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    handler->Handle(L"C:\\Z ADDEXCLUDE" + name);
    EXPECT_EQ(set->GetExclusions(L"C"), std::vector<std::wstring>{L"Z"});
}

TEST_F(CommandHandlerTest, RepliesToAClientThatNeverReadsWaitWithinOneBudgetPerPeriod) {
    std::vector<std::uint32_t> waits;
    CommandHandler stalled(*set, {}, {}, [&] { return std::make_unique<StalledWriter>(waits); });
    stalled.LimitCosts(10, 20, 100, 60000);
    for (int i = 0; i < 20; ++i)
        stalled.Handle(L"CGetData\\\\.\\mailslot\\Stopped");
    ASSERT_EQ(waits.size(), 40u);                                      // codes 22 and 25 for each
    EXPECT_EQ(waits.front(), 20u);                                     // one reply waits 20 ms at most
    EXPECT_LE(std::accumulate(waits.begin(), waits.end(), 0u), 100u);  // all of them 100 ms
    EXPECT_EQ(waits.back(), 0u);
}

}  // namespace
}  // namespace kestrel::core::test
