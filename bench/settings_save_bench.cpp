// Saving a drive's queue into the host's file-backed store at shutdown: the whole queue must reach the
// disk quickly enough that a supervisor's patience is never the limit. Goal: 5,000 paths in at most
// half a second (each save writes the file once, flushes it and renames it into place). BM_RestoreQueue:
// the next start reading the saved queue back and deleting its key (one look-up a path, one write), in
// time proportional to the paths: 20,000 take four times what 5,000 take, not sixteen.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Format.h"
#include "platform/host/HostRegistry.h"
#include "service/drives/SettingsStore.h"

namespace {

using namespace kestrel;

// A fresh directory for the store; empty when none could be made.
std::string TemporaryDirectory() {
    char pattern[] = "/tmp/kestrel-queue-bench-XXXXXX";
    return mkdtemp(pattern) != nullptr ? std::string(pattern) : std::string();
}

// `count` distinct paths of a deep folder, as a drive's queue holds them.
std::vector<std::wstring> QueuedPaths(std::int64_t count) {
    std::vector<std::wstring> paths;
    for (std::int64_t i = 0; i < count; ++i)
        paths.push_back(Format(L"C:\\Users\\someone\\Documents\\Projects\\Quarterly\\file-%05d.dat",
                               static_cast<int>(i)));
    return paths;
}

void BM_SaveQueue(benchmark::State& state) {
    const std::string dir = TemporaryDirectory();
    if (dir.empty()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::vector<std::wstring> paths = QueuedPaths(state.range(0));
    {
        reg::HostRegistry registry(dir + "/registry.dat");
        drives::SettingsStore store(registry);
        store.CreateKeys();
        for (auto _ : state) {
            store.SaveQueue(L"C:\\", paths);
            state.PauseTiming();
            store.RestoreQueue(3, {});  // the next save starts from an empty key again
            state.ResumeTiming();
        }
    }
    state.counters["paths"] = static_cast<double>(paths.size());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SaveQueue)->Arg(100)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RestoreQueue(benchmark::State& state) {
    const std::string dir = TemporaryDirectory();
    if (dir.empty()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::vector<std::wstring> paths = QueuedPaths(state.range(0));
    std::size_t restored = 0;
    {
        reg::HostRegistry registry(dir + "/registry.dat");
        drives::SettingsStore store(registry);
        store.CreateKeys();
        for (auto _ : state) {
            state.PauseTiming();
            store.SaveQueue(L"C:\\", paths);
            state.ResumeTiming();
            restored =
                store.RestoreQueue(3, [](const std::wstring& path) { benchmark::DoNotOptimize(path); });
        }
    }
    if (restored != paths.size())
        state.SkipWithError("not every path came back");
    state.counters["paths"] = static_cast<double>(paths.size());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RestoreQueue)->Arg(100)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
