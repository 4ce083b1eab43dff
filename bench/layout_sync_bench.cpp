// What keeping a directory-backed drive's layout in step costs per change notification.
//
// BM_SyncUnchanged: the layout told of a file whose size did not change (a write in place), on a drive of
//   1,000 files: one lstat and one look-up. BM_SyncGrown: told of a file that grew by one cluster (the
//   resize of the real file is not timed). BM_NotifyRoundTrip/0 and /1: a write to a real file until the
//   record of its size change has been delivered through inotify, without and with a layout beneath the
//   drive: the difference is what the layout adds to one notification.
// Goal: the layout's share stays a small part of the round trip (a few microseconds against the tens
// that inotify and the file write take).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/Utf16.h"
#include "platform/DriveTable.h"
#include "platform/host/InotifyChangeNotification.h"
#include "platform/sim/DirectoryVolume.h"

namespace {

using namespace kestrel;
namespace stdfs = std::filesystem;

struct Directory {
    Directory() {
        char pattern[] = "/tmp/kestrel-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        path = pattern;
        for (int i = 0; i < 1000; ++i) {
            const stdfs::path folder = path / ("d" + std::to_string(i % 20));
            stdfs::create_directories(folder);
            std::ofstream(folder / ("f" + std::to_string(i) + ".dat"), std::ios::binary)
                << std::string(static_cast<std::size_t>(1 + i % 7) * 3000, 'b');
        }
    }
    ~Directory() { stdfs::remove_all(path); }
    stdfs::path path;
};

std::shared_ptr<sim::DirectoryVolume> Layout(const Directory& dir) {
    std::string error;
    auto volume = sim::DirectoryVolume::Create(dir.path, {256u << 20, 4096}, error);
    if (!volume)
        std::abort();
    return volume;
}

void BM_SyncUnchanged(benchmark::State& state) {
    Directory dir;
    auto layout = Layout(dir);
    for (auto _ : state)
        layout->FileChanged(L"\\d7\\f507.dat");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncUnchanged);

void BM_SyncGrown(benchmark::State& state) {
    Directory dir;
    auto layout = Layout(dir);
    const stdfs::path file = dir.path / "d7" / "f507.dat";
    std::uintmax_t size = stdfs::file_size(file);
    for (auto _ : state) {
        state.PauseTiming();
        size += 4096;
        if (size > (64u << 20)) {
            size = 4096;
            stdfs::resize_file(file, 0);
            layout->FileChanged(L"\\d7\\f507.dat");
        }
        stdfs::resize_file(file, size);
        state.ResumeTiming();
        layout->FileChanged(L"\\d7\\f507.dat");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncGrown);

struct Delivered : notify::BatchHandler {
    void OnBatch(std::uint32_t, std::uint32_t bytes) override { received += bytes; }
    std::uint64_t received = 0;
};

void BM_NotifyRoundTrip(benchmark::State& state) {
    Directory dir;
    drives::DriveTable table;
    drives::DriveEntry entry = drives::BackedBy(FromUtf8(dir.path.string()));
    if (state.range(0) != 0)
        entry.layout = Layout(dir);
    table.Set(L'B', entry);
    notify::InotifyChangeNotification changes(table);
    std::uint32_t error = 0;
    auto watch = changes.Open(L"B:\\", error);
    if (!watch)
        std::abort();
    const std::string file = (dir.path / "d3" / "f3.dat").string();
    const int fd = open(file.c_str(), O_WRONLY | O_APPEND);
    timing::Event stop(true, false);
    alignas(8) static std::uint8_t buffer[8192];
    Delivered handler;
    std::uint64_t writes = 0;
    for (auto _ : state) {
        if (write(fd, "x", 1) != 1)
            std::abort();
        ++writes;
        watch->Read(buffer, sizeof buffer, handler);
        watch->Wait(stop);
    }
    close(fd);
    state.SetItemsProcessed(static_cast<std::int64_t>(writes));
    benchmark::DoNotOptimize(handler.received);
}
BENCHMARK(BM_NotifyRoundTrip)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
