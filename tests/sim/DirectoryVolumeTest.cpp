// The layout beneath a directory of real files: what it finds, how it follows files that grow side by
// side, shrink, move and go, and that it stays consistent while a writer and the syncs race. Every
// scenario ends with the volume's consistency check and a comparison with the real files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "platform/sim/DirectoryVolume.h"

namespace kestrel::sim {
namespace {

namespace stdfs = std::filesystem;
using ::testing::ElementsAre;

constexpr std::uint32_t kCluster = 4096;

class DirectoryVolumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        root_ = stdfs::temp_directory_path() / ("kestrel-dirvol-" + std::to_string(random()));
        ASSERT_TRUE(stdfs::create_directory(root_));
    }
    void TearDown() override {
        std::error_code ec;
        stdfs::remove_all(root_, ec);
    }

    void Write(const std::string& relative, std::size_t bytes, bool append = true) {
        stdfs::create_directories((root_ / relative).parent_path());
        std::ofstream out(root_ / relative, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out << std::string(bytes, 'k');
    }
    std::shared_ptr<DirectoryVolume> Make(std::uint64_t volumeBytes = 4u << 20) {
        std::string error;
        auto volume = DirectoryVolume::Create(root_, {volumeBytes, kCluster}, error);
        EXPECT_NE(volume, nullptr) << error;
        return volume;
    }
    // The layout's files and their lengths in clusters.
    static std::map<std::wstring, std::int64_t> Layout(SimVolume& volume) {
        std::map<std::wstring, std::int64_t> files;
        for (const std::wstring& file : volume.Files())
            files[file] = volume.Describe(file)->clusters;
        return files;
    }
    // The real files and the clusters their sizes need.
    std::map<std::wstring, std::int64_t> Real(std::uint32_t cluster = kCluster) {
        std::string error;
        std::map<std::wstring, std::int64_t> files;
        for (const FoundFile& file : FindFiles(root_, L"\\", error))
            files[file.path] = static_cast<std::int64_t>((file.bytes + cluster - 1) / cluster);
        EXPECT_EQ(error, "");
        return files;
    }
    // The layout matches the files, no cluster is used by a file that is gone, and the volume is sound.
    void ExpectInStep(DirectoryVolume& dv) {
        SimVolume& volume = dv.Volume();
        EXPECT_EQ(volume.Check(), "");
        const auto real = Real(volume.geometry().bytesPerCluster);
        EXPECT_EQ(Layout(volume), real);
        std::int64_t used = kBootClusters;
        for (const auto& [path, clusters] : real)
            used += clusters;
        volume.Checkpoint();
        EXPECT_EQ(volume.FreeClusters(), volume.geometry().totalClusters - used);
    }

    stdfs::path root_;
};

TEST_F(DirectoryVolumeTest, LaysOutTheFilesFoundOneAfterAnotherAndHonoursItsSettings) {
    Write("b.bin", 10000);
    Write("a/x.bin", 3 * kCluster);
    Write("empty", 0);
    stdfs::create_directories(root_ / "no files" / "here");
    auto dv = Make();
    ASSERT_NE(dv, nullptr);
    SimVolume& volume = dv->Volume();
    EXPECT_EQ(volume.geometry().totalClusters, 1024);
    EXPECT_EQ(volume.geometry().bytesPerCluster, kCluster);
    // In name order, behind the boot area and the MFT zone (an eighth of the volume).
    EXPECT_EQ(volume.geometry().mftZoneStart, kBootClusters);
    EXPECT_EQ(volume.geometry().mftZoneEnd, kBootClusters + 128 - 1);
    EXPECT_THAT(volume.Runs(L"\\a\\x.bin"), ElementsAre(sim::Run{0, 144, 3}));
    EXPECT_THAT(volume.Runs(L"\\b.bin"), ElementsAre(sim::Run{0, 147, 3}));
    EXPECT_TRUE(volume.Exists(L"\\empty"));
    EXPECT_TRUE(volume.Runs(L"\\empty").empty());
    ExpectInStep(*dv);

    // The default: a gibibyte at least; a smaller cluster gives more clusters per file.
    std::string error;
    auto defaults = DirectoryVolume::Create(root_, {}, error);
    ASSERT_NE(defaults, nullptr) << error;
    EXPECT_EQ(defaults->Volume().geometry().totalClusters, (1 << 30) / 4096);
    auto small = DirectoryVolume::Create(root_, {0, 512}, error);
    ASSERT_NE(small, nullptr) << error;
    EXPECT_EQ(small->Volume().Describe(L"\\a\\x.bin")->clusters, 24);
    EXPECT_EQ(small->Volume().Describe(L"\\b.bin")->clusters, 20);
    ExpectInStep(*small);
}

TEST_F(DirectoryVolumeTest, RefusesBadSettingsAndFilesThatDoNotFit) {
    Write("big", 2u << 20);
    std::string error;
    EXPECT_EQ(DirectoryVolume::Create(root_, {0, 3000}, error), nullptr);
    EXPECT_THAT(error, ::testing::HasSubstr("power of two"));
    EXPECT_EQ(DirectoryVolume::Create(root_, {0, 256}, error), nullptr);
    EXPECT_EQ(DirectoryVolume::Create(root_, {0, 131072}, error), nullptr);
    EXPECT_EQ(DirectoryVolume::Create(root_, {100 * 1024, kCluster}, error), nullptr);
    EXPECT_THAT(error, ::testing::HasSubstr("clusters"));
    EXPECT_EQ(DirectoryVolume::Create(root_, {1u << 20, kCluster}, error), nullptr) << "2 MiB in 1 MiB";
    EXPECT_THAT(error, ::testing::HasSubstr("need 512 clusters"));
    EXPECT_EQ(DirectoryVolume::Create(root_ / "big", {}, error), nullptr);
    EXPECT_EQ(DirectoryVolume::Create(root_ / "absent", {}, error), nullptr);
    // Large enough: the default grows with what is there.
    auto dv = DirectoryVolume::Create(root_, {4u << 20, kCluster}, error);
    ASSERT_NE(dv, nullptr) << error;
    EXPECT_EQ(dv->Volume().Fragments(L"\\big"), 1);
}

TEST_F(DirectoryVolumeTest, FollowsFilesGrowingSideBySideShrinkingMovingAndGoing) {
    auto dv = Make();
    ASSERT_NE(dv, nullptr);
    SimVolume& volume = dv->Volume();
    // Two files written side by side, a cluster at a time: their clusters interleave.
    for (int round = 0; round < 5; ++round) {
        for (const char* name : {"f1", "f2"}) {
            Write(name, kCluster);
            dv->FileChanged(std::wstring(L"\\") + (name[1] == '1' ? L"f1" : L"f2"));
        }
    }
    EXPECT_EQ(volume.Fragments(L"\\f1"), 5);
    EXPECT_EQ(volume.Fragments(L"\\f2"), 5);
    ExpectInStep(*dv);
    const std::vector<std::uint64_t> f1 = volume.Tags(L"\\f1"), f2 = volume.Tags(L"\\f2");

    // Told twice, or about a file that did not change: nothing moves.
    const std::vector<sim::Run> before = volume.Runs(L"\\f1");
    dv->FileChanged(L"\\f1");
    dv->FileChanged(L"\\f1");
    EXPECT_EQ(volume.Runs(L"\\f1"), before);

    // Shrinks to 6,000 bytes: two clusters, the first two of what it was.
    stdfs::resize_file(root_ / "f1", 6000);
    dv->FileChanged(L"\\f1");
    EXPECT_EQ(volume.Tags(L"\\f1"), std::vector<std::uint64_t>(f1.begin(), f1.begin() + 2));
    ExpectInStep(*dv);

    // Moves into a new folder with its clusters and content.
    stdfs::create_directories(root_ / "sub");
    stdfs::rename(root_ / "f2", root_ / "sub" / "g");
    dv->Renamed(L"\\f2", L"\\sub\\g");
    EXPECT_EQ(volume.Tags(L"\\sub\\g"), f2);
    ExpectInStep(*dv);

    // A move over another file replaces it: the replaced file's clusters are freed.
    Write("f3", 3 * kCluster);
    dv->FileChanged(L"\\f3");
    const std::vector<std::uint64_t> f3 = volume.Tags(L"\\f3");
    stdfs::rename(root_ / "f3", root_ / "f1");
    dv->Renamed(L"\\f3", L"\\f1");
    EXPECT_EQ(volume.Tags(L"\\f1"), f3);
    ExpectInStep(*dv);

    // A folder moved whole keeps its files' content; one deleted whole frees it.
    stdfs::rename(root_ / "sub", root_ / "moved");
    dv->Renamed(L"\\sub", L"\\moved");
    EXPECT_EQ(volume.Tags(L"\\moved\\g"), f2);
    ExpectInStep(*dv);
    stdfs::remove_all(root_ / "moved");
    dv->TreeChanged(L"\\moved");
    ExpectInStep(*dv);

    // A deleted file is freed; one never announced is found when the whole drive is compared.
    stdfs::remove(root_ / "f1");
    dv->FileChanged(L"\\f1");
    Write("quiet/q", 5 * kCluster);
    dv->TreeChanged(L"\\");
    EXPECT_EQ(volume.Describe(L"\\quiet\\q")->clusters, 5);
    ExpectInStep(*dv);

    // Paths that name nothing below the directory change nothing.
    for (const wchar_t* bad : {L"", L"..", L"\\..\\etc", L"\\quiet\\..\\quiet\\q", L"\\\\q", L"no-slash"}) {
        dv->FileChanged(bad);
        dv->TreeChanged(bad);
        dv->Renamed(bad, L"\\x");
    }
    ExpectInStep(*dv);
}

TEST_F(DirectoryVolumeTest, AFullVolumeGivesAFileWhatIsFreeAndSaysSo) {
    auto dv = Make(1u << 20);  // 256 clusters: 16 boot, 32 zone, 208 for files
    ASSERT_NE(dv, nullptr);
    Write("fill", 250 * kCluster);
    dv->FileChanged(L"\\fill");
    EXPECT_EQ(dv->Volume().Describe(L"\\fill")->clusters, 240) << "every free cluster, the zone included";
    EXPECT_EQ(dv->Volume().FreeClusters(), 0);
    EXPECT_EQ(dv->Stats().shortfalls, 1u);
    EXPECT_EQ(dv->Volume().Check(), "");
    // Shrinking brings it back in step.
    stdfs::resize_file(root_ / "fill", 10 * kCluster);
    dv->FileChanged(L"\\fill");
    ExpectInStep(*dv);
}

TEST_F(DirectoryVolumeTest, NamesThatDifferInCaseOnlyKeepTheFirstFile) {
    Write("name", kCluster);
    Write("NAME", 2 * kCluster);
    if (stdfs::file_size(root_ / "name") != kCluster)
        GTEST_SKIP() << "this directory ignores case";
    auto dv = Make();
    ASSERT_NE(dv, nullptr);
    SimVolume& volume = dv->Volume();
    // "NAME" sorts first and keeps the name; "name" stays out.
    EXPECT_EQ(volume.Describe(L"\\name")->path, L"\\NAME");
    EXPECT_EQ(volume.Describe(L"\\name")->clusters, 2);
    EXPECT_EQ(dv->Stats().nameClashes, 1u);
    dv->FileChanged(L"\\name");
    EXPECT_EQ(volume.Describe(L"\\name")->clusters, 2);
    // When the holder goes, the other takes the name.
    stdfs::remove(root_ / "NAME");
    dv->FileChanged(L"\\name");
    EXPECT_EQ(volume.Describe(L"\\NAME")->path, L"\\name");
    EXPECT_EQ(volume.Describe(L"\\NAME")->clusters, 1);
    EXPECT_EQ(volume.Check(), "");
    // A case-only rename keeps the clusters.
    const std::vector<std::uint64_t> tags = volume.Tags(L"\\name");
    stdfs::rename(root_ / "name", root_ / "Name");
    dv->Renamed(L"\\name", L"\\Name");
    EXPECT_EQ(volume.Describe(L"\\name")->path, L"\\Name");
    EXPECT_EQ(volume.Tags(L"\\Name"), tags);
    ExpectInStep(*dv);
}

TEST_F(DirectoryVolumeTest, WritersRacingTheSyncsLeaveTheLayoutConsistentAndInStep) {
    auto dv = Make(16u << 20);
    ASSERT_NE(dv, nullptr);
    std::atomic<bool> done{false};
    // Three writers, each with its own files: grow, shrink, move and delete, announcing each change.
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([this, &dv, w] {
            std::mt19937 random(static_cast<unsigned>(w + 17));
            for (int step = 0; step < 300; ++step) {
                const std::string name = "w" + std::to_string(w) + "-" + std::to_string(random() % 3);
                const std::wstring path = L"\\" + std::wstring(name.begin(), name.end());
                switch (random() % 8) {
                    case 0:
                        std::filesystem::remove(root_ / name);
                        dv->FileChanged(path);
                        break;
                    case 1:
                        if (stdfs::exists(root_ / name)) {
                            stdfs::resize_file(root_ / name, random() % (4 * kCluster));
                            dv->FileChanged(path);
                        }
                        break;
                    case 2:
                        if (stdfs::exists(root_ / name)) {
                            const std::string to = name + "m";
                            stdfs::rename(root_ / name, root_ / to);
                            dv->Renamed(path, path + L"m");
                        }
                        break;
                    default:
                        Write(name, 1 + random() % (2 * kCluster));
                        dv->FileChanged(path);
                        break;
                }
            }
        });
    }
    // Meanwhile the whole drive is compared and checked over and over.
    std::thread checker([&] {
        while (!done) {
            dv->TreeChanged(L"\\");
            ASSERT_EQ(dv->Volume().Check(), "");
        }
    });
    for (std::thread& t : writers)
        t.join();
    done = true;
    checker.join();
    // Every change was announced after it happened, so the layout is in step without a final scan.
    ExpectInStep(*dv);
    EXPECT_GT(dv->Stats().syncs, 900u);
}

}  // namespace
}  // namespace kestrel::sim
