// The Watcher object: Prepare, the threads' start and shutdown, the shared idle event, and a Watcher
// whose root cannot be opened.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/Console.h"
#include "platform/Trace.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

bool HasLineStartingWith(const trace::CaptureSink& sink, const std::wstring& prefix) {
    for (const std::wstring& line : sink.Lines()) {
        if (line.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

TEST(WatcherTest, PrepareCompletesTheRootOpensItAndBuildsTheDefaultExclusionsInOrder) {
    WatcherRig rig;
    drives::DriveEntry c;
    c.mountPoints = {L"Mnt\\Data\\"};
    rig.drives.Set(L'C', c);
    trace::ScopedCapture traces;
    console::ScopedCapture console;

    Watcher w(L"c", L"", rig.Platform());
    EXPECT_EQ(w.DrivePath(), L"c");  // construction copies, Prepare completes
    EXPECT_TRUE(w.MoveFlag());
    w.Prepare();

    EXPECT_EQ(w.DrivePath(), L"C:\\");
    EXPECT_TRUE(w.HasDirectory());
    EXPECT_TRUE(HasLineStartingWith(traces, L"Got Volume C:\\ handle=101, at Watcher.cpp, "));
    EXPECT_EQ(console.Lines(), std::vector<std::wstring>{L"Watching drive path = C:\\\n"});
    EXPECT_EQ(
        Access::Exclusions(w),
        (std::vector<std::wstring>{L"C:\\MNT\\DATA\\", L"BOOTSECT.DOS", L"HIBERFIL.SYS", L"SAFEBOOT",
                                   L"BOOT.INI", L"NTDETECT.COM", L"NTLDR", L"NTOSKRNL", L"PAGEFILE.SYS"}));
}

TEST(WatcherTest, EveryFormOfADriveBecomesItsRoot) {
    // "C:" alone gets only the backslash: appending ":\" would give "C::\", which never opens.
    for (const wchar_t* given : {L"c", L"C:", L"c:\\", L"C:\\"}) {
        WatcherRig rig;
        Watcher w(given, L"", rig.Platform());
        w.Prepare();
        EXPECT_EQ(w.DrivePath(), L"C:\\") << given;
        EXPECT_TRUE(w.HasDirectory()) << given;
    }
}

TEST(WatcherTest, AWatcherWhoseRootCannotBeOpenedSaysSoIdlesUntilStoppedAndStopsCleanly) {
    WatcherRig rig;
    trace::ScopedCapture traces;
    console::ScopedCapture console;
    {
        Watcher w(L"Q", L"", rig.Platform());
        EXPECT_FALSE(w.Prepare());
        EXPECT_EQ(w.DrivePath(), L"Q:\\");
        EXPECT_FALSE(w.HasDirectory());
        EXPECT_FALSE(w.ChangeSourceAlive());
        EXPECT_TRUE(traces.Contains(L"Caught exception in Watcher::Watcher"));
        EXPECT_TRUE(Access::Exclusions(w).empty());  // the steps after the open did not run
        EXPECT_TRUE(console.Lines().empty());

        Access::StartWithoutDefrag(w);
        rig.Push({{fs::kFileActionModified, L"a.txt"}}, L"Q:\\");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(rig.changes.Delivered(), 0u);
        EXPECT_TRUE(Access::ChangedFiles(w).empty());
        EXPECT_EQ(Access::DrainQueue(w), 1);  // only the initial count
        // Without a root the change thread waits for the stop alone instead of trying again and again.
        EXPECT_EQ(Access::ChangeThreadTurns(w), 1u);
    }
    EXPECT_FALSE(HasLineStartingWith(traces, L"Released vol handle="));
}

TEST(WatcherTest, ARootWhoseDriveWentAwayIsTracedOnceRetriedRarelyAndCountsAsDead) {
    WatcherRig rig;
    trace::ScopedCapture traces;
    Watcher w(L"C", L"", rig.Platform());
    ASSERT_TRUE(w.Prepare());
    Access::StartWithoutDefrag(w);
    rig.Push({{fs::kFileActionModified, L"a.txt"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));
    EXPECT_TRUE(w.ChangeSourceAlive());

    // The drive goes away under the next Read: it completes with the error, and every Read after it fails.
    ASSERT_TRUE(rig.changes.WaitReading(L"C:\\", 10000));
    rig.changes.Detach(L"C:\\", notify::kErrorInvalidHandle);
    ASSERT_TRUE(WaitUntil([&] { return !w.ChangeSourceAlive(); }));
    const std::uint64_t turns = Access::ChangeThreadTurns(w);
    // 200 ms are 20 nominal seconds: the failed read is tried again after 1, 2, 4 and 8 seconds, not every
    // millisecond.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(Access::ChangeThreadTurns(w) - turns, 6u);
    EXPECT_TRUE(traces.Contains(L"Change notifications lost on C:\\ - the read failed (error 6)\n"));
    std::size_t failures = 0;
    for (const std::wstring& line : traces.Lines())
        failures += line.rfind(L"Change notification failed on C:\\ (error 6)", 0) == 0 ? 1 : 0;
    EXPECT_EQ(failures, 1u);
    EXPECT_EQ(Paths(w), std::vector<std::wstring>{L"C:\\a.txt"});
}

TEST(WatcherTest, DestructionStopsTheThreadsAndClosesTheRoot) {
    WatcherRig rig;
    trace::ScopedCapture traces;
    {
        Watcher w(L"C:\\", L"", rig.Platform());
        w.Prepare();
        w.StartThreads();
        rig.Push({{fs::kFileActionModified, L"a.txt"}});
        ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));
        EXPECT_EQ(rig.changes.OpenWatches(), 1u);
    }
    EXPECT_EQ(rig.changes.OpenWatches(), 0u);
    EXPECT_TRUE(HasLineStartingWith(traces, L"Released vol handle=101, at Watcher.cpp, "));
}

TEST(WatcherTest, DestructionWhileABatchIsBeingHandledWaitsForItAndStops) {
    WatcherRig rig;
    std::atomic<bool> inHandler{false};
    std::atomic<bool> handlerDone{false};
    rig.changes.SetBeforeDelivery([&] {
        inHandler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        handlerDone = true;
    });
    auto w = std::make_unique<Watcher>(L"C", L"", rig.Platform());
    w->Prepare();
    w->StartThreads();
    rig.Push({{fs::kFileActionModified, L"a.txt"}, {fs::kFileActionModified, L"b.txt"}});
    ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }));
    w.reset();  // the stop event is set while the change thread is inside the batch
    EXPECT_TRUE(handlerDone);
    EXPECT_EQ(rig.changes.Delivered(), 1u);
    EXPECT_EQ(rig.changes.OpenWatches(), 0u);
}

TEST(WatcherTest, WatchersOnOneDiskShareTheIdleEventOthersDoNot) {
    WatcherRig rig;
    rig.changes.AddRoot(L"D:\\");
    rig.changes.AddRoot(L"E:\\");
    Watcher c(L"C", L"0 C: D: test-shared", rig.Platform());
    Watcher d(L"D", L"0 C: D: test-shared", rig.Platform());
    Watcher e(L"E", L"1 E: test-shared", rig.Platform());
    Watcher unnamed(L"E", L"", rig.Platform());
    for (Watcher* w : {&c, &d, &e, &unnamed})
        w->Prepare();
    for (Watcher* w : {&c, &d, &e, &unnamed})
        EXPECT_TRUE(Access::IdleEvent(*w).IsSet());

    Access::IdleEvent(c).Reset();  // the disk under C and D is busy
    EXPECT_FALSE(Access::IdleEvent(d).IsSet());
    EXPECT_TRUE(Access::IdleEvent(e).IsSet());
    EXPECT_TRUE(Access::IdleEvent(unnamed).IsSet());

    d.Prepare();  // Prepare signals the shared event again
    EXPECT_TRUE(Access::IdleEvent(c).IsSet());
}

}  // namespace
}  // namespace kestrel::watcher
