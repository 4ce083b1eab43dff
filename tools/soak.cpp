// The long soak: aged simulated volumes defragmented file by file with faults injected, the volume's
// consistency checked after every move request (no cluster lost, owned twice or left marked wrongly, no
// file's content changed), until the number of move requests asked for has been issued. Volume after
// volume is aged with its own seeds, on several threads at once (each with its own volume and engine);
// the waits of the engine are scaled down.
//
// Usage: soak [moves, default 1000000] [threads, default 4] [fault percent, default 20] [first seed, default
// 1] Prints the figures; exits 1 at the first failed check (naming the volume's seeds and the move).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Time.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "tests/engine/AgedVolume.h"

using namespace kestrel;

namespace {

bool ParseNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0';
}

struct Totals {
    std::mutex mutex;
    long volumes = 0;
    long long moves = 0, movesDone = 0, checks = 0, steps = 0, faults = 0, exceptions = 0, deleted = 0;
    long long processCalls = 0, moveCalls = 0, clustersMoved = 0, fragmentsBefore = 0, fragmentsAfter = 0;
    std::string failure;
};

// Ages one volume with the given seed, soaks it and adds its figures. False when a check failed.
bool SoakOneVolume(std::uint32_t seed, int faultPercent, Totals& totals) {
    sim::NtfsRules rules;
    rules.freedClusterHold = sim::kDefaultFreedClusterHold;
    sim::SimVolume volume({65536, 4096, 0, 0}, rules);
    volume.Occupy(0, 16);
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);

    engine::aging::AgingOptions aging;
    aging.seed = seed;
    aging.files = 300 + static_cast<int>(seed % 3) * 25;  // a quarter to an eighth of the volume left free
    const std::vector<std::wstring> files = engine::aging::AgeVolume(volume, aging);
    engine::aging::SoakOptions soak;
    soak.seed = seed * 7919u + 1u;
    soak.faultPercent = faultPercent;
    engine::aging::CheckingControl control(fs, volume);
    const engine::aging::SoakFigures f = engine::aging::RunSoak(volume, control, L'C', files, soak);
    volume.Checkpoint();
    std::string failure = !control.failure.empty()
                              ? "after move " + std::to_string(control.failedAtMove) + ": " + control.failure
                              : f.failure;
    if (failure.empty())
        failure = volume.Check();
    if (failure.empty() && volume.HeldClusters() != 0)
        failure = "clusters still held after the checkpoint";

    std::lock_guard lock(totals.mutex);
    ++totals.volumes;
    totals.moves += control.moves;
    totals.movesDone += control.movesDone;
    totals.checks += control.checks;
    totals.steps += f.steps;
    totals.faults += f.faults;
    totals.exceptions += f.exceptions;
    totals.deleted += f.deleted;
    totals.processCalls += f.processCalls;
    totals.moveCalls += f.moveCalls;
    totals.clustersMoved += f.clustersMoved;
    totals.fragmentsBefore += f.fragmentsBefore;
    totals.fragmentsAfter += f.fragmentsAfter;
    if (!failure.empty() && totals.failure.empty())
        totals.failure = "volume of seed " + std::to_string(seed) + ", " + failure;
    return failure.empty();
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long values[4] = {1000000, 4, 20, 1};
    for (int i = 1; i < argc; ++i) {
        if (i > 4 || !ParseNumber(argv[i], values[i - 1]) || (i == 2 && (values[1] == 0 || values[1] > 64)) ||
            (i == 3 && values[2] > 100)) {
            std::fprintf(stderr, "usage: soak [moves] [threads 1-64] [fault percent 0-100] [first seed]\n");
            return 2;
        }
    }
    const long long target = static_cast<long long>(values[0]);
    const int threads = static_cast<int>(values[1]);
    const int faultPercent = static_cast<int>(values[2]);
    const auto firstSeed = static_cast<std::uint32_t>(values[3]);

    timing::ScopedTimeDivisor fast(100000);
    Totals totals;
    std::atomic<std::uint32_t> nextSeed{firstSeed};
    std::atomic<long long> moves{0};
    std::atomic<bool> failed{false};
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            while (!failed.load() && moves.load() < target) {
                const std::uint32_t seed = nextSeed.fetch_add(1);
                if (!SoakOneVolume(seed, faultPercent, totals))
                    failed = true;
                std::lock_guard lock(totals.mutex);
                moves = totals.moves;
                if (totals.volumes % 50 == 0)
                    std::fprintf(stderr, "%ld volumes, %lld moves\n", totals.volumes, totals.moves);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf(
        "volumes soaked:        %ld (seeds %u to %u; 65536 clusters each, freed clusters held for %lld "
        "requests)\n",
        totals.volumes, firstSeed, nextSeed.load() - 1,
        static_cast<long long>(sim::kDefaultFreedClusterHold));
    std::printf("move requests:         %lld (%lld answered success), a consistency check after each: %lld\n",
                totals.moves, totals.movesDone, totals.checks);
    std::printf(
        "file steps:            %lld (Process %lld, Move %lld), faults injected %lld (%d%% of steps), "
        "mapping exceptions %lld, files deleted by faults %lld\n",
        totals.steps, totals.processCalls, totals.moveCalls, totals.faults, faultPercent, totals.exceptions,
        totals.deleted);
    std::printf("clusters moved:        %lld; fragments before / after: %lld / %lld\n", totals.clustersMoved,
                totals.fragmentsBefore, totals.fragmentsAfter);
    std::printf("time:                  %.1f s on %d threads\n", seconds, threads);
    if (!totals.failure.empty()) {
        std::printf("FAILURE: %s\n", totals.failure.c_str());
        return 1;
    }
    std::printf("every check passed: no cluster lost or owned twice, no content changed\n");
    return 0;
}
