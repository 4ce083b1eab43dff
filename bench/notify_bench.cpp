// Throughput of the change thread's batch handling: full 8,192-byte batches of typical paths, filtered
// against 16 exclusions (the 8 system names and 8 of the user's), every record a different file so that
// each one is checked and queued (a path already queued would only be renewed). Goal: at least 1 million
// records per second. The argument is the number of other files already waiting in the changed-file
// list (0, or 20,000 or 80,000 while the disk is too busy for the defragmentation thread to take them):
// a record is one look-up in the list's index whatever its length, and costs more on a long list only as
// far as the larger index misses the processor's caches more often.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/Format.h"
#include "platform/DriveTable.h"
#include "platform/FsRecords.h"
#include "platform/ScriptedChangeNotification.h"
#include "service/watcher/Watcher.h"
#include "service/watcher/WatcherTestAccess.h"

namespace {

using namespace kestrel;

// Records of typical paths until the next one would not fit in 8,192 bytes.
std::vector<std::uint8_t> FullBatch(int seed, std::size_t& records) {
    static const wchar_t* kFolders[] = {
        L"Users\\someone\\Documents\\Projects\\Quarterly", L"Users\\someone\\AppData\\Local\\Temp\\build",
        L"Program Files\\Tooling\\data\\cache", L"Users\\someone\\Pictures\\2024\\Holiday",
        L"ProgramData\\Service\\logs"};
    std::vector<std::pair<std::uint32_t, std::wstring>> list;
    std::size_t bytes = 0;
    for (int i = 0;; ++i) {
        std::wstring name = Format(L"%s\\file-%05d-%d.dat", kFolders[i % 5], i, seed);
        const std::size_t record = (12 + name.size() * 2 + 3) & ~std::size_t{3};
        if (bytes + record > watcher::kNotifyBufferSize)
            break;
        bytes += record;
        list.emplace_back(fs::kFileActionModified, std::move(name));
    }
    records = list.size();
    return notify::MakeNotifyBatch(list);
}

void BM_Callback(benchmark::State& state) {
    notify::ScriptedChangeNotification changes;
    changes.AddRoot(L"C:\\");
    drives::DriveTable table;
    table.Set(L'C', {});
    watcher::Watcher w(L"C", L"", {&changes, &table, nullptr});
    w.Prepare();  // the 8 system names
    for (const wchar_t* name : {L"C:\\TEMP\\", L"C:\\WINDOWS\\", L"C:\\$RECYCLE.BIN\\", L"\\NODEFRAG\\",
                                L".TMP", L"C:\\SYSTEM VOLUME INFORMATION\\", L"\\CACHE\\SCRATCH\\", L"~$"})
        w.AddExcludeName(name);

    // 64 batches of different files, and the list emptied after each round of them.
    constexpr int kBatches = 64;
    std::size_t records = 0;
    std::vector<std::vector<std::uint8_t>> batches;
    for (int seed = 0; seed < kBatches; ++seed)
        batches.push_back(FullBatch(seed, records));
    const auto fill = [&] {
        for (std::int64_t i = 0; i < state.range(0); ++i)
            w.AddFileToDefragList(Format(L"C:\\Waiting\\folder-%03d\\file-%05d.dat", i / 100, i));
    };
    fill();
    std::size_t handled = 0;
    std::size_t round = 0;
    for (auto _ : state) {
        w.callback(batches[round++ % kBatches]);
        handled += records;
        if (round % kBatches == 0) {
            state.PauseTiming();
            watcher::WatcherTestAccess::ClearChangedFiles(w);
            watcher::WatcherTestAccess::DrainQueue(w);
            fill();
            state.ResumeTiming();
        }
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(handled), benchmark::Counter::kIsRate);
    state.counters["records/batch"] = static_cast<double>(records);
}
BENCHMARK(BM_Callback)->Arg(0)->Arg(20000)->Arg(80000);

}  // namespace

BENCHMARK_MAIN();
