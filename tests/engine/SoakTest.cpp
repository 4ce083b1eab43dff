// The soak: an aged volume defragmented file by file with faults injected, the volume checked after
// every move request and every file's step. tools/soak runs the same for a million moves and more.
#include <gtest/gtest.h>

#include "platform/Time.h"
#include "platform/sim/SimFileSystem.h"
#include "service/engine/FreeRunSearch.h"
#include "tests/engine/AgedVolume.h"

namespace kestrel::engine::aging {
namespace {

TEST(MovedClusters, CountsOnlyClustersThatChangedPlace) {
    using Runs = std::vector<sim::Run>;
    EXPECT_EQ(MovedClusters(Runs{{0, 100, 50}}, Runs{{0, 100, 50}}), 0);
    EXPECT_EQ(MovedClusters(Runs{{0, 100, 50}, {50, 300, 10}}, Runs{{0, 100, 20}, {20, 900, 40}}), 40);
    EXPECT_EQ(MovedClusters(Runs{{0, sim::kHoleLcn, 16}, {16, 100, 16}},
                            Runs{{0, sim::kHoleLcn, 16}, {16, 200, 16}}),
              16);
}

// Files written in all: 300 leave a quarter of the volume free, 350 only an eighth, so that most files
// must be compacted piece by piece.
class Soak : public ::testing::TestWithParam<int> {};

TEST_P(Soak, AgedVolumeStaysConsistentAndGetsLessFragmented) {
    timing::ScopedTimeDivisor fast(100000);
    SetFreeRunIndexCheck(true);  // every search from the index is made the plain way too
    // Clusters freed by a move are held until the checkpoint, as NTFS holds them.
    sim::NtfsRules rules;
    rules.freedClusterHold = sim::kDefaultFreedClusterHold;
    sim::SimVolume volume({65536, 4096, 0, 0}, rules);
    ASSERT_TRUE(volume.Occupy(0, 16));  // boot sector and friends
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);

    AgingOptions aging;
    aging.seed = 7;
    aging.files = GetParam();
    const std::vector<std::wstring> files = AgeVolume(volume, aging);
    ASSERT_GT(files.size(), 150u);
    ASSERT_EQ(volume.Check(), "");

    SoakOptions soak;
    soak.seed = 11;
    // The volume is checked after every move request as well as after every file's step.
    CheckingControl control(fs, volume);
    const SoakFigures figures = RunSoak(volume, control, L'C', files, soak);
    EXPECT_EQ(figures.failure, "");
    EXPECT_EQ(control.failure, "") << "after move " << control.failedAtMove;
    EXPECT_GT(control.moves, 300);
    EXPECT_EQ(control.checks, control.moves);
    EXPECT_GT(control.movesDone, control.moves / 2);
    EXPECT_EQ(volume.Check(), "");
    EXPECT_GT(figures.mostHeld, 0) << "the moves met the hold";
    volume.Checkpoint();
    EXPECT_EQ(volume.HeldClusters(), 0);
    EXPECT_EQ(volume.Check(), "");
    // The faults were really met, and both ways of handling a file were taken.
    EXPECT_GT(figures.faults, 10);
    EXPECT_GT(figures.processCalls, 0);
    EXPECT_GT(figures.moveCalls, 0);
    // The aged volume was fragmented, and defragmenting helped.
    EXPECT_GT(figures.fragmentedBefore, figures.files / 4);
    EXPECT_LT(figures.fragmentsAfter, figures.fragmentsBefore);
    EXPECT_LT(figures.fragmentedAfter, figures.fragmentedBefore);
}

INSTANTIATE_TEST_SUITE_P(Volumes, Soak, ::testing::Values(300, 350));

}  // namespace
}  // namespace kestrel::engine::aging
