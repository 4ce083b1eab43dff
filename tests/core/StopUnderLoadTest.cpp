// A stop while a watcher is in the middle of a long operation: the service's stop returns once the
// command thread has seen the flag, the watcher has finished the operation and its pause after the walk,
// and the state is saved; the volume is intact and the operation complete.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/Trace.h"
#include "platform/sim/SimVolume.h"
#include "service/drives/SettingsStore.h"
#include "tests/core/ServiceRig.h"
#include "tests/engine/ForwardingControl.h"

namespace kestrel::core::test {
namespace {

// Holds every move request for a while.
class SlowMoves : public engine::test::ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        if (code == fs::kFsctlMoveFile) {
            inMove = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(kMoveMs));
        }
        return ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    }
    static constexpr int kMoveMs = 400;  // real time
    std::atomic<bool> inMove{false};
};

TEST(StopUnderLoadTest, AStopEndsAfterTheRunningMoveAndTheDocumentedPauses) {
    ServiceRig rig;
    sim::SimVolume volume({20000, 4096, 0, 0}, sim::NtfsRules{0, false});
    // Five pieces of ten clusters with used clusters between them.
    std::vector<sim::Run> runs;
    for (int i = 0; i < 5; ++i)
        runs.push_back({i * 10, 1000 + i * 15, 10});
    ASSERT_TRUE(volume.AddFile(L"\\five", runs));
    for (int i = 0; i + 1 < 5; ++i)
        ASSERT_TRUE(volume.Occupy(1010 + i * 15, 5));
    const std::vector<std::uint64_t> tags = volume.Tags(L"\\five");
    rig.fileSystem.Mount(L'C', volume);
    SlowMoves control(rig.fileSystem);
    rig.drives.Add(L'C', drives::kDriveFixed);
    rig.drives.Add(L'D', drives::kDriveFixed);
    // The file waits in C's saved queue; the service's scan hands it to C's new watcher.
    drives::SettingsStore(rig.registry).SaveQueue(L"C:\\", {L"C:\\five"});
    ServicePlatform platform = rig.Platform();
    platform.drives.watchers.fileSystem = &control;
    rig.service = std::make_unique<DefragService>(platform, rig.host, rig.registry);

    trace::ScopedCapture traces;
    rig.Start();
    ASSERT_TRUE(WaitUntil([&] { return control.inMove.load(); }));
    const auto start = std::chrono::steady_clock::now();
    rig.service->Handler(svc::kControlStop, 0, nullptr, 0);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    rig.main.join();

    // The handler returned only after the command thread had ended.
    EXPECT_FALSE(rig.service->CommandThreadRunning());
    const std::vector<std::wstring> lines = traces.Lines();
    auto position = [&](const std::wstring& text) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::wstring::npos)
                return static_cast<std::ptrdiff_t>(i);
        return std::ptrdiff_t{-1};
    };
    EXPECT_LT(position(L"OnStop called"), position(L"Command Thread exiting"));
    EXPECT_LT(position(L"Command Thread exiting"), position(L"CNTService::SetStatus(20817, 1)"));
    // The move under way (400 ms) and the pause after the walk (10 s, scaled to 100 ms), plus the
    // command thread's poll (1 s, scaled to 10 ms): a bound with room for a loaded machine.
    EXPECT_GE(ms, 100);
    EXPECT_LE(ms, 2500);

    // The operation finished whole: one piece, content intact, the volume consistent, the fragments
    // saved counted into the lifetime total, nothing left in the saved queue.
    EXPECT_EQ(volume.Fragments(L"\\five"), 1);
    EXPECT_EQ(volume.Tags(L"\\five"), tags);
    EXPECT_EQ(volume.Check(), "");
    drives::SettingsStore store(rig.registry);
    EXPECT_EQ(store.LoadLifeTime(), 4);
    std::vector<std::wstring> saved;
    store.RestoreQueue(3, [&](const std::wstring& path) { saved.push_back(path); });
    EXPECT_TRUE(saved.empty());
}

}  // namespace
}  // namespace kestrel::core::test
