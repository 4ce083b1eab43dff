// The free-run searches over the bitmap of a 512 Mi-cluster volume (64 MiB), against a plain pass over
// the same memory.
//
// The bitmap is about half full, fragmented the way a used volume is: used runs and free runs alternate
// with geometric lengths (mean kMeanRun clusters), with a seeded generator so every run sees the same
// volume.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "service/engine/FreeRunSearch.h"

namespace {

using kestrel::engine::VolumeBitmap;

constexpr std::uint64_t kClusters = std::uint64_t{512} << 20;

struct Volume {
    std::vector<std::uint64_t> words;
    VolumeBitmap view;
    std::int64_t longestFree = 0;
    std::int64_t freeRuns = 0;
};

const Volume& Fragmented(int meanRun) {
    static std::vector<std::pair<int, Volume*>> built;
    for (auto& [mean, volume] : built)
        if (mean == meanRun)
            return *volume;
    auto* volume = new Volume;  // kept for the whole program
    volume->words.assign(kClusters / 64, 0);
    std::mt19937_64 rng(20240601 + meanRun);
    std::geometric_distribution<std::uint64_t> length(1.0 / meanRun);
    bool used = true;
    std::int64_t run = 0;
    for (std::uint64_t i = 0; i < kClusters;) {
        const std::uint64_t n = std::min<std::uint64_t>(1 + length(rng), kClusters - i);
        if (used) {
            for (std::uint64_t k = i; k < i + n; ++k)
                volume->words[k >> 6] |= std::uint64_t{1} << (k & 63);
        } else {
            run = static_cast<std::int64_t>(n);
            volume->longestFree = std::max(volume->longestFree, run);
            ++volume->freeRuns;
        }
        i += n;
        used = !used;
    }
    volume->view = VolumeBitmap{kClusters, reinterpret_cast<const std::uint8_t*>(volume->words.data())};
    built.emplace_back(meanRun, volume);
    return *volume;
}

void SetCounters(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kClusters / 8));
}

// A request longer than any free run: the search has to walk the whole bitmap.
void BM_FindFreeRun_FullScan(benchmark::State& state) {
    const Volume& volume = Fragmented(static_cast<int>(state.range(0)));
    const auto minimum = static_cast<std::uint64_t>(volume.longestFree + 1);
    for (auto _ : state) {
        std::int64_t length = 0;
        const std::int64_t lcn = kestrel::engine::FindFreeRun(volume.view, -1, minimum, length,
                                                              static_cast<std::int64_t>(kClusters));
        benchmark::DoNotOptimize(lcn);
        benchmark::DoNotOptimize(length);
    }
    SetCounters(state);
}

// Every free run in turn, word by word, as a summary of the bitmap and the longest-run search walk it.
void BM_FreeRunWalk(benchmark::State& state) {
    const Volume& volume = Fragmented(static_cast<int>(state.range(0)));
    std::int64_t runs = 0;
    for (auto _ : state) {
        std::uint64_t total = 0;
        runs = 0;
        kestrel::engine::ForEachFreeRun(volume.view.bits, 0, kClusters,
                                        [&](std::uint64_t, std::uint64_t length) {
                                            total += length;
                                            ++runs;
                                        });
        benchmark::DoNotOptimize(total);
    }
    if (runs != volume.freeRuns)
        state.SkipWithError("the walk saw another number of free runs than the volume has");
    state.counters["free_runs"] = static_cast<double>(runs);
    SetCounters(state);
}

// The longest free run of the whole volume.
void BM_FindBiggestFreeSpace(benchmark::State& state) {
    const Volume& volume = Fragmented(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::int64_t length = 0;
        const std::int64_t lcn =
            kestrel::engine::FindBiggestFreeSpace(volume.view, length, static_cast<std::int64_t>(kClusters));
        benchmark::DoNotOptimize(lcn);
        if (length != volume.longestFree)
            state.SkipWithError("the longest free run found is not the volume's longest");
    }
    SetCounters(state);
}

// Every free run reached by first-fit searches, each beginning where the last run ended, as the
// measurement of free space at the service's start and the run hints do.
void BM_FirstFitChain(benchmark::State& state) {
    const Volume& volume = Fragmented(static_cast<int>(state.range(0)));
    std::int64_t runs = 0;
    for (auto _ : state) {
        std::int64_t start = 0;
        std::int64_t length = 0;
        std::uint32_t total = 0;
        runs = 0;
        for (;;) {
            start += length;
            const std::int64_t lcn = kestrel::engine::FindFreeRun(volume.view, start, 0, length,
                                                                  static_cast<std::int64_t>(kClusters));
            if (lcn == 0)
                break;
            start = lcn;
            total += static_cast<std::uint32_t>(length);
            ++runs;
        }
        benchmark::DoNotOptimize(total);
    }
    state.counters["free_runs"] = static_cast<double>(runs);
    SetCounters(state);
}

// A popcount of every word of the same memory: the floor for anything that reads the whole bitmap.
void BM_PlainPass(benchmark::State& state) {
    const Volume& volume = Fragmented(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::uint64_t used = 0;
        for (std::uint64_t word : volume.words)
            used += static_cast<std::uint64_t>(std::popcount(word));
        benchmark::DoNotOptimize(used);
    }
    SetCounters(state);
}

// Argument: the mean length of a used or free run, in clusters.
BENCHMARK(BM_FindFreeRun_FullScan)->Arg(256)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FreeRunWalk)->Arg(256)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindBiggestFreeSpace)->Arg(256)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFitChain)->Arg(256)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainPass)->Arg(256)->Arg(32)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
