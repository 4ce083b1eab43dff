// CompactNonCompressedFragmentedFile::Process on one heavily fragmented file of a large simulated
// volume: the engine's own work per file (bitmap reads and searches, re-mapping the file after every
// move, gathering), with the simulated volume standing in for the disk.
//
// The file has N extents of 8 clusters, each followed by 8 clusters of another file. The volume's only
// free space is a row of free runs of 64 clusters, so that no run holds the whole file and every pass
// gathers 8 extents into the next run: N / 8 passes, each one move and one fresh map of the file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Time.h"
#include "platform/Trace.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "service/engine/DefragEngine.h"

namespace {

using namespace kestrel;

constexpr std::int64_t kClusters = std::int64_t{1} << 22;  // 16 GiB of 4 KiB clusters
constexpr std::int64_t kExtent = 8;
constexpr std::int64_t kFileStart = 100000;
constexpr std::int64_t kFreeRun = 64;

class NullSink : public trace::TraceSink {
  public:
    void Write(std::wstring_view) override {}
};

struct Scenario {
    sim::SimVolume volume{{kClusters, 4096, 0, 0}};
    sim::SimFileSystem fs;

    explicit Scenario(std::int64_t extents) {
        std::vector<sim::Run> runs;
        runs.reserve(static_cast<std::size_t>(extents));
        for (std::int64_t i = 0; i < extents; ++i)
            runs.push_back({i * kExtent, kFileStart + i * 2 * kExtent, kExtent});
        volume.AddFile(L"\\frag.dat", runs);
        volume.Occupy(0, kFileStart);
        for (std::int64_t i = 0; i < extents; ++i)
            volume.Occupy(kFileStart + i * 2 * kExtent + kExtent, kExtent);
        // Room for the whole file, in runs of 64 separated by one used cluster.
        std::int64_t lcn = kFileStart + extents * 2 * kExtent;
        const std::int64_t freeRuns = extents * kExtent / kFreeRun + 1;
        for (std::int64_t k = 0; k < freeRuns; ++k) {
            volume.Occupy(lcn + kFreeRun, 1);
            lcn += kFreeRun + 1;
        }
        volume.Occupy(lcn, kClusters - lcn);
        fs.Mount(L'C', volume);
    }
};

void BM_ProcessFragmentedFile(benchmark::State& state) {
    timing::ScopedTimeDivisor fast(100000);
    NullSink quiet;
    trace::ScopedSink sink(quiet);
    const std::int64_t extents = state.range(0);
    std::int64_t passes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto scenario = std::make_unique<Scenario>(extents);
        auto engine = std::make_unique<engine::DefragEngine>(scenario->fs, L"C:\\");
        engine::RebuildRunHints(*engine, true);
        engine::FileInfo info;
        engine::RefreshFileInfo(*engine, L"C:\\frag.dat", info);
        state.ResumeTiming();

        std::int32_t moved = 0, defragmented = 0;
        engine::CompactNonCompressedFragmentedFile compaction(*engine, info);
        benchmark::DoNotOptimize(compaction.Process(moved, defragmented));

        state.PauseTiming();
        passes = info.fragments;
        engine.reset();
        scenario.reset();
        state.ResumeTiming();
    }
    state.counters["fragments_after"] = static_cast<double>(passes);
    state.counters["extents"] = static_cast<double>(extents);
}

BENCHMARK(BM_ProcessFragmentedFile)
    ->Arg(2500)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
