// The defragmentation thread on a simulated drive C, with its real thread and time scaled down: the
// attempts and their outcomes, the drops, the statistics and trace lines, the idle event, the stop, the
// hand-back of the queue, and an end-to-end run with a writer growing files side by side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "common/Utf16.h"
#include "platform/Console.h"
#include "platform/Trace.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "tests/engine/AgedVolume.h"
#include "tests/engine/ForwardingControl.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

using Runs = std::vector<sim::Run>;

// Counts the opens of each file and can hold every move request for a while.
class CountingControl : public engine::test::ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;
    fs::OpenResult OpenFile(const std::wstring& path) override {
        {
            std::lock_guard lock(mutex_);
            const int opens = ++opens_[path];
            // Every third open of the chosen file throws: the one of an attempt, after the two that
            // measure the file.
            if (path == throwingPath && opens % 3 == 0)
                throw std::runtime_error("open failed");
        }
        return ForwardingControl::OpenFile(path);
    }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        if (code == fs::kFsctlMoveFile && moveDelayMs > 0) {
            inMove = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(moveDelayMs.load()));
        }
        return ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    }
    int Opens(const std::wstring& drivePath) {
        std::lock_guard lock(mutex_);
        return opens_[L"\\\\?\\" + drivePath];
    }
    std::atomic<int> moveDelayMs{0};
    std::atomic<bool> inMove{false};
    std::wstring throwingPath;  // set before the watcher runs

  private:
    std::mutex mutex_;
    std::map<std::wstring, int> opens_;
};

// A simulated drive C under a watcher rig; freed clusters are free at once unless a test asks otherwise.
struct DefragRig : WatcherRig {
    explicit DefragRig(std::int64_t clusters = 20000, sim::NtfsRules rules = {0, false})
        : volume({clusters, 4096, 0, 0}, rules), control(fileSystem) {
        fileSystem.Mount(L'C', volume);
    }
    WatcherPlatform Platform() { return {&changes, &drives, &control}; }
    // Snapshots every file's content tags, to compare after the scenario.
    void KeepTags() {
        for (const std::wstring& file : volume.Files())
            tags[file] = volume.Tags(file);
    }
    void ExpectIntact() {
        EXPECT_EQ(volume.Check(), "");
        for (const auto& [file, before] : tags) {
            if (volume.Exists(file)) {
                EXPECT_EQ(volume.Tags(file), before) << ToUtf8(file);
            }
        }
    }

    sim::SimVolume volume;
    sim::SimFileSystem fileSystem;
    CountingControl control;
    std::map<std::wstring, std::vector<std::uint64_t>> tags;
};

// A prepared watcher of C whose defragmentation thread (and, when asked, change thread) runs. The files
// `first` are queued before the threads start, so that the thread's first pass takes all of them: with
// the disk busy, a later pass would wait for it before it takes any more.
struct Running {
    Running(DefragRig& rig, bool idle = true, bool change = false,
            const std::vector<std::wstring>& first = {})
        : w(L"C", L"", rig.Platform()) {
        w.Prepare();
        if (!idle)
            Access::IdleEvent(w).Reset();
        for (const std::wstring& path : first)
            w.AddFileToDefragList(path);
        Access::StartOnly(w, change, true, false, false);
    }
    Watcher w;
};

// Five separate pieces of `size` clusters from `lcn` on, with used clusters between them.
Runs Pieces(int count, std::int64_t lcn, std::int64_t size) {
    Runs runs;
    for (int i = 0; i < count; ++i)
        runs.push_back({i * size, lcn + i * (size + 5), size});
    return runs;
}
void OccupyGaps(sim::SimVolume& volume, const Runs& runs) {
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
        const std::int64_t end = runs[i].lcn + runs[i].length;
        ASSERT_TRUE(volume.Occupy(end, runs[i + 1].lcn - end));
    }
}

std::vector<std::wstring> LinesContaining(const trace::CaptureSink& sink, const std::wstring& text) {
    std::vector<std::wstring> found;
    for (const std::wstring& line : sink.Lines())
        if (line.find(text) != std::wstring::npos)
            found.push_back(line);
    return found;
}

TEST(PathHashTest, HashesUtf16CodeUnitsTimesThirtyThreeOnEveryTarget) {
    EXPECT_EQ(PathHash(L""), 0u);
    EXPECT_EQ(PathHash(L"ab"), 97u * 33u + 98u);
    // Beyond the basic plane a character counts as its two surrogates, as on a 16-bit wchar_t.
    const std::wstring path = FromUtf16(u"C:\\\U0001F600\\x");
    std::uint32_t expected = 0;
    for (char16_t unit : u"C:\\\U0001F600\\x")
        if (unit != 0)
            expected = expected * 33u + unit;
    EXPECT_EQ(PathHash(path), expected);
    // Wraps modulo 2^32 and is case-sensitive.
    const std::wstring longPath(400, L'z');
    std::uint32_t wrapped = 0;
    for (std::size_t i = 0; i < longPath.size(); ++i)
        wrapped = wrapped * 33u + L'z';
    EXPECT_EQ(PathHash(longPath), wrapped);
    EXPECT_NE(PathHash(L"C:\\a"), PathHash(L"C:\\A"));
    EXPECT_EQ(PathHash(L"C:\\f1b"), PathHash(L"C:\\f2A"));  // the collision the tests below rely on
}

TEST(DefragProcTest, FragmentedFilesAreCompactedCountedAndTraced) {
    DefragRig rig;
    const Runs five = Pieces(5, 1000, 10);
    const Runs two = Pieces(2, 3000, 40);
    ASSERT_TRUE(rig.volume.AddFile(L"\\five", five));
    ASSERT_TRUE(rig.volume.AddFile(L"\\two", two));
    OccupyGaps(rig.volume, five);
    OccupyGaps(rig.volume, two);
    rig.KeepTags();
    trace::ScopedCapture traces;
    console::ScopedCapture console;
    Running r(rig);
    EXPECT_TRUE(WaitUntil([&] { return r.w.VolumeClusters() == 20000; }));
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\five"));
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\two"));

    // No further change arrives: the passes come by themselves once the files have rested.
    ASSERT_TRUE(WaitUntil([&] { return console.Contains(L"no more files to process on path C:\\\n"); }));
    EXPECT_EQ(rig.volume.Fragments(L"\\five"), 1);
    EXPECT_EQ(rig.volume.Fragments(L"\\two"), 1);
    EXPECT_EQ(r.w.FragmentsSaved(), 4 + 1);
    EXPECT_EQ(r.w.LargestFragmentsSaved(), 4);
    EXPECT_EQ(r.w.FilesLeft(), 0);

    const auto fiveLines = LinesContaining(traces, L"C:\\five defragged - ");
    ASSERT_EQ(fiveLines.size(), 1u);
    const std::wstring newFive = std::to_wstring(rig.volume.Runs(L"\\five")[0].lcn);
    // The file hashed last in the map goes last; whichever went first leaves the other pending.
    const std::wstring leftAfterFive = PathHash(L"C:\\five") < PathHash(L"C:\\two") ? L"1" : L"0";
    EXPECT_EQ(fiveLines[0], L"C:\\five defragged - old=1000, new=" + newFive + L" - 4 less fragments - " +
                                leftAfterFive + L" files left\n");
    const auto twoLines = LinesContaining(traces, L"C:\\two defragged - ");
    ASSERT_EQ(twoLines.size(), 1u);
    EXPECT_NE(twoLines[0].find(L"old=3000, new=" + std::to_wstring(rig.volume.Runs(L"\\two")[0].lcn) +
                               L" - 1 less fragment - "),
              std::wstring::npos)
        << twoLines[0];
    rig.ExpectIntact();
}

TEST(DefragProcTest, AFileThatCannotBeHelpedIsTriedTwiceThenDropped) {
    // Nothing is free on the volume: compaction finds no room and does nothing, a failed attempt.
    DefragRig rig(4000);
    const Runs two = Pieces(2, 100, 20);
    ASSERT_TRUE(rig.volume.AddFile(L"\\stuck", two));
    ASSERT_TRUE(rig.volume.Occupy(0, 100));
    ASSERT_TRUE(rig.volume.Occupy(145, 4000 - 145));
    OccupyGaps(rig.volume, two);
    rig.KeepTags();
    trace::ScopedCapture traces;
    console::ScopedCapture console;
    Running r(rig);
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\stuck"));

    ASSERT_TRUE(WaitUntil([&] { return console.Contains(L"no more files to process on path C:\\\n"); }));
    EXPECT_EQ(
        LinesContaining(traces, L"CompactNonCompressedFragmentedFile::Process filename = C:\\stuck").size(),
        2u);
    std::list<FileEntry> left;
    r.w.GetFileListAndExit(left);
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(r.w.FragmentsSaved(), 0);
    rig.ExpectIntact();
}

TEST(DefragProcTest, AnAttemptThatThrowsCountsAsFailedAndTheFileIsDroppedAfterTheSecond) {
    DefragRig rig;
    const Runs two = Pieces(2, 1000, 20);
    ASSERT_TRUE(rig.volume.AddFile(L"\\throws", two));
    OccupyGaps(rig.volume, two);
    rig.KeepTags();
    rig.control.throwingPath = L"\\\\?\\C:\\throws";
    trace::ScopedCapture traces;
    Running r(rig);
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\throws"));
    // Measured and attempted twice (three opens each time), then dropped at the next examination.
    ASSERT_TRUE(
        WaitUntil([&] { return rig.control.Opens(L"C:\\throws") >= 6 && Access::PendingCount(r.w) == 0; }));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(300));  // the quiet drive's passes find nothing more
    EXPECT_EQ(rig.control.Opens(L"C:\\throws"), 6);
    EXPECT_EQ(LinesContaining(traces, L"Caught exception in Watcher::ExecuteFileCommand").size(), 2u);
    EXPECT_EQ(rig.volume.Fragments(L"\\throws"), 2);
    rig.ExpectIntact();
}

TEST(DefragProcTest, OnePieceFilesFollowTheThresholdAndTheMoveFlag) {
    {
        // Free: 8,000 to 8,999 and nothing else, so StartingSizes[1] is 8,000. Files of 100 clusters (k = 1):
        // one before that run is dropped without a move, one behind it is handed to the mover.
        DefragRig rig;
        ASSERT_TRUE(rig.volume.Occupy(0, 5000));
        ASSERT_TRUE(rig.volume.AddFile(L"\\front", {{0, 5000, 100}}));
        ASSERT_TRUE(rig.volume.Occupy(5100, 2900));
        ASSERT_TRUE(rig.volume.AddFile(L"\\back", {{0, 9000, 100}}));
        ASSERT_TRUE(rig.volume.Occupy(9100, 20000 - 9100));
        rig.KeepTags();
        console::ScopedCapture console;
        Running r(rig);
        ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\front"));
        ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\back"));
        ASSERT_TRUE(WaitUntil([&] { return console.Contains(L"no more files to process on path C:\\\n"); }));
        std::list<FileEntry> left;
        r.w.GetFileListAndExit(left);
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(rig.control.Opens(L"C:\\front"), 2);  // measured only
        EXPECT_EQ(rig.volume.Runs(L"\\front")[0].lcn, 5000);
        EXPECT_EQ(rig.volume.Runs(L"\\back")[0].lcn, 8000);
        rig.ExpectIntact();
    }
    {
        // A file of 20,000 clusters (k > 255) at LCN 10 has the threshold 1 and goes to the mover, although
        // a free run of 16,320 clusters lies behind it.
        DefragRig rig(50000);
        ASSERT_TRUE(rig.volume.AddFile(L"\\huge", {{0, 10, 20000}}));
        rig.KeepTags();
        Running r(rig);
        ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\huge"));
        ASSERT_TRUE(WaitUntil([&] { return rig.control.Opens(L"C:\\huge") > 2; }));
        std::list<FileEntry> left;
        r.w.GetFileListAndExit(left);
        rig.ExpectIntact();
    }
    {
        // With the move flag clear a file in one piece is dropped before any move, room in front or not.
        DefragRig rig;
        ASSERT_TRUE(rig.volume.AddFile(L"\\still", {{0, 9000, 100}}));
        rig.KeepTags();
        Watcher w(L"C", L"", rig.Platform());
        w.Prepare();
        w.SetMoveFlag(false);
        Access::StartOnly(w, false, true, false, false);
        ASSERT_TRUE(w.AddFileToDefragList(L"C:\\still"));
        ASSERT_TRUE(WaitUntil([&] { return rig.control.Opens(L"C:\\still") == 2; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::list<FileEntry> left;
        w.GetFileListAndExit(left);
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(rig.control.Opens(L"C:\\still"), 2);
        EXPECT_EQ(rig.volume.Runs(L"\\still")[0].lcn, 9000);
        rig.ExpectIntact();
    }
}

TEST(DefragProcTest, ADeletedFileIsDroppedSilently) {
    DefragRig rig;
    ASSERT_TRUE(rig.volume.AddFile(L"\\gone", Pieces(3, 1000, 10)));
    trace::ScopedCapture traces;
    console::ScopedCapture console;
    Running r(rig);
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\gone"));
    ASSERT_TRUE(rig.volume.DeleteFile(L"\\gone"));
    ASSERT_TRUE(WaitUntil([&] { return rig.control.Opens(L"C:\\gone") > 0; }));
    std::list<FileEntry> left;
    r.w.GetFileListAndExit(left);
    EXPECT_TRUE(left.empty());
    EXPECT_TRUE(LinesContaining(traces, L"gone").empty());
    EXPECT_FALSE(console.Contains(L"no more files to process on path C:\\\n"));  // nothing was worked on
    EXPECT_EQ(rig.volume.Check(), "");
}

TEST(DefragProcTest, TheIdleEventHeldResetKeepsFilesWaitingAndTheQueueComesBackInKeyOrder) {
    DefragRig rig;
    const Runs five = Pieces(5, 1000, 10);
    ASSERT_TRUE(rig.volume.AddFile(L"\\five", five));
    OccupyGaps(rig.volume, five);
    rig.KeepTags();
    trace::ScopedCapture traces;
    Running r(rig, false, false, {L"C:\\five", L"C:\\f1b", L"C:\\b", L"C:\\a"});
    ASSERT_TRUE(WaitUntil([&] { return Access::ChangedFiles(r.w).empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // well past the rest
    EXPECT_EQ(rig.volume.Fragments(L"\\five"), 5);
    EXPECT_EQ(rig.control.Opens(L"C:\\five"), 0);
    // Still in the list when the thread stops: a repeat, a path of the same key, a new one.
    for (const wchar_t* path : {L"C:\\a", L"C:\\f2A", L"C:\\c"})
        ASSERT_TRUE(r.w.AddFileToDefragList(path));

    std::list<FileEntry> files;
    r.w.GetFileListAndExit(files);
    std::vector<std::wstring> paths;
    std::uint32_t previous = 0;
    for (const FileEntry& entry : files) {
        paths.push_back(entry.path);
        EXPECT_GE(PathHash(entry.path), previous);
        previous = PathHash(entry.path);
        EXPECT_EQ(entry.attempts, 0u);
    }
    std::sort(paths.begin(), paths.end());
    // The later of two paths of one key stays; the loss is traced only inside a walk.
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"C:\\a", L"C:\\b", L"C:\\c", L"C:\\f2A", L"C:\\five"}));
    EXPECT_TRUE(LinesContaining(traces, L"duplicate entry").empty());
    rig.ExpectIntact();
    EXPECT_EQ(rig.volume.Fragments(L"\\five"), 5);
}

TEST(DefragProcTest, ABusyDiskKeepsOneEntryPerPathHoweverManyChangesArrive) {
    DefragRig rig;
    Watcher w(L"C", L"", rig.Platform());
    ASSERT_TRUE(w.Prepare());
    Access::IdleEvent(w).Reset();  // the disk stays busy: the walk waits for it
    const std::vector<std::wstring> names{L"log\\a.log", L"log\\b.log", L"c.db", L"d.tmp", L"e"};
    for (const std::wstring& name : names)
        ASSERT_TRUE(w.AddFileToDefragList(L"C:\\" + name));
    Access::StartOnly(w, false, true, false, false);  // its first pass takes all five into the map
    ASSERT_TRUE(WaitUntil([&] { return Access::ChangedFiles(w).empty(); }));
    ASSERT_EQ(Access::PendingCount(w), names.size());

    std::vector<std::vector<std::uint8_t>> batches;
    for (const std::wstring& name : names)
        batches.push_back(notify::MakeNotifyBatch({{fs::kFileActionModified, name}}));
    for (int i = 0; i < 50000; ++i)
        w.callback(batches[static_cast<std::size_t>(i) % batches.size()]);
    // Each path once in the list (and in its index) and once in the map, whatever the number of changes.
    EXPECT_EQ(Access::ChangedCounts(w), std::make_pair(names.size(), names.size()));
    EXPECT_EQ(Access::PendingCount(w), names.size());

    // Once the disk is idle the list drains into the map; the files do not exist and are dropped.
    Access::IdleEvent(w).Set();
    ASSERT_TRUE(WaitUntil([&] {
        return Access::ChangedCounts(w) == std::make_pair(std::size_t{0}, std::size_t{0}) &&
               Access::PendingCount(w) == 0;
    }));
}

TEST(DefragProcTest, AKeyCollisionInsideAWalkIsTracedAndAnIdleDiskReleasesTheWaitingFiles) {
    DefragRig rig;
    const Runs five = Pieces(5, 1000, 10);
    ASSERT_TRUE(rig.volume.AddFile(L"\\five", five));
    OccupyGaps(rig.volume, five);
    rig.KeepTags();
    trace::ScopedCapture traces;
    Running r(rig, false, false, {L"C:\\f1b", L"C:\\five"});
    ASSERT_TRUE(WaitUntil([&] { return Access::ChangedFiles(r.w).empty(); }));
    ASSERT_TRUE(r.w.AddFileToDefragList(L"C:\\f2A"));  // the walk waits for the idle disk meanwhile
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.volume.Fragments(L"\\five"), 5);
    Access::IdleEvent(r.w).Set();
    ASSERT_TRUE(WaitUntil([&] { return rig.volume.Fragments(L"\\five") == 1; }));
    EXPECT_TRUE(traces.Contains(L"duplicate entry - lose it now C:\\f1b\n"));
    EXPECT_EQ(rig.control.Opens(L"C:\\f1b"), 0);
    rig.ExpectIntact();
}

TEST(DefragProcTest, AStopDuringALongCompactionEndsAfterItWithoutWaitingOutThePause) {
    DefragRig rig;
    const Runs five = Pieces(5, 1000, 10);
    ASSERT_TRUE(rig.volume.AddFile(L"\\five", five));
    OccupyGaps(rig.volume, five);
    rig.KeepTags();
    rig.control.moveDelayMs = 400;  // real milliseconds, the first move only
    auto r = std::make_unique<Running>(rig);
    ASSERT_TRUE(r->w.AddFileToDefragList(L"C:\\five"));
    ASSERT_TRUE(WaitUntil([&] { return rig.control.inMove.load(); }));
    // From here on time runs at its real pace: the pause after the walk would be ten real seconds.
    timing::ScopedTimeDivisor real(1);
    const auto start = std::chrono::steady_clock::now();
    r.reset();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    // The move under way (400 ms) is finished; the stop then ends the pause at once.
    EXPECT_LE(ms, 3000);
    rig.ExpectIntact();
}

TEST(DefragProcTest, EndToEndAWriterGrowsFilesSideBySideAndTheWatcherDefragmentsThem) {
    // Freed clusters are held as NTFS holds them.
    DefragRig rig(20000, sim::NtfsRules{});
    console::ScopedCapture console;
    Running r(rig, true, true);
    std::mt19937 random(20261207);
    std::vector<std::wstring> names;
    for (int i = 0; i < 10; ++i)
        names.push_back(L"Data\\file" + std::to_wstring(i) + L".bin");
    std::thread writer([&] {
        for (int write = 0; write < 300; ++write) {
            const std::wstring& name = names[random() % names.size()];
            rig.volume.Append(L"\\" + name, 1 + random() % 8);
            rig.Push({{fs::kFileActionModified, name}});
            if (write % 10 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    writer.join();
    rig.KeepTags();  // the content as written; the rest of the run may only move it
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the last change rests
    ASSERT_TRUE(WaitUntil(
        [&] {
            return r.w.FilesLeft() == 0 && Access::ChangedFiles(r.w).empty() &&
                   rig.changes.Delivered() >= 300;
        },
        30000));
    std::list<FileEntry> left;
    r.w.GetFileListAndExit(left);
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(r.w.FilesLeft(), 0);
    EXPECT_GT(r.w.FragmentsSaved(), 0);
    rig.ExpectIntact();
}

// The first efficacy figures of the running system: an aged volume, every file queued once, the
// watcher left to drain the queue.
TEST(DefragProcTest, AgedVolumeFigures) {
    DefragRig rig(65536, sim::NtfsRules{});
    ASSERT_TRUE(rig.volume.Occupy(0, 16));
    engine::aging::AgingOptions aging;
    aging.seed = 7;
    const std::vector<std::wstring> files = engine::aging::AgeVolume(rig.volume, aging);
    std::map<std::wstring, Runs> before;
    std::int64_t fragmentsBefore = 0;
    for (const std::wstring& file : files) {
        before[file] = rig.volume.Runs(file);
        fragmentsBefore += rig.volume.Fragments(file);
    }
    rig.KeepTags();
    Running r(rig);
    const auto start = std::chrono::steady_clock::now();
    for (const std::wstring& file : files)
        ASSERT_TRUE(r.w.AddFileToDefragList(L"C:" + file));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(WaitUntil([&] { return r.w.FilesLeft() == 0; }, 120000));
    const double quietMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::list<FileEntry> left;
    r.w.GetFileListAndExit(left);
    std::int64_t fragmentsAfter = 0;
    std::int64_t moved = 0;
    for (const std::wstring& file : files) {
        fragmentsAfter += rig.volume.Fragments(file);
        moved += engine::aging::MovedClusters(before[file], rig.volume.Runs(file));
    }
    const std::int64_t removed = fragmentsBefore - fragmentsAfter;
    std::cout << "aged volume: " << files.size() << " files, fragments " << fragmentsBefore << " -> "
              << fragmentsAfter << " (" << (100.0 * removed / fragmentsBefore)
              << "% removed), clusters moved " << moved << " ("
              << (removed > 0 ? double(moved) / removed : 0.0) << " per fragment removed), quiet after "
              << quietMs * timing::TimeDivisor() / 1000.0 << " s nominal, fragments saved as counted "
              << r.w.FragmentsSaved() << "\n";
    EXPECT_GT(removed, 0);
    // The watcher counts what the engine's maps show before and after each attempt; compressed files and
    // attempts that failed part way count differently from the volume's own pieces, so only the sign is held.
    EXPECT_GT(r.w.FragmentsSaved(), 0);
    EXPECT_TRUE(left.empty());
    rig.ExpectIntact();
}

}  // namespace
}  // namespace kestrel::watcher
