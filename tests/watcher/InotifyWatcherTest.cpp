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
        watcher_ = std::make_unique<Watcher>(L"w", L"", WatcherPlatform{&changes_, &table_, nullptr});
        watcher_->Prepare();
        ASSERT_TRUE(watcher_->HasDirectory());
        WatcherTestAccess::StartWithoutDefrag(*watcher_);
    }
    void TearDown() override {
        watcher_.reset();
        stdfs::remove_all(root_);
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
    std::size_t Count(const std::wstring& path) {
        const std::vector<std::wstring> paths = Paths(*watcher_);
        return static_cast<std::size_t>(std::count(paths.begin(), paths.end(), path));
    }

    timing::ScopedTimeDivisor divisor_{100};
    stdfs::path root_;
    drives::DriveTable table_;
    notify::InotifyChangeNotification changes_{table_};
    std::unique_ptr<Watcher> watcher_;
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

    // Overwriting bytes in place keeps the size: no record.
    {
        std::fstream io(root_ / "Papers" / "old.bin", std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(0);
        io << "yyyy";
    }
    // A deleted file and a file moved out of the tree are forgotten; a marker write shows that the
    // events before it were all handled.
    stdfs::remove(root_ / "Papers" / "old.bin");
    Append(root_ / "marker", 1);
    EXPECT_TRUE(Queued(L"W:\\marker"));
    EXPECT_EQ(Count(L"W:\\Papers\\old.bin"), 1u);
    EXPECT_EQ(Count(L"W:\\Docs\\old.bin"), 0u);
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
}

}  // namespace
}  // namespace kestrel::watcher
