// Host only: the watcher over inotify on a real directory that backs drive W.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Utf16.h"
#include "platform/host/InotifyChangeNotification.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

namespace stdfs = std::filesystem;

class InotifyWatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-watch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        stdfs::create_directories(root_ / "Docs");
        Append(root_ / "Docs" / "old.bin", 100);  // exists before the watch
        table_.Set(L'W', drives::BackedBy(FromUtf8(root_.string())));
        Start();
    }
    void Start() {
        watcher_ = std::make_unique<Watcher>(L"w", L"", WatcherPlatform{&changes_, &table_, nullptr});
        watcher_->Prepare();
        ASSERT_TRUE(watcher_->HasDirectory());
        WatcherTestAccess::StartWithoutDefrag(*watcher_);
    }
    void TearDown() override {
        watcher_.reset();
        stdfs::remove_all(root_);
        if (!outside_.empty())
            stdfs::remove_all(outside_);
    }
    // A directory beside the drive's, on the same file system, for moves in from outside.
    stdfs::path Outside() {
        if (outside_.empty()) {
            char pattern[] = "/tmp/kestrel-outside-XXXXXX";
            EXPECT_NE(mkdtemp(pattern), nullptr);
            outside_ = pattern;
        }
        return outside_;
    }
    // Writes a marker file and waits until it is queued: every event before it has been handled.
    bool Settled(const std::string& name) {
        Append(root_ / name, 1);
        return Queued(L"W:\\" + FromUtf8(name));
    }

    static void Append(const stdfs::path& path, std::size_t bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << std::string(bytes, 'x');
    }
    bool Queued(const std::wstring& path) {
        return WaitUntil([&] {
            const std::vector<std::wstring> paths = Paths(*watcher_);
            return std::find(paths.begin(), paths.end(), path) != paths.end();
        });
    }
    // The list holds a path once: it is emptied before a change that must list a path again.
    // Events still on their way are handled first (a marker of its own is listed).
    void Forget() {
        EXPECT_TRUE(Settled("settled" + std::to_string(++forgotten_)));
        WatcherTestAccess::ClearChangedFiles(*watcher_);
    }
    std::size_t Count(const std::wstring& path) {
        const std::vector<std::wstring> paths = Paths(*watcher_);
        return static_cast<std::size_t>(std::count(paths.begin(), paths.end(), path));
    }

    timing::ScopedTimeDivisor divisor_{100};
    stdfs::path root_;
    stdfs::path outside_;
    drives::DriveTable table_;
    notify::InotifyChangeNotification changes_{table_};
    std::unique_ptr<Watcher> watcher_;
    int forgotten_ = 0;
};

TEST_F(InotifyWatcherTest, AGrownFileReachesTheQueueAsItsFullDrivePath) {
    Append(root_ / "Docs" / "old.bin", 10);
    EXPECT_TRUE(Queued(L"W:\\Docs\\old.bin"));
    Append(root_ / "top level.txt", 5);
    EXPECT_TRUE(Queued(L"W:\\top level.txt"));
}

TEST_F(InotifyWatcherTest, ABackingDirectoryMovedAwayOrReplacedLeavesADeadChangeSource) {
    EXPECT_TRUE(watcher_->ChangeSourceAlive());
    stdfs::create_directories(root_ / "Docs" / "Sub");
    stdfs::rename(root_ / "Docs", root_ / "Papers");  // a folder below moving is no loss
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(watcher_->ChangeSourceAlive());

    const stdfs::path away = root_.string() + ".away";
    stdfs::rename(root_, away);
    stdfs::create_directories(root_);  // a new directory in its place is not watched
    EXPECT_TRUE(WaitUntil([&] { return !watcher_->ChangeSourceAlive(); }));
    watcher_.reset();
    stdfs::remove_all(away);
}

TEST_F(InotifyWatcherTest, ASubdirectoryCreatedAfterTheWatchBeganIsFollowed) {
    stdfs::create_directories(root_ / "New" / "Deeper");
    Append(root_ / "New" / "Deeper" / "f.dat", 4096);
    EXPECT_TRUE(Queued(L"W:\\New\\Deeper\\f.dat"));
    // And later growth in it is seen too (the list holds a path once: it is emptied first).
    Access::ClearChangedFiles(*watcher_);
    Append(root_ / "New" / "Deeper" / "f.dat", 1);
    EXPECT_TRUE(Queued(L"W:\\New\\Deeper\\f.dat"));
}

TEST_F(InotifyWatcherTest, MovedDirectoriesAreFollowedAndSameSizeWritesAreNotSizeChanges) {
    stdfs::rename(root_ / "Docs", root_ / "Papers");
    Append(root_ / "Papers" / "old.bin", 1);
    EXPECT_TRUE(Queued(L"W:\\Papers\\old.bin"));

    // Overwriting bytes in place keeps the size: no record while the file stays open. A marker write
    // shows that the events before it were all handled.
    Forget();
    {
        std::fstream io(root_ / "Papers" / "old.bin", std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(0);
        io << "yyyy";
        io.flush();
        EXPECT_TRUE(Settled("marker"));
        EXPECT_EQ(Count(L"W:\\Papers\\old.bin"), 0u);
    }
    // Once it is closed it counts as rewritten: inotify cannot tell this from a rewrite after a
    // truncation, which must count.
    EXPECT_TRUE(Queued(L"W:\\Papers\\old.bin"));
    // A deleted file and a file moved out of the tree are forgotten.
    Forget();
    stdfs::rename(root_ / "Papers" / "old.bin", Outside() / "old.bin");
    Append(Outside() / "old.bin", 1);
    stdfs::remove(Outside() / "old.bin");
    EXPECT_TRUE(Settled("marker2"));
    EXPECT_EQ(Count(L"W:\\Papers\\old.bin"), 0u);
    EXPECT_EQ(Count(L"W:\\Docs\\old.bin"), 0u);
}

TEST_F(InotifyWatcherTest, ARewriteThroughTruncationToTheSameSizeIsAlwaysAChange) {
    constexpr int kFiles = 20;
    for (int i = 0; i < kFiles; ++i)
        Append(root_ / ("r" + std::to_string(i)), 100);
    ASSERT_TRUE(Settled("marker"));
    Forget();
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream out(root_ / ("r" + std::to_string(i)), std::ios::binary | std::ios::trunc);
        out << std::string(100, 'z');
    }
    ASSERT_TRUE(Settled("marker2"));
    int rewritten = 0;
    for (int i = 0; i < kFiles; ++i)
        rewritten += Count(L"W:\\r" + std::to_wstring(i)) > 0 ? 1 : 0;
    EXPECT_EQ(rewritten, kFiles);
}

TEST_F(InotifyWatcherTest, FilesAndTreesMovedInFromOutsideAreQueued) {
    Append(Outside() / "single.bin", 10);
    stdfs::create_directories(Outside() / "tree" / "sub");
    for (int i = 0; i < 5; ++i)
        Append(Outside() / "tree" / (i < 3 ? "" : "sub") / ("t" + std::to_string(i)), 10 + i);
    Append(Outside() / "tree" / "empty", 0);  // no data: no size change, as a copy would report none
    stdfs::rename(Outside() / "single.bin", root_ / "Docs" / "single.bin");
    stdfs::rename(Outside() / "tree", root_ / "tree");
    EXPECT_TRUE(Queued(L"W:\\Docs\\single.bin"));
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(
            Queued(std::wstring(i < 3 ? L"W:\\tree\\" : L"W:\\tree\\sub\\") + L"t" + std::to_wstring(i)));
    // The moved-in tree is watched from then on.
    Forget();
    Append(root_ / "tree" / "sub" / "t4", 1);
    EXPECT_TRUE(Queued(L"W:\\tree\\sub\\t4"));
    EXPECT_EQ(Count(L"W:\\tree\\empty"), 0u);
}

TEST_F(InotifyWatcherTest, FoldersPastTheWatchLimitAreTracedAndReadAgainPeriodically) {
    watcher_.reset();
    for (int i = 0; i < 30; ++i) {
        stdfs::create_directories(root_ / ("d" + std::to_string(i)));
        Append(root_ / ("d" + std::to_string(i)) / "f.bin", 10);
    }
    changes_.LimitWatches(20);  // the root, Docs and 18 of the 30 folders
    ::testing::internal::CaptureStderr();
    Start();
    watcher_.reset();
    Start();  // a second drive meeting the limit says nothing more
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(changes_.FailedWatches(), 24u);  // 12 folders, twice
    EXPECT_NE(said.find("fs.inotify.max_user_watches"), std::string::npos) << said;
    EXPECT_EQ(said.find("fs.inotify.max_user_watches"), said.rfind("fs.inotify.max_user_watches"));

    // Every folder's growth is seen: through its watch at once, or by the next reading of the folders
    // without one (60 seconds, scaled down here).
    for (int i = 0; i < 30; ++i)
        Append(root_ / ("d" + std::to_string(i)) / "f.bin", 5);
    stdfs::create_directories(root_ / "d29" / "later");
    Append(root_ / "d29" / "later" / "g.bin", 3);
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(Queued(L"W:\\d" + std::to_wstring(i) + L"\\f.bin")) << i;
    EXPECT_TRUE(Queued(L"W:\\d29\\later\\g.bin"));
    // And again at the next reading.
    Forget();
    for (int i = 0; i < 30; ++i)
        Append(root_ / ("d" + std::to_string(i)) / "f.bin", 5);
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(Queued(L"W:\\d" + std::to_wstring(i) + L"\\f.bin")) << i;
}

// Each reading of a folder without a watch compares the folder's own files only: the files of its
// subfolders (also without a watch) are neither taken for gone nor reported, and a file deleted from it
// is forgotten, so that one made again under its name, even of the same size, is new data.
TEST_F(InotifyWatcherTest, AFolderReadAgainJudgesItsOwnFilesAlone) {
    watcher_.reset();
    for (const char* top : {"n0", "n1", "n1 b", "n1.c", "n2"}) {
        stdfs::create_directories(root_ / top / "sub" / "deep");
        Append(root_ / top / "f.bin", 10);
        Append(root_ / top / "sub" / "g.bin", 10);
        Append(root_ / top / "sub" / "deep" / "h.bin", 10);
    }
    changes_.LimitWatches(1);  // the root alone: every folder below is read again periodically
    ::testing::internal::CaptureStderr();
    Start();
    ::testing::internal::GetCapturedStderr();
    // A marker in a folder without a watch is seen by a reading of all of them, which is whole before
    // anything it found is delivered.
    int markers = 0;
    const auto read = [&] {
        const std::string name = "mark" + std::to_string(++markers);
        Append(root_ / "Docs" / name, 1);
        return Queued(L"W:\\Docs\\" + FromUtf8(name));
    };
    ASSERT_TRUE(read());
    ASSERT_TRUE(read());
    for (const wchar_t* top : {L"n0", L"n1", L"n1 b", L"n1.c", L"n2"}) {
        EXPECT_EQ(Count(L"W:\\" + std::wstring(top) + L"\\f.bin"), 0u) << top;
        EXPECT_EQ(Count(L"W:\\" + std::wstring(top) + L"\\sub\\g.bin"), 0u) << top;
        EXPECT_EQ(Count(L"W:\\" + std::wstring(top) + L"\\sub\\deep\\h.bin"), 0u) << top;
    }

    stdfs::remove(root_ / "n1" / "f.bin");
    stdfs::remove(root_ / "n1" / "sub" / "g.bin");
    ASSERT_TRUE(read());
    Append(root_ / "n1" / "f.bin", 10);
    Append(root_ / "n1" / "sub" / "g.bin", 10);
    EXPECT_TRUE(Queued(L"W:\\n1\\f.bin"));
    EXPECT_TRUE(Queued(L"W:\\n1\\sub\\g.bin"));
    EXPECT_EQ(Count(L"W:\\n1 b\\f.bin") + Count(L"W:\\n1.c\\f.bin") + Count(L"W:\\n1\\sub\\deep\\h.bin"), 0u);

    // A folder without a watch moved within the drive, and one deleted, take what they remembered with
    // them: nothing below either is reported, and the moved one is still read.
    stdfs::rename(root_ / "n0", root_ / "n9");
    stdfs::remove_all(root_ / "n2");
    ASSERT_TRUE(read());
    ASSERT_TRUE(read());
    Append(root_ / "n9" / "sub" / "g.bin", 1);
    EXPECT_TRUE(Queued(L"W:\\n9\\sub\\g.bin"));
    EXPECT_EQ(Count(L"W:\\n9\\f.bin") + Count(L"W:\\n9\\sub\\deep\\h.bin"), 0u);
}

TEST(InotifyChangeNotificationTest, OnlyRootsOfDrivesWithADirectoryOpen) {
    drives::DriveTable table;
    table.Set(L'X', drives::BackedBy(L"/nonexistent/kestrel"));
    table.Set(L'T', drives::BackedBy(L"/tmp"));
    notify::InotifyChangeNotification changes(table);
    std::uint32_t error = 0;
    EXPECT_EQ(changes.Open(L"C::\\", error), nullptr);
    EXPECT_EQ(error, notify::kErrorInvalidName);
    EXPECT_EQ(changes.Open(L"Y:\\", error), nullptr);
    EXPECT_EQ(error, notify::kErrorPathNotFound);
    EXPECT_EQ(changes.Open(L"X:\\", error), nullptr);
    EXPECT_EQ(error, notify::kErrorPathNotFound);
    // A root that cannot be watched fails the drive: nothing below it would ever be seen.
    char pattern[] = "/tmp/kestrel-root-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    table.Set(L'U', drives::BackedBy(FromUtf8(pattern)));
    changes.LimitWatches(0);
    EXPECT_EQ(changes.Open(L"U:\\", error), nullptr);
    EXPECT_NE(error, 0u);
    EXPECT_EQ(changes.FailedWatches(), 1u);
    changes.LimitWatches(-1);
    EXPECT_NE(changes.Open(L"U:\\", error), nullptr);
    stdfs::remove_all(pattern);
}

}  // namespace
}  // namespace kestrel::watcher
