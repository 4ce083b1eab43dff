// The change notification that syncs a drive's simulated layout before the watcher's handler sees a batch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FsRecords.h"
#include "platform/LayoutSyncingChangeNotification.h"
#include "platform/ScriptedChangeNotification.h"

namespace kestrel::notify {
namespace {

using ::testing::ElementsAre;

struct RecordingLayout : drives::DriveLayout {
    void FileChanged(const std::wstring& path) override { calls.push_back(L"file " + path); }
    void Renamed(const std::wstring& from, const std::wstring& to) override {
        calls.push_back(L"rename " + from + L" " + to);
    }
    void TreeChanged(const std::wstring& path) override { calls.push_back(L"tree " + path); }
    std::vector<std::wstring> calls;
};

// Remembers what the layout had been told when the batch reached it.
struct Handler : BatchHandler {
    explicit Handler(RecordingLayout& layout) : layout(layout) {}
    void OnBatch(std::uint32_t error, std::uint32_t bytes) override {
        seen.push_back(layout.calls);
        errors.push_back(error);
        sizes.push_back(bytes);
    }
    RecordingLayout& layout;
    std::vector<std::vector<std::wstring>> seen;
    std::vector<std::uint32_t> errors, sizes;
};

TEST(LayoutSyncingTest, EveryRecordsFileIsSyncedBeforeTheHandlerRuns) {
    ScriptedChangeNotification scripted;
    scripted.AddRoot(L"K:\\");
    scripted.AddRoot(L"L:\\");
    auto layout = std::make_shared<RecordingLayout>();
    LayoutSyncingChangeNotification changes(scripted);
    changes.Add(L'k', layout);
    std::uint32_t error = 0;
    auto watch = changes.Open(L"K:\\", error);
    ASSERT_NE(watch, nullptr);
    EXPECT_THAT(layout->calls, ElementsAre(L"tree \\")) << "the files are compared when the watch opens";

    Handler handler(*layout);
    alignas(8) std::uint8_t buffer[256];
    timing::Event stop(true, false);
    scripted.Push(L"K:\\", MakeNotifyBatch(
                               {{fs::kFileActionModified, L"dir\\a.txt"}, {fs::kFileActionModified, L"b"}}));
    ASSERT_EQ(watch->Read(buffer, sizeof buffer, handler), 0u);
    ASSERT_EQ(watch->Wait(stop), WaitResult::Completed);
    ASSERT_EQ(handler.seen.size(), 1u);
    EXPECT_THAT(handler.seen[0], ElementsAre(L"tree \\", L"file \\dir\\a.txt", L"file \\b"));

    // Lost records: the whole drive is compared, then the handler hears of the loss.
    scripted.Push(L"K:\\", std::vector<std::uint8_t>(1024, 0));
    ASSERT_EQ(watch->Read(buffer, sizeof buffer, handler), 0u);
    ASSERT_EQ(watch->Wait(stop), WaitResult::Completed);
    EXPECT_EQ(handler.errors.back(), kErrorNotifyEnumDir);
    EXPECT_EQ(handler.seen.back().back(), L"tree \\");

    // A malformed record ends the batch; the records before it count.
    std::vector<std::uint8_t> bad =
        MakeNotifyBatch({{fs::kFileActionModified, L"ok"}, {fs::kFileActionModified, L"cut"}});
    bad.resize(bad.size() - 2);
    const std::size_t before = layout->calls.size();
    EXPECT_EQ(SyncBatch(*layout, bad.data(), static_cast<std::uint32_t>(bad.size())), 1u);
    EXPECT_THAT(std::vector<std::wstring>(layout->calls.begin() + static_cast<std::ptrdiff_t>(before),
                                          layout->calls.end()),
                ElementsAre(L"file \\ok"));

    // Another drive's watch is the inner one, and its batches touch no layout.
    const std::size_t calls = layout->calls.size();
    auto other = changes.Open(L"L:\\", error);
    ASSERT_NE(other, nullptr);
    scripted.Push(L"L:\\", MakeNotifyBatch({{fs::kFileActionModified, L"x"}}));
    ASSERT_EQ(other->Read(buffer, sizeof buffer, handler), 0u);
    ASSERT_EQ(other->Wait(stop), WaitResult::Completed);
    EXPECT_EQ(layout->calls.size(), calls);
    EXPECT_EQ(changes.Open(L"M:\\", error), nullptr);
    EXPECT_EQ(error, kErrorPathNotFound);
}

}  // namespace
}  // namespace kestrel::notify
