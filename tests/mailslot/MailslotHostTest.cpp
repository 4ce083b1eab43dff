// Host mailslots: names held across processes, stale sockets, the private directory. The whole program
// (the portable endpoint tests too) uses a temporary mailslot directory, removed at the end; each test
// here gets a fresh one of its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/Format.h"
#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "platform/SystemError.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "tests/mailslot/MailslotTestNames.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using mailtest::UniqueSlotName;

// The mailslot directory of the test program.
class TemporaryMailslotDirectory : public ::testing::Environment {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-mail-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("KESTREL_MAILSLOT_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KESTREL_MAILSLOT_DIR");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static const fs::path& Dir() { return dir_; }

  private:
    static inline fs::path dir_;
};
[[maybe_unused]] ::testing::Environment* const g_directory =
    ::testing::AddGlobalTestEnvironment(new TemporaryMailslotDirectory);

class MailslotHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-mail-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        dir_ = root_ / "slots";
        UseDirectory(dir_);
    }
    void TearDown() override {
        UseDirectory(TemporaryMailslotDirectory::Dir());
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    static void UseDirectory(const fs::path& dir) { ::setenv("KESTREL_MAILSLOT_DIR", dir.c_str(), 1); }

    std::vector<std::string> Entries(const fs::path& dir) const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dir, ignored))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root_;
    fs::path dir_;
};

class InspectableReader : public MailslotReader {
  public:
    mailslot::RawMailslot Raw() const { return handle_.get(); }
};

// A child process that creates a reader for `name`, reports through a pipe, then either holds it until
// told to go (the pipe to it closes) or dies on the spot without any clean-up.
class ChildReader {
  public:
    ChildReader(const std::wstring& name, bool crash) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            auto* reader = new MailslotReader;  // never destroyed: the process ends without clean-up
            char created = reader->Create(name, false) ? 'y' : 'n';
            if (::write(up[1], &created, 1) != 1)
                ::_exit(2);
            if (crash)
                ::raise(SIGKILL);
            char ignored;
            while (::read(down[0], &ignored, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        release_ = down[1];
        char created = 0;
        created_ = ::read(up[0], &created, 1) == 1 && created == 'y';
        ::close(up[0]);
    }
    ~ChildReader() { End(); }
    bool Created() const { return created_; }
    void End() {
        if (release_ >= 0)
            ::close(release_);
        release_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool created_ = false;
};

TEST_F(MailslotHostTest, NameHeldByAnotherProcessIsRefusedUntilItEnds) {
    const std::wstring name = UniqueSlotName(L"held");
    ChildReader child(name, false);
    ASSERT_TRUE(child.Created());

    trace::ScopedCapture capture;
    MailslotReader reader;
    EXPECT_FALSE(reader.Create(name, false));
    EXPECT_EQ(capture.Lines().size(), 2u);
    EXPECT_TRUE(capture.Contains(L"[VANTOR] CreateMailslot (mailslot) Error was 183"));
    EXPECT_TRUE(capture.Contains(Format(
        L"[VANTOR]Mailslotname %s - Cannot create a file when that file already exists. - error code=183\n",
        name)));

    child.End();
    EXPECT_TRUE(reader.Create(name, false));
}

TEST_F(MailslotHostTest, StaleSocketOfACrashedReaderDoesNotBlockANewOne) {
    const std::wstring name = UniqueSlotName(L"stale");
    ChildReader child(name, true);
    ASSERT_TRUE(child.Created());
    child.End();
    const std::string file = ToUtf8(name.substr(name.rfind(L'\\') + 1));
    std::string lower = file;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(fs::exists(fs::symlink_status(dir_ / (lower + ".slot"))));  // left behind by the crash

    MailslotWriter writer;
    EXPECT_FALSE(writer.Open(name));  // nobody reads behind the stale socket
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    ASSERT_TRUE(writer.Open(name));
    ASSERT_TRUE(writer.Write(L"fresh"));
    EXPECT_EQ(reader.Read(), L"fresh");
}

TEST_F(MailslotHostTest, ClosingAReaderFreesTheNameAndWritersSeeItGone) {
    const std::wstring name = UniqueSlotName(L"gone");
    auto reader = std::make_unique<MailslotReader>();
    ASSERT_TRUE(reader->Create(name, false));
    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));
    reader.reset();
    EXPECT_EQ(Entries(dir_).size(), 1u);  // only the lock file stays

    trace::ScopedCapture capture;
    EXPECT_FALSE(writer.Write(L"nobody"));
    EXPECT_TRUE(capture.Contains(Format(L"[VANTOR]Write to mailslot %s (mailslot) Error was 2", name)));
    MailslotReader again;
    EXPECT_TRUE(again.Create(name, false));
}

// Host only: under Wine a burst of this size stalls the writer in WriteFile (Wine's mailslots hold far
// less than Windows' before a write blocks).
TEST_F(MailslotHostTest, BurstWrittenWhileTheReaderSleepsArrivesCompleteAndInOrder) {
    const std::wstring name = UniqueSlotName(L"burst");
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    MailslotWriter first, second;
    ASSERT_TRUE(first.Open(name));
    ASSERT_TRUE(second.Open(name));
    // Requests of every length the protocol sends, from two writers taking turns.
    auto text = [](int i) {
        return Format(L"%d:", i) + std::wstring(static_cast<std::size_t>(i % 200), L'r');
    };
    constexpr int kMessages = 2000;
    for (int i = 0; i < kMessages; ++i)
        ASSERT_TRUE((i % 2 == 0 ? first : second).Write(text(i))) << "message " << i;
    for (int i = 0; i < kMessages; ++i)
        ASSERT_EQ(reader.Read(), text(i)) << "message " << i;
    EXPECT_TRUE(reader.Read().empty());
}

TEST_F(MailslotHostTest, AMessageTooBigForTheBufferStays) {
    const std::wstring name = UniqueSlotName(L"small");
    InspectableReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));
    ASSERT_TRUE(writer.Write(L"twelve chars"));  // 25 bytes
    std::uint8_t buffer[16] = {};
    std::uint32_t got = 99;
    EXPECT_EQ(mailslot::Read(reader.Raw(), buffer, sizeof buffer, got), mailslot::kErrorInsufficientBuffer);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(reader.Read(), L"twelve chars");
    EXPECT_EQ(mailslot::Read(reader.Raw(), buffer, sizeof buffer, got), mailslot::kErrorSemTimeout);
}

TEST_F(MailslotHostTest, BeyondTheByteBoundWritesFailClearlyAndNothingQueuedIsLost) {
    const std::wstring name = UniqueSlotName(L"full");
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));
    const std::wstring padding(4000, L'p');  // about 8 KB a message
    const std::size_t messageBytes = EncodeMailslotMessage(L"message 0000 " + padding).size();
    const int limit = static_cast<int>(2 * mailslot::kMaxQueuedBytes / messageBytes);
    int sent = 0;
    trace::ScopedCapture capture;
    while (sent < limit && writer.Write(Format(L"message %04d ", sent) + padding))
        ++sent;
    ASSERT_LT(sent, limit);  // the reader's queue is bounded
    // Nothing short of the bound is refused, whatever the system's socket settings.
    EXPECT_GE(static_cast<std::size_t>(sent) * (messageBytes + mailslot::kQueuedMessageOverhead),
              mailslot::kMaxQueuedBytes);
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{
                                   Format(L"[VANTOR]Write to mailslot %s (mailslot) Error was 1450", name)});
    EXPECT_EQ(SystemErrorText(mailslot::kErrorNoSystemResources),
              L"Insufficient system resources exist to complete the requested service.");

    // A writer that asks for no wait (the service answering a client that does not read) is refused at
    // once, where the default waits half a second for room that does not come.
    MailslotWriter impatient;
    ASSERT_TRUE(impatient.Open(name));
    impatient.SetRoomWait(0);
    const std::uint64_t start = timing::NowMs();
    EXPECT_FALSE(impatient.Write(L"no room"));
    EXPECT_LT(timing::NowMs() - start, 250u);

    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(reader.Read(), Format(L"message %04d ", i) + padding);
    EXPECT_TRUE(reader.Read().empty());  // the refused message was not sent
    EXPECT_TRUE(writer.Write(L"room again"));
    EXPECT_EQ(reader.Read(), L"room again");
}

// The threads of this process.
std::size_t ThreadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// The thread count once it equals `expected`, or the last count after about a second: a joined thread
// can still be listed for a moment while the kernel finishes its exit, but one left running never goes.
std::size_t SettledThreadCount(std::size_t expected) {
    std::size_t count = ThreadCount();
    for (int i = 0; i < 200 && count != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = ThreadCount();
    }
    return count;
}

TEST_F(MailslotHostTest, ClosingAReaderEndsItsThreadWhetherIdleFullOrReceiving) {
    // The thread sanitizer's runtime starts a thread of its own when the process creates its first one:
    // a thread started and joined first lets the baseline include it.
    std::thread([] {}).join();
    const std::size_t baseline = ThreadCount();
    const std::wstring name = UniqueSlotName(L"close");
    {
        MailslotReader idle;
        ASSERT_TRUE(idle.Create(name, false));
        EXPECT_EQ(SettledThreadCount(baseline + 1), baseline + 1);
    }
    EXPECT_EQ(SettledThreadCount(baseline), baseline);

    {
        // Full: the thread waits for room that never comes.
        MailslotReader full;
        ASSERT_TRUE(full.Create(name, false));
        MailslotWriter writer;
        ASSERT_TRUE(writer.Open(name));
        trace::ScopedCapture quiet;
        const std::wstring large(30000, L'f');
        int sent = 0;
        while (sent < 1000 && writer.Write(large))
            ++sent;
        ASSERT_LT(sent, 1000);
    }
    EXPECT_EQ(SettledThreadCount(baseline), baseline);

    // Receiving: writers keep sending while the reader is closed, again and again.
    trace::ScopedCapture quiet;  // the writers' failure lines, once the reader is gone
    for (int round = 0; round < 20; ++round) {
        auto reader = std::make_unique<MailslotReader>();
        ASSERT_TRUE(reader->Create(name, false));
        std::atomic<bool> done{false};
        std::atomic<int> delivered{0};
        std::vector<std::thread> writers;
        for (int w = 0; w < 2; ++w) {
            writers.emplace_back([&] {
                MailslotWriter writer;
                if (!writer.Open(name))
                    return;
                while (!done.load() && writer.Write(L"stream"))
                    delivered.fetch_add(1);
            });
        }
        while (delivered.load() < 50)
            std::this_thread::yield();
        reader.reset();  // must neither hang nor leave its thread behind
        done = true;
        for (std::thread& thread : writers)
            thread.join();
        EXPECT_EQ(SettledThreadCount(baseline), baseline) << "round " << round;
    }
}

TEST_F(MailslotHostTest, DirectoryIsPrivateAndRefusedNamesTouchNothing) {
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(L"\\\\.\\mailslot\\KestrelGUI", false));
    struct stat status {};
    ASSERT_EQ(::lstat(dir_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"kestrelgui.lock", "kestrelgui.slot"}));

    for (const wchar_t* name : {L"\\\\.\\mailslot\\..", L"\\\\.\\mailslot\\../escape",
                                L"\\\\.\\mailslot\\a\\b", L"\\\\.\\mailslot\\/tmp/escape", L"/tmp/escape"}) {
        MailslotReader refused;
        EXPECT_FALSE(refused.Create(name, false));
    }
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"kestrelgui.lock", "kestrelgui.slot"}));
    EXPECT_EQ(Entries(root_), std::vector<std::string>{"slots"});

    // A directory that others may enter is closed to them before use.
    MailslotReader more;
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    ASSERT_TRUE(more.Create(L"\\\\.\\mailslot\\Other", false));
    ASSERT_EQ(::lstat(dir_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(MailslotHostTest, UnsafeOrOverlongDirectoryIsRefused) {
    // A symbolic link in place of the directory could lead the sockets anywhere.
    fs::create_directory(root_ / "elsewhere");
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "link");
    UseDirectory(root_ / "link");
    trace::ScopedCapture capture;
    MailslotReader reader;
    EXPECT_FALSE(reader.Create(L"\\\\.\\mailslot\\KestrelGUI", false));
    EXPECT_TRUE(capture.Contains(L"[VANTOR] CreateMailslot (mailslot) Error was 5"));
    EXPECT_TRUE(Entries(root_ / "elsewhere").empty());

    // A socket path must fit a socket address (108 bytes).
    fs::path deep = root_ / std::string(60, 'd');
    UseDirectory(deep);
    capture.Clear();
    EXPECT_FALSE(
        reader.Create(L"\\\\.\\mailslot\\" + std::wstring(mailslot::kMaxMailslotNameLength, L'n'), false));
    EXPECT_TRUE(capture.Contains(L"[VANTOR] CreateMailslot (mailslot) Error was 206"));
    EXPECT_TRUE(reader.Create(L"\\\\.\\mailslot\\short", false));
}

}  // namespace
}  // namespace kestrel
