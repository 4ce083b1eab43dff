// Host only: a drive backed by a directory of real files, with its simulated layout, under inotify and
// the real watcher threads (time scaled down). The layout must follow every file before the watcher
// hears of it, files written side by side must fragment and be defragmented in the layout without their
// content tags changing, and files deleted, renamed or cut while they wait in the queue must leave no
// stale clusters. Every scenario ends with the volume's consistency check and a comparison of the layout
// with the real files.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "common/Utf16.h"
#include "platform/Console.h"
#include "platform/host/DirectoryDrives.h"
#include "platform/host/InotifyChangeNotification.h"
#include "tests/engine/ForwardingControl.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

namespace stdfs = std::filesystem;
constexpr std::uint32_t kCluster = 4096;

// Can slow every move down, so that files change while the engine works on them.
class SlowControl : public engine::test::ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        if (code == fs::kFsctlMoveFile) {
            ++moves;
            if (moveDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(moveDelayMs.load()));
        }
        return ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    }
    std::atomic<int> moveDelayMs{0};
    std::atomic<int> moves{0};
};

class DirectoryDriveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-dirdrive-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        Write("before/old.bin", 3 * kCluster);  // there when the drive is mounted
        std::string error;
        ASSERT_TRUE(drives_.Mount(L'W', root_, {16u << 20, kCluster}, error)) << error;
        volume_ = &drives_.Volume(L'W')->Volume();
    }
    void TearDown() override { stdfs::remove_all(root_); }

    void Write(const std::string& relative, std::size_t bytes) {
        stdfs::create_directories((root_ / relative).parent_path());
        std::ofstream out(root_ / relative, std::ios::binary | std::ios::app);
        out << std::string(bytes, 'd');
    }
    std::map<std::wstring, std::int64_t> Layout() {
        std::map<std::wstring, std::int64_t> files;
        for (const std::wstring& file : volume_->Files())
            files[file] = volume_->Describe(file)->clusters;
        return files;
    }
    std::map<std::wstring, std::int64_t> Real() {
        std::string error;
        std::map<std::wstring, std::int64_t> files;
        for (const sim::FoundFile& file : sim::FindFiles(root_, L"\\", error))
            files[file.path] = static_cast<std::int64_t>((file.bytes + kCluster - 1) / kCluster);
        return files;
    }
    // The layout has caught up with the real files (the watch syncs on its own thread).
    bool InStep() {
        return WaitUntil([&] { return Layout() == Real(); });
    }
    // In step, sound, and no cluster held by anything but the real files' clusters and the boot area.
    void ExpectNoStaleClusters() {
        ASSERT_TRUE(InStep());
        EXPECT_EQ(volume_->Check(), "");
        std::int64_t used = sim::kBootClusters;
        for (const auto& [path, clusters] : Real())
            used += clusters;
        volume_->Checkpoint();
        EXPECT_EQ(volume_->FreeClusters(), volume_->geometry().totalClusters - used);
    }

    timing::ScopedTimeDivisor divisor_{100};
    stdfs::path root_;
    drives::DriveTable table_;
    sim::SimFileSystem fileSystem_;
    host::DirectoryDrives drives_{table_, fileSystem_};
    notify::InotifyChangeNotification changes_{table_};
    sim::SimVolume* volume_ = nullptr;
};

TEST_F(DirectoryDriveTest, FileNumbersKeepUnpairedMovesAndTellANewFileUnderAnOldName) {
    auto layout = drives_.Volume(L'W');
    const std::vector<std::uint64_t> tags = volume_->Tags(L"\\before\\old.bin");
    // Moved without the layout hearing of the move: found again by its file number when either end is
    // compared.
    stdfs::create_directories(root_ / "later");
    stdfs::rename(root_ / "before" / "old.bin", root_ / "later" / "old.bin");
    layout->TreeChanged(L"\\later");
    EXPECT_EQ(volume_->Tags(L"\\later\\old.bin"), tags);
    EXPECT_FALSE(volume_->Exists(L"\\before\\old.bin"));
    ExpectNoStaleClusters();
    // Deleted and made again under the same name before the layout looked: a new file, laid out anew.
    stdfs::remove(root_ / "later" / "old.bin");
    Write("keep.bin", kCluster);  // may be given the number the old file had
    Write("later/old.bin", 3 * kCluster);
    layout->FileChanged(L"\\later\\old.bin");
    layout->FileChanged(L"\\keep.bin");
    const std::vector<std::uint64_t> fresh = volume_->Tags(L"\\later\\old.bin");
    ASSERT_EQ(fresh.size(), 3u);
    for (std::uint64_t tag : fresh)
        EXPECT_EQ(std::count(tags.begin(), tags.end(), tag), 0);
    // Two names of one file (a hard link) are two files of the layout, and one going leaves the other.
    stdfs::create_hard_link(root_ / "keep.bin", root_ / "link.bin");
    layout->FileChanged(L"\\link.bin");
    const std::vector<std::uint64_t> keep = volume_->Tags(L"\\keep.bin");
    EXPECT_EQ(volume_->Describe(L"\\link.bin")->clusters, 1);
    stdfs::remove(root_ / "link.bin");
    layout->FileChanged(L"\\link.bin");
    EXPECT_EQ(volume_->Tags(L"\\keep.bin"), keep);
    ExpectNoStaleClusters();
}

// Checks, inside each completion, that the layout of every file the batch names has the clusters the
// real file's size needs at that moment.
struct CheckingHandler : notify::BatchHandler {
    CheckingHandler(const stdfs::path& root, sim::SimVolume& volume) : root(root), volume(volume) {}
    void OnBatch(std::uint32_t error, std::uint32_t bytes) override {
        ASSERT_EQ(error, 0u);
        std::size_t offset = 0;
        while (offset + 12 <= bytes) {
            std::uint32_t next = 0, length = 0;
            std::memcpy(&next, buffer + offset, 4);
            std::memcpy(&length, buffer + offset + 8, 4);
            std::u16string name(length / 2, u'\0');
            std::memcpy(name.data(), buffer + offset + 12, length);
            std::string relative = ToUtf8(FromUtf16(name));
            std::replace(relative.begin(), relative.end(), '\\', '/');
            std::error_code ec;
            const auto size = stdfs::file_size(root / relative, ec);
            const auto known = volume.Describe(L"\\" + FromUtf16(name));
            if (!ec) {
                ++checked;
                EXPECT_TRUE(known.has_value()) << relative;
                if (known) {
                    EXPECT_EQ(known->clusters, static_cast<std::int64_t>((size + kCluster - 1) / kCluster))
                        << relative;
                }
            }
            names.push_back(relative);
            if (next == 0)
                break;
            offset += next;
        }
    }
    stdfs::path root;
    sim::SimVolume& volume;
    alignas(8) std::uint8_t buffer[8192];
    std::vector<std::string> names;
    int checked = 0;
};

TEST_F(DirectoryDriveTest, TheLayoutFollowsEachFileBeforeItsRecordIsDelivered) {
    EXPECT_EQ(volume_->Describe(L"\\before\\old.bin")->clusters, 3) << "laid out when mounted";
    std::uint32_t error = 0;
    auto watch = changes_.Open(L"W:\\", error);
    ASSERT_NE(watch, nullptr) << error;
    CheckingHandler handler(root_, *volume_);
    // Waits for batches until `name` has been delivered; the stop event ends a wait that would hang.
    auto deliveredAfter = [&](const std::string& name) {
        timing::Event stop(true, false);
        std::thread guard([&] {
            if (!WaitUntil([&] { return stop.IsSet(); }, 5000))
                stop.Set();
        });
        bool seen = false;
        while (!seen) {
            ASSERT_EQ(watch->Read(handler.buffer, sizeof handler.buffer, handler), 0u);
            if (watch->Wait(stop) == notify::WaitResult::Stopped)
                break;
            seen = std::find(handler.names.begin(), handler.names.end(), name) != handler.names.end();
        }
        stop.Set();
        guard.join();
        EXPECT_TRUE(seen) << name;
    };
    // Two files written side by side fragment each other.
    for (int round = 0; round < 4; ++round) {
        Write("a.log", 2 * kCluster);
        Write("b.log", 2 * kCluster);
        deliveredAfter("b.log");
    }
    EXPECT_EQ(volume_->Fragments(L"\\a.log"), 4);
    EXPECT_EQ(volume_->Fragments(L"\\b.log"), 4);
    // Cut short, the record comes with the layout already cut.
    stdfs::resize_file(root_ / "a.log", kCluster + 1);
    deliveredAfter("a.log");
    EXPECT_EQ(volume_->Describe(L"\\a.log")->clusters, 2);
    // Moved and deleted files are not size changes and bring no records, but the layout has followed
    // them by the time the next record comes.
    const std::vector<std::uint64_t> tags = volume_->Tags(L"\\b.log");
    stdfs::create_directories(root_ / "archive");
    stdfs::rename(root_ / "b.log", root_ / "archive" / "b.log");
    stdfs::remove_all(root_ / "before");
    Write("marker", 1);
    deliveredAfter("marker");
    EXPECT_EQ(volume_->Tags(L"\\archive\\b.log"), tags);
    EXPECT_FALSE(volume_->Exists(L"\\b.log"));
    EXPECT_FALSE(volume_->Exists(L"\\before\\old.bin"));
    EXPECT_GE(handler.checked, 6);
    ExpectNoStaleClusters();
}

TEST_F(DirectoryDriveTest, EventsAreReadAChunkAtATimeSoAWriterHoldsUpNeitherRecordsNorTheStop) {
    for (int i = 0; i < 64; ++i)
        Write("w" + std::to_string(i), 0);
    std::uint32_t error = 0;
    std::unique_ptr<notify::DirectoryWatch> watch = changes_.Open(L"W:\\", error);
    ASSERT_NE(watch, nullptr);
    struct Counter : notify::BatchHandler {
        explicit Counter(int fd) : fd(fd) {}
        void OnBatch(std::uint32_t, std::uint32_t) override {
            if (batches++ == 0)
                ioctl(fd, FIONREAD, &unreadAtFirst);
        }
        int fd;
        std::atomic<int> batches{0};
        int unreadAtFirst = 0;
    } handler(static_cast<int>(watch->Value()));
    std::vector<std::uint8_t> buffer(8192);
    timing::Event stop(true, false);

    // Thousands of events waiting: the first records come after one chunk of them, not after all.
    {
        std::vector<std::unique_ptr<std::ofstream>> files;
        for (int i = 0; i < 64; ++i)
            files.push_back(
                std::make_unique<std::ofstream>(root_ / ("w" + std::to_string(i)), std::ios::binary));
        for (int round = 0; round < 50; ++round) {
            for (auto& file : files)
                *file << 'x' << std::flush;
        }
    }
    ASSERT_EQ(watch->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), handler), 0u);
    ASSERT_EQ(watch->Wait(stop), notify::WaitResult::Completed);
    EXPECT_GT(handler.unreadAtFirst, 0);

    // A writer that keeps the queue busy: records keep coming, and the stop is seen while it writes.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        std::vector<std::unique_ptr<std::ofstream>> files;
        for (int i = 0; i < 64; ++i)
            files.push_back(
                std::make_unique<std::ofstream>(root_ / ("w" + std::to_string(i)), std::ios::binary));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int i = 0; writing && std::chrono::steady_clock::now() < end; ++i)
            *files[static_cast<std::size_t>(i % 64)] << 'x' << std::flush;
        writing = false;
    });
    std::atomic<bool> stopped{false};
    std::thread reader([&] {
        for (;;) {
            watch->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), handler);
            if (watch->Wait(stop) == notify::WaitResult::Stopped)
                break;
        }
        stopped = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return handler.batches >= 20 || !writing; }));
    EXPECT_TRUE(writing.load());
    stop.Set();
    const auto asked = std::chrono::steady_clock::now();
    while (!stopped && writing)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    EXPECT_TRUE(stopped.load());
    EXPECT_LT(waited.count(), 2000);  // milliseconds in practice; the bound only guards against a hang
    writing = false;
    writer.join();
    reader.join();
}

TEST_F(DirectoryDriveTest, FilesWrittenSideBySideAreDefragmentedInTheLayoutWithTheirContentIntact) {
    SlowControl control(fileSystem_);
    console::ScopedCapture console;
    Watcher w(L"W", L"", {&changes_, &table_, &control, nullptr});
    w.Prepare();
    ASSERT_TRUE(w.HasDirectory());
    Access::StartOnly(w, true, true, false, false);
    std::mt19937 random(20261207);
    for (int write = 0; write < 200; ++write) {
        Write("data/file" + std::to_string(random() % 8) + ".bin", kCluster * (1 + random() % 3));
        if (write % 20 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(InStep());
    int fragmentsBefore = 0;
    std::map<std::wstring, std::vector<std::uint64_t>> tags;
    for (const std::wstring& file : volume_->Files()) {
        fragmentsBefore += volume_->Fragments(file);
        tags[file] = volume_->Tags(file);
    }
    EXPECT_GT(fragmentsBefore, 16) << "eight files written side by side are in many pieces";
    ASSERT_TRUE(WaitUntil(
        [&] { return w.FragmentsSaved() > 0 && w.FilesLeft() == 0 && Access::ChangedFiles(w).empty(); },
        30000));
    std::list<FileEntry> left;
    w.GetFileListAndExit(left);
    int fragmentsAfter = 0;
    for (const auto& [file, before] : tags) {
        fragmentsAfter += volume_->Fragments(file);
        EXPECT_EQ(volume_->Tags(file), before) << ToUtf8(file);
    }
    EXPECT_LT(fragmentsAfter, fragmentsBefore);
    EXPECT_GT(control.moves.load(), 0);
    ExpectNoStaleClusters();
}

TEST_F(DirectoryDriveTest, FilesDeletedRenamedOrCutWhileTheyWaitLeaveNoStaleClusters) {
    SlowControl control(fileSystem_);
    control.moveDelayMs = 5;
    console::ScopedCapture console;
    Watcher w(L"W", L"", {&changes_, &table_, &control, nullptr});
    w.Prepare();
    Access::StartOnly(w, true, true, false, false);
    // Six files, fragmented by writing them side by side; all queued and resting.
    for (int round = 0; round < 6; ++round) {
        for (int f = 0; f < 6; ++f)
            Write("q/f" + std::to_string(f), 2 * kCluster);
    }
    ASSERT_TRUE(InStep());
    ASSERT_TRUE(WaitUntil([&] { return w.FilesLeft() + Access::ChangedFiles(w).size() > 0; }));
    // While they rest: one deleted, one renamed, two cut (one to nothing), one cut and written again.
    stdfs::remove(root_ / "q" / "f0");
    stdfs::rename(root_ / "q" / "f1", root_ / "q" / "f1-renamed");
    stdfs::resize_file(root_ / "q" / "f2", kCluster);
    stdfs::resize_file(root_ / "q" / "f3", 0);
    stdfs::resize_file(root_ / "q" / "f4", 0);
    Write("q/f4", 5 * kCluster);
    ASSERT_TRUE(InStep());
    // And while the engine is at work on the rest, the last one goes too.
    ASSERT_TRUE(WaitUntil([&] { return control.moves.load() > 0; }, 20000));
    stdfs::remove(root_ / "q" / "f5");
    ASSERT_TRUE(WaitUntil([&] { return w.FilesLeft() == 0 && Access::ChangedFiles(w).empty(); }, 30000));
    std::list<FileEntry> left;
    w.GetFileListAndExit(left);
    EXPECT_TRUE(left.empty());
    EXPECT_FALSE(volume_->Exists(L"\\q\\f0"));
    EXPECT_EQ(volume_->Describe(L"\\q\\f1-renamed")->clusters, 12);
    EXPECT_EQ(volume_->Describe(L"\\q\\f2")->clusters, 1);
    EXPECT_EQ(volume_->Describe(L"\\q\\f3")->clusters, 0);
    EXPECT_EQ(volume_->Describe(L"\\q\\f4")->clusters, 5);
    ExpectNoStaleClusters();
}

}  // namespace
}  // namespace kestrel::watcher
