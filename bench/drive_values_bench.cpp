// Peak heap memory of one free-cluster measurement of a watched drive on a 512 Mi-cluster simulated
// volume (a 64 MiB bitmap): an engine built for the measurement with its full bitmap copy, walked with
// its first-fit search, against the count streamed over the bitmap request's pages. The volume itself is
// allocated before and not counted. Reported as the counter peak_MiB (time per measurement besides).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/FreeClusterCount.h"

namespace {

std::atomic<std::int64_t> g_current{0};
std::atomic<std::int64_t> g_peak{0};

// Each block carries its size in front, so that every release can be subtracted.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr)
        throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::int64_t now =
        g_current.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
    std::int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return block + kHeader;
}

void Release(void* p) noexcept {
    if (p == nullptr)
        return;
    auto* block = static_cast<unsigned char*>(p) - kHeader;
    g_current.fetch_sub(static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block)));
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}

namespace {

using namespace kestrel;

constexpr std::int64_t kClusters = std::int64_t{512} * 1024 * 1024;

struct LargeVolume {
    LargeVolume() : volume(Geometry()) {
        // A quarter in use in runs, so that the walk meets many free runs.
        for (std::int64_t lcn = 1; lcn + 4096 < kClusters; lcn += 16384)
            volume.Occupy(lcn, 4096);
        fs.Mount(L'C', volume);
    }
    static sim::Geometry Geometry() {
        sim::Geometry g;
        g.totalClusters = kClusters;
        g.mftZoneStart = 1 << 20;
        g.mftZoneEnd = (1 << 20) + 65535;
        return g;
    }
    sim::SimVolume volume;
    sim::SimFileSystem fs;
};

LargeVolume& Volume() {
    static LargeVolume large;
    return large;
}

std::int64_t EngineWalk(fs::FileSystemControl& fs) {
    engine::DefragEngine engine(fs, L"C:\\");
    std::int64_t start = 0, length = 0, total = 0;
    for (;;) {
        start += length;
        const std::int64_t r = engine.FindFreeRun(start, 0, length, 0);
        if (r == 0)
            break;
        start = r;
        total += length;
    }
    return total;
}

template <class Measure>
void MeasurePeak(benchmark::State& state, Measure measure) {
    LargeVolume& large = Volume();
    std::int64_t peak = 0;
    std::int64_t free = 0;
    for (auto _ : state) {
        const std::int64_t baseline = g_current.load();
        g_peak.store(baseline);
        free = measure(large.fs);
        peak = std::max(peak, g_peak.load() - baseline);
        benchmark::DoNotOptimize(free);
    }
    state.counters["peak_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
    state.counters["free_clusters"] = static_cast<double>(free);
}

void BM_MeasureWithEngineCopy(benchmark::State& state) {
    MeasurePeak(state, [](fs::FileSystemControl& fs) { return EngineWalk(fs); });
}

void BM_MeasureStreamed(benchmark::State& state) {
    MeasurePeak(state, [](fs::FileSystemControl& fs) { return *engine::CountFreeClusters(fs, L"C:\\"); });
}

}  // namespace

BENCHMARK(BM_MeasureWithEngineCopy)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MeasureStreamed)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
