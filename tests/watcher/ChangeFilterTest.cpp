// Change notification into the changed-file list: batches delivered to the running change thread, the
// exclusion rule, malformed records and lost batches.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Trace.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

constexpr std::uint32_t kModified = fs::kFileActionModified;

// A prepared, running watcher of C: on the rig.
struct Running {
    explicit Running(WatcherRig& rig) : w(L"C", L"", rig.Platform()) {
        w.Prepare();
        Access::StartWithoutDefrag(w);  // the queue stays as the change thread left it
    }
    Watcher w;
};

TEST(ChangeFilterTest, ThreeRecordsOfOneFileQueueOneEntryAndThreeCounts) {
    WatcherRig rig;
    Running r(rig);
    const std::int64_t before = timing::UnixTime();
    rig.Push({{kModified, L"Docs\\a.txt"}, {kModified, L"Docs\\a.txt"}, {kModified, L"Docs\\a.txt"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));

    const std::vector<FileEntry> queued = Access::ChangedFiles(r.w);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].path, L"C:\\Docs\\a.txt");  // as notified, not upper-cased
    EXPECT_EQ(queued[0].attempts, 0u);
    EXPECT_GE(queued[0].queuedTime, before);
    EXPECT_LE(queued[0].queuedTime, timing::UnixTime());
    EXPECT_EQ(queued[0].firstLcn, 0);
    EXPECT_EQ(queued[0].clusters, 0u);
    EXPECT_EQ(queued[0].vcnLength, 0u);
    EXPECT_EQ(queued[0].fragments, 0);
    EXPECT_EQ(Access::DrainQueue(r.w), 1 + 3);  // the initial count and one per record
}

TEST(ChangeFilterTest, EachPathIsListedOnceAcrossBatchesMergedExactlyWithItsNewestTime) {
    WatcherRig rig;
    Running r(rig);
    rig.Push({{kModified, L"a"}, {kModified, L"b"}, {kModified, L"a"}, {fs::kFileActionAdded, L"a"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));
    const std::int64_t first = Access::ChangedFiles(r.w)[0].queuedTime;
    // Two scaled seconds later: the renewed entry takes the later time, so its rest starts again.
    ASSERT_TRUE(WaitUntil([&] { return timing::UnixTime() >= first + 2; }));
    rig.Push({{fs::kFileActionRenamedNewName, L"a"}});
    rig.Push({{kModified, L"A"}});  // the merge compares exactly
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\b"));
    ASSERT_TRUE(rig.changes.WaitDelivered(3, 10000));
    const std::vector<FileEntry> listed = Access::ChangedFiles(r.w);
    EXPECT_EQ(Paths(r.w), (std::vector<std::wstring>{L"C:\\a", L"C:\\b", L"C:\\A"}));
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_GE(listed[0].queuedTime, first + 2);
    EXPECT_GE(listed[1].queuedTime, first + 2);
    EXPECT_EQ(Access::ChangedCounts(r.w), std::make_pair(std::size_t{3}, std::size_t{3}));
    EXPECT_EQ(Access::DrainQueue(r.w), 1 + 6 + 1);  // every record and the queued path still count
}

TEST(ChangeFilterTest, AnActionOutsideOneToFiveEndsTheBatch) {
    WatcherRig rig;
    Running r(rig);
    rig.Push({{kModified, L"first"}, {6, L"bad"}, {kModified, L"after"}});
    rig.Push({{0, L"zero"}, {kModified, L"after zero"}});
    rig.Push({{fs::kFileActionRemoved, L"removed"}, {fs::kFileActionRenamedOldName, L"old"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(3, 10000));
    EXPECT_EQ(Paths(r.w), (std::vector<std::wstring>{L"C:\\first", L"C:\\removed", L"C:\\old"}));
    EXPECT_EQ(Access::DrainQueue(r.w), 1 + 3);
}

TEST(ChangeFilterTest, ExclusionsMatchAnywhereInTheUpperCasePath) {
    WatcherRig rig;
    drives::DriveEntry c;
    c.mountPoints = {L"Mnt\\Data\\"};
    rig.drives.Set(L'C', c);
    Running r(rig);
    r.w.AddExcludeName(L"c:\\temp\\");
    rig.Push({{kModified, L"PAGEFILE.SYS"},
              {kModified, L"boot.ini"},
              {kModified, L"Data\\bootsect.dos.bak"},
              {kModified, L"DOCS\\NTLDRINFO.TXT"},  // a bare name excludes it as a word
              {kModified, L"mnt\\data\\x.bin"},     // on the volume mounted there
              {kModified, L"Temp\\t.tmp"},
              {kModified, L"Temporary\\kept.txt"},
              {kModified, L"Docs\\a.txt"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));
    EXPECT_EQ(Paths(r.w), (std::vector<std::wstring>{L"C:\\Temporary\\kept.txt", L"C:\\Docs\\a.txt"}));
    EXPECT_EQ(Access::DrainQueue(r.w), 1 + 8);  // excluded records still count
}

TEST(ChangeFilterTest, AddExcludeNameRefusesDuplicatesInAnyCase) {
    WatcherRig rig;
    Watcher w(L"C", L"", rig.Platform());
    w.Prepare();
    const std::size_t defaults = Access::Exclusions(w).size();
    w.AddExcludeName(L"C:\\TEMP\\");
    w.AddExcludeName(L"c:\\temp\\");
    w.AddExcludeName(L"C:\\Temp\\");
    w.AddExcludeName(L"ntldr");  // already a default
    w.AddExcludeName(L"C:\\TEMP");
    w.AddExcludeName(L"");  // would exclude everything: dropped
    const std::vector<std::wstring> list = Access::Exclusions(w);
    ASSERT_EQ(list.size(), defaults + 2);
    EXPECT_EQ(list[defaults], L"C:\\TEMP\\");
    EXPECT_EQ(list[defaults + 1], L"C:\\TEMP");
}

TEST(ChangeFilterTest, ReplacedExclusionsKeepTheDefaultsAndStopExcludingWhatWasRemoved) {
    WatcherRig rig;
    drives::DriveEntry c;
    c.mountPoints = {L"Mnt\\"};
    rig.drives.Set(L'C', c);
    Running r(rig);
    const std::vector<std::wstring> defaults = Access::Exclusions(r.w);
    r.w.AddExcludeName(L"\\temp\\");
    r.w.AddExcludeName(L"\\cache\\");
    r.w.ReplaceExclusions({L"\\cache\\", L"\\Cache\\", L"", L"ntldr"});
    std::vector<std::wstring> expected = defaults;
    expected.push_back(L"\\CACHE\\");
    EXPECT_EQ(Access::Exclusions(r.w), expected);

    rig.Push({{kModified, L"Temp\\a.tmp"}, {kModified, L"Cache\\b.bin"}, {kModified, L"Mnt\\c.txt"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(1, 10000));
    EXPECT_EQ(Paths(r.w), std::vector<std::wstring>{L"C:\\Temp\\a.tmp"});
}

TEST(ChangeFilterTest, RecordsReachingPastTheBytesReceivedEndTheBatch) {
    WatcherRig rig;
    Running r(rig);
    // The name of the second record claims more bytes than the batch holds.
    std::vector<std::uint8_t> longName = notify::MakeNotifyBatch({{kModified, L"ok"}, {kModified, L"cut"}});
    const std::uint32_t huge = 4000;
    std::memcpy(longName.data() + 16 + 8, &huge, 4);
    rig.changes.Push(L"C:\\", longName);
    // The first record's next offset leads past the end.
    std::vector<std::uint8_t> farNext = notify::MakeNotifyBatch({{kModified, L"one"}, {kModified, L"two"}});
    const std::uint32_t far = 0x7FFFFFF0;
    std::memcpy(farNext.data(), &far, 4);
    rig.changes.Push(L"C:\\", farNext);
    // A batch cut inside a record header, and one with an odd name length.
    std::vector<std::uint8_t> cut = notify::MakeNotifyBatch({{kModified, L"whole"}, {kModified, L"half"}});
    cut.resize(cut.size() - 12);
    rig.changes.Push(L"C:\\", cut);
    std::vector<std::uint8_t> odd = notify::MakeNotifyBatch({{kModified, L"odd"}});
    const std::uint32_t five = 5;
    std::memcpy(odd.data() + 8, &five, 4);
    rig.changes.Push(L"C:\\", odd);
    ASSERT_TRUE(rig.changes.WaitDelivered(4, 10000));
    EXPECT_EQ(Paths(r.w), (std::vector<std::wstring>{L"C:\\ok", L"C:\\one", L"C:\\whole"}));
}

TEST(ChangeFilterTest, ALostBatchIsReportedByItsCauseAndThePreviousOneNotHandledAgain) {
    WatcherRig rig;
    trace::ScopedCapture traces;
    Running r(rig);
    rig.Push({{kModified, L"before.txt"}});
    rig.changes.Push(L"C:\\", {}, notify::kErrorNotifyEnumDir);                      // overflow: 0 bytes
    rig.changes.Push(L"C:\\", {}, notify::kErrorOperationAborted);                   // cancelled: 0 bytes
    rig.changes.Push(L"C:\\", std::vector<std::uint8_t>(kNotifyBufferSize + 4, 0));  // too big for the buffer
    rig.changes.Push(L"C:\\", {}, notify::kErrorSuccess);                            // overflow, no error
    rig.Push({{kModified, L"after.txt"}});
    ASSERT_TRUE(rig.changes.WaitDelivered(6, 10000));
    EXPECT_EQ(Paths(r.w), (std::vector<std::wstring>{L"C:\\before.txt", L"C:\\after.txt"}));
    EXPECT_EQ(Access::DrainQueue(r.w), 1 + 2);
    EXPECT_EQ(r.w.LostBatches(), 3u);
    EXPECT_TRUE(r.w.ChangeSourceAlive());
    std::size_t overflows = 0;
    for (const std::wstring& line : traces.Lines()) {
        overflows +=
            line.rfind(L"Change notifications lost on C:\\ - more changes than the buffer holds (error ",
                       0) == 0
                ? 1
                : 0;
    }
    EXPECT_EQ(overflows, 3u);
    EXPECT_TRUE(traces.Contains(
        L"Change notifications lost on C:\\ - more changes than the buffer holds (error 1022)\n"));
    EXPECT_TRUE(traces.Contains(
        L"Change notifications lost on C:\\ - more changes than the buffer holds (error 0)\n"));

    // A read that fails (the volume went away) is no overflow: it is traced as what it is, and the
    // change source counts as dead from then on.
    rig.changes.Push(L"C:\\", {}, notify::kErrorInvalidHandle);
    ASSERT_TRUE(rig.changes.WaitDelivered(7, 10000));
    EXPECT_TRUE(traces.Contains(L"Change notifications lost on C:\\ - the read failed (error 6)\n"));
    EXPECT_EQ(r.w.LostBatches(), 4u);
    EXPECT_FALSE(r.w.ChangeSourceAlive());
}

TEST(ChangeFilterTest, NamesKeepCharactersOutsideTheBasicPlaneAndLongNamesWhole) {
    WatcherRig rig;
    Watcher w(L"C", L"", rig.Platform());
    w.Prepare();
    const std::wstring emoji = L"Docs\\\U0001F600.txt";
    const std::wstring deep = L"Deep\\" + std::wstring(4000, L'x');  // 8,010 bytes: the longest that fits
    std::vector<std::uint8_t> batch = notify::MakeNotifyBatch({{kModified, emoji}});
    w.callback(batch);
    batch = notify::MakeNotifyBatch({{kModified, deep}});
    ASSERT_LE(batch.size(), kNotifyBufferSize);
    w.callback(batch);
    EXPECT_EQ(Paths(w), (std::vector<std::wstring>{L"C:\\" + emoji, L"C:\\" + deep}));

    // An unpaired surrogate does not stop the record.
    std::vector<std::uint8_t> lone = notify::MakeNotifyBatch({{kModified, L"ab"}});
    lone[12] = 0x00;
    lone[13] = 0xD8;
    Access::ClearChangedFiles(w);
    w.callback(lone);
    ASSERT_EQ(Paths(w).size(), 1u);
    EXPECT_EQ(Paths(w)[0].size(), 5u);
}

}  // namespace
}  // namespace kestrel::watcher
