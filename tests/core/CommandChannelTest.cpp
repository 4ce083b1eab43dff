// The command channel end to end: a running DefragService (its real command thread, with time scaled
// down) and a client on real mailslots. Drives C and D are fixed and watched, E is removable and not
// watched, F is a CD drive; Z is never watched and serves as the client's end-of-answers marker.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "common/UpperCase.h"
#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Reply.h"
#include "platform/sim/SimVolume.h"
#include "service/drives/SettingsStore.h"
#include "tests/core/ServiceRig.h"

namespace kestrel::core::test {
namespace {

using Replies = std::vector<std::wstring>;

class CommandChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.drives.Add(L'C', drives::kDriveFixed);
        rig.drives.Add(L'D', drives::kDriveFixed);
        rig.drives.Add(L'E', drives::kDriveRemovable);
        rig.drives.Add(L'F', drives::kDriveCdRom);
        rig.drives.instances = {L"_Total", L"0 C: D:", L"1 E:"};
        drives::SettingsStore store(rig.registry);
        store.CreateKeys();
        store.StopWatching(L"E:\\");
        store.SaveLifeTime(42);
    }
    std::optional<std::uint32_t> Move(wchar_t letter) {
        reg::Key key = rig.registry.Open(reg::kLocalMachine,
                                         std::wstring(kParametersKeyPath) + L"\\" + std::wstring(1, letter),
                                         reg::kKeyRead);
        reg::Value value;
        if (!key || rig.registry.QueryValue(key.get(), L"Move", &value) != reg::kErrorSuccess)
            return std::nullopt;
        return value.AsDword();
    }
    std::wstring DefragOnlyReply(std::wstring_view first, int flag) {
        return L"25, " + protocol::DefragOnlyRecord::Build(first, flag, client.Name());
    }

    ServiceRig rig;
    Client client{rig.commandSlot};
};

TEST_F(CommandChannelTest, TheDriveListsFollowWatchAndQuitWatch) {
    rig.Start();
    ASSERT_TRUE(client.Created());
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, C:\\D:\\"});
    EXPECT_EQ(client.Ask(L"GetAvailableDrives@"), Replies{L"20, E:\\"});

    // Watching answers nothing; afterwards E is watched with the instance of its disk, and every
    // available drive is watched, so the available list gets no answer at all.
    EXPECT_EQ(client.Ask(L"E WATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetAvailableDrives@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, C:\\D:\\E:\\"});
    EXPECT_EQ(rig.service->DiskInstances(), rig.drives.instances);
    EXPECT_EQ(rig.WithDrives([](drives::DriveSet& s) { return s.WatcherAt(5)->DiskInstanceName(); }),
              L"1 E:");
    EXPECT_TRUE(rig.WithDrives([](drives::DriveSet& s) { return s.IsWatching(L"E:\\"); }));

    // Stopping C answers with the drives still watched; stopping the last one answers nothing.
    EXPECT_EQ(client.Ask(L"C QUITWATCH@"), Replies{L"21, D:\\E:\\"});
    EXPECT_EQ(client.Ask(L"D QUITWATCH@"), Replies{L"21, E:\\"});
    EXPECT_EQ(client.Ask(L"E QUITWATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetAvailableDrives@"), Replies{L"20, C:\\D:\\E:\\"});
    // The watch command takes the drive it is given (the scan looks at fixed and removable drives only),
    // and a text that names no drive gets no watcher.
    EXPECT_EQ(client.Ask(L"F WATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, F:\\"});
    EXPECT_EQ(client.Ask(L"? WATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"f WATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, F:\\"});
    // A letter with no drive behind it gets no watcher and no mark in the store.
    EXPECT_EQ(client.Ask(L"Q WATCH@"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, F:\\"});
    reg::Key watching = rig.registry.Open(
        reg::kLocalMachine, std::wstring(kParametersKeyPath) + L"\\WatchingDrives", reg::kKeyRead);
    reg::Value value;
    ASSERT_TRUE(watching);
    EXPECT_NE(rig.registry.QueryValue(watching.get(), L"17", &value), reg::kErrorSuccess);
    // A rescan keeps the watcher of a drive watched on request although the scan would not pick it.
    rig.service->OnDevChange();
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, F:\\"});
}

TEST_F(CommandChannelTest, GetDataAnswersStatisticsExclusionsAndTheDefragOnlyRecord) {
    rig.Start();
    rig.WithDrives([](drives::DriveSet& s) {
        watcher::WatcherTestAccess::SetFragmentsSaved(*s.WatcherAt(3), 7);
        watcher::WatcherTestAccess::SetFragmentsSaved(*s.WatcherAt(4), -2);
        return 0;
    });
    // C: its own numbers, the totals over C and D, the lifetime count 42 + the 5 saved since the start.
    EXPECT_EQ(client.Ask(L"CGetData@"),
              (Replies{L"22, 0;;;7;;;0;;;0;;;5;;;47;;;", DefragOnlyReply(L"C", 0)}));
    // D's negative count shows as 0; an unwatched drive shows 0 for its own numbers.
    EXPECT_EQ(client.Ask(L"D GetData@"),
              (Replies{L"22, 0;;;0;;;0;;;0;;;5;;;47;;;", DefragOnlyReply(L"D", 0)}));
    EXPECT_EQ(client.Ask(L"EGetData@"),
              (Replies{L"22, 0;;;0;;;0;;;0;;;5;;;47;;;", DefragOnlyReply(L"E", 0)}));

    // Exclusions: added as typed (the path after "C:\"), listed upper-cased, removed as listed.
    EXPECT_EQ(client.Ask(L"C:\\TEMP FILES\\X ADDEXCLUDE@"), Replies{});
    EXPECT_EQ(client.Ask(L"C:\\PAGEFILE.SYS ADDEXCLUDE@"), Replies{});
    Replies data = client.Ask(L"CGetData@");
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[1], L"24, TEMP FILES\\X;PAGEFILE.SYS;");
    EXPECT_EQ(data[2], DefragOnlyReply(L"C", 0));
    const std::vector<std::wstring> excluded = rig.WithDrives(
        [](drives::DriveSet& s) { return watcher::WatcherTestAccess::Exclusions(*s.WatcherAt(3)); });
    EXPECT_NE(std::find(excluded.begin(), excluded.end(), L"TEMP FILES\\X"), excluded.end());
    EXPECT_EQ(client.Ask(L"C:\\TEMP FILES\\X DELETEEXCLUDE@"), Replies{});
    data = client.Ask(L"CGetData@");
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[1], L"24, PAGEFILE.SYS;");

    // Defrag only: digit 1 stores Move 0 and clears the watcher's move flag; code 25 reports it back.
    EXPECT_EQ(client.Ask(L"C1DEFRAGONLY@"), Replies{});
    EXPECT_EQ(Move(L'C'), 0u);
    EXPECT_FALSE(rig.WithDrives([](drives::DriveSet& s) { return s.WatcherAt(3)->MoveFlag(); }));
    EXPECT_EQ(client.Ask(L"CGetData@").back(), DefragOnlyReply(L"C", 1));
    // Any other digit stores Move 1; a comma drops what precedes it and one more character.
    EXPECT_EQ(client.Ask(L"25, C7DEFRAGONLY@"), Replies{});
    EXPECT_EQ(Move(L'C'), 1u);
    EXPECT_TRUE(rig.WithDrives([](drives::DriveSet& s) { return s.WatcherAt(3)->MoveFlag(); }));
    // A drive without a watcher: the setting is stored, and the service goes on.
    EXPECT_EQ(client.Ask(L"Q1DEFRAGONLY@"), Replies{});
    EXPECT_EQ(Move(L'Q'), 0u);
    EXPECT_EQ(client.Ask(L"QGetData@").back(), DefragOnlyReply(L"Q", 1));
}

TEST_F(CommandChannelTest, FreeSpaceIsThePercentageOfTheMeasuredVolumeOrNoCalc) {
    sim::SimVolume volume({20000, 4096, 0, 0});
    ASSERT_TRUE(volume.Occupy(0, 5000));
    rig.fileSystem.Mount(L'C', volume);
    rig.Start();
    ASSERT_TRUE(WaitUntil([&] {
        return rig.WithDrives(
            [](drives::DriveSet& s) { return s.FreeClusters(3) > 0 && s.VolumeClusters(3) > 0; });
    }));
    EXPECT_EQ(volume.FreeClusters(), 15000);
    EXPECT_EQ(client.Ask(L"C FreeSpace@"), Replies{L"23, 75.00"});
    // D is watched but has no volume; E is not watched.
    EXPECT_EQ(client.Ask(L"DFreeSpace@"), Replies{L"23, No calc"});
    EXPECT_EQ(client.Ask(L"EFreeSpace@"), Replies{L"23, No calc"});
}

TEST_F(CommandChannelTest, MalformedRequestsAreHandledWithoutHarmAndAnsweredOnlyOnLocalMailslots) {
    rig.Start();
    // No keyword, keywords in lower case, and empty messages are ignored.
    for (const wchar_t* text : {L"hello@", L"getdata@", L"C quitwatch@", L"cGETDATA@", L"Getwatchingdrives@"})
        EXPECT_EQ(client.Ask(text), Replies{}) << text;
    EXPECT_TRUE(client.SendRaw(L""));
    EXPECT_EQ(client.Ask(L""), Replies{});

    // A first character that is no drive letter names no slot: no drive's numbers, "Move" not read.
    for (const wchar_t* first : {L"c", L"[", L"\x01", L"\x7f", L"\xff5b", L"1"}) {
        const std::wstring text = std::wstring(first) + L"GetData" + client.Name();
        EXPECT_TRUE(client.SendRaw(text));
        EXPECT_EQ(client.Ask(L"ZFreeSpace@"),
                  (Replies{L"22, 0;;;0;;;0;;;0;;;0;;;42;;;", DefragOnlyReply(first, 0), L"23, No calc"}))
            << text;
        EXPECT_EQ(client.Ask(std::wstring(first) + L" QUITWATCH@"), Replies{L"21, C:\\D:\\"});
        EXPECT_EQ(client.Ask(std::wstring(first) + L"1DEFRAGONLY@"), Replies{});
    }

    // Without a reply name the request is acted on and nothing is sent.
    EXPECT_EQ(client.Ask(L"D1DEFRAGONLY"), Replies{});
    EXPECT_EQ(Move(L'D'), 0u);
    EXPECT_EQ(client.Ask(L"D QUITWATCH"), Replies{});
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, C:\\"});
    for (const wchar_t* text : {L"GetWatchingDrives", L"CGetData", L"CFreeSpace", L"GetAvailableDrives \\"})
        EXPECT_EQ(client.Ask(text), Replies{}) << text;

    // Reply names that are not plain local mailslots get nothing, and no file appears anywhere.
    for (const wchar_t* name : {L"\\\\?\\C:\\evil", L"\\\\.\\C:\\evil", L"\\\\server\\mailslot\\x",
                                L"\\\\.\\mailslot\\..\\..\\evil", L"\\\\.\\mailslot\\a\\b", L"\\\\.\\pipe\\x",
                                L"\\\\.\\mailslot\\", L"\\\\\\\\"}) {
        EXPECT_EQ(client.Ask(std::wstring(L"CGetData") + name), Replies{}) << name;
        EXPECT_EQ(client.Ask(std::wstring(L"E1DEFRAGONLY") + name), Replies{}) << name;
    }
    EXPECT_EQ(Move(L'E'), 0u);  // acted on all the same

    // Exclusion keywords before the path's place carry no path: nothing is stored.
    EXPECT_EQ(client.Ask(L" ADDEXCLUDE@"), Replies{});
    EXPECT_EQ(client.Ask(L"C: ADDEXCLUDE@"), Replies{});
    EXPECT_EQ(client.Ask(L"C DELETEEXCLUDE@"), Replies{});
    EXPECT_EQ(rig.WithDrives([](drives::DriveSet& s) { return s.GetExclusions(L"C:\\"); }),
              std::vector<std::wstring>{});

    // Texts of any length: a long request still finds its keyword; the exclusion list is bounded, so
    // the longest one (ten entries of 100 characters; the eleventh and twelfth are refused) arrives
    // whole in one line.
    std::wstring junk(20000, L'x');
    EXPECT_EQ(client.Ask(junk + L"GetWatchingDrives@"), Replies{L"21, C:\\"});
    std::wstring all = L"24, ";
    for (int i = 0; i < 12; ++i) {
        const std::wstring path(100, static_cast<wchar_t>(L'a' + i));
        client.Ask(L"C:\\" + path + L" ADDEXCLUDE@");
        if (i < 10)
            all += UpperCase(path) + L";";
    }
    const Replies data = client.Ask(L"CGetData@");
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[1], all);
    EXPECT_LE(data[1].size(), protocol::kMaxReplyLine);
    EXPECT_EQ(data[2], DefragOnlyReply(L"C", 0));
    // And the service still answers.
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, C:\\"});
}

TEST_F(CommandChannelTest, ABurstOfRequestsIsAnsweredInOrderWithinAFewPolls) {
    timing::ScopedTimeDivisor slower(10);  // one poll is 100 ms
    rig.Start();
    // More than one pass takes: the rest waits for the next poll, and nothing is lost or reordered.
    constexpr int kBurst = 300;
    ASSERT_TRUE(client.Send(L"CFreeSpace@"));
    for (int i = 1; i < kBurst; ++i)
        ASSERT_TRUE(client.Send(i % 2 == 0 ? L"GetWatchingDrives@" : L"GetAvailableDrives@"));
    EXPECT_EQ(client.Next(), L"23, No calc");
    const auto first = std::chrono::steady_clock::now();
    for (int i = 1; i < kBurst; ++i)
        ASSERT_EQ(client.Next(), i % 2 == 0 ? L"21, C:\\D:\\" : L"20, E:\\") << i;
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - first)
            .count();
    // At one request a poll the burst would take 30 s; it takes two polls and the handling.
    EXPECT_LT(took, 5000);
}

TEST_F(CommandChannelTest, EmptyMessagesDoNotHoldBackTheRequestsBehindThem) {
    timing::ScopedTimeDivisor slower(10);  // one poll is 100 ms
    rig.Start();
    // Any local process can write empty messages. Each is taken and dropped in the same pass; counted as
    // "nothing waiting" they would end the pass, and these 300 would hold the question back 30 s.
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(client.SendRaw(L""));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Ask(L"GetWatchingDrives@"), Replies{L"21, C:\\D:\\"});
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(took, 5000);
}

}  // namespace
}  // namespace kestrel::core::test
