// What keeping a directory-backed drive's layout in step costs per change notification.
//
// BM_SyncUnchanged: the layout told of a file whose size did not change (a write in place), on a drive of
//   1,000 files: one lstat and one look-up. BM_SyncGrown: told of a file that grew by one cluster (the
//   resize of the real file is not timed). BM_NotifyRoundTrip/0 and /1: a write to a real file until the
//   record of its size change has been delivered through inotify, without and with a layout beneath the
//   drive: the difference is what the layout adds to one notification.
// Goal: the layout's share stays a small part of the round trip (a few microseconds against the tens
// that inotify and the file write take). The argument (the second one of BM_NotifyRoundTrip) is the
// number of files on the drive, 1,000 or 100,000 in folders of 50: a change costs the same on both.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "common/Utf16.h"
#include "platform/DriveTable.h"
#include "platform/host/InotifyChangeNotification.h"
#include "platform/sim/DirectoryVolume.h"

namespace {

using namespace kestrel;
namespace stdfs = std::filesystem;

struct Directory {
    explicit Directory(std::int64_t files) : folders(std::max<std::int64_t>(files / 50, 1)) {
        char pattern[] = "/tmp/kestrel-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        path = pattern;
        for (std::int64_t i = 0; i < files; ++i) {
            const stdfs::path folder = path / ("d" + std::to_string(i % folders));
            stdfs::create_directories(folder);
            std::ofstream(folder / ("f" + std::to_string(i) + ".dat"), std::ios::binary)
                << std::string(Bytes(files, i), 'b');
        }
    }
    ~Directory() { stdfs::remove_all(path); }
    // A few clusters each on the small drive; on the large one less than one, to keep it to a few
    // hundred megabytes of disk.
    static std::size_t Bytes(std::int64_t files, std::int64_t i) {
        return static_cast<std::size_t>(files <= 1000 ? (1 + i % 7) * 3000 : 1 + i % 4000);
    }
    // File number i, as a path relative to the directory and as a volume path.
    std::string Relative(std::int64_t i) const {
        return "d" + std::to_string(i % folders) + "/f" + std::to_string(i) + ".dat";
    }
    std::wstring VolumePath(std::int64_t i) const {
        std::wstring wide = L"\\" + FromUtf8(Relative(i));
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        return wide;
    }
    std::int64_t folders;
    stdfs::path path;
};

// The drive of `files` files and its layout, made once for every run of every benchmark: the library
// calls each benchmark several times while it settles the iteration count, and 100,000 files take
// seconds to write.
struct Drive {
    explicit Drive(std::int64_t files) : dir(files) {
        std::string error;
        // 256 MiB for the small drive, the service's default size (1 GiB here) for the large one.
        layout = sim::DirectoryVolume::Create(dir.path, {files <= 1000 ? 256u << 20 : 0, 4096}, error);
        if (!layout)
            std::abort();
    }
    Directory dir;
    std::shared_ptr<sim::DirectoryVolume> layout;
};

Drive& DriveOf(std::int64_t files) {
    static std::map<std::int64_t, std::unique_ptr<Drive>> drives;
    std::unique_ptr<Drive>& drive = drives[files];
    if (!drive)
        drive = std::make_unique<Drive>(files);
    return *drive;
}

void BM_SyncUnchanged(benchmark::State& state) {
    const Directory& dir = DriveOf(state.range(0)).dir;
    sim::DirectoryVolume* layout = DriveOf(state.range(0)).layout.get();
    const std::wstring path = dir.VolumePath(507);
    for (auto _ : state)
        layout->FileChanged(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncUnchanged)->Arg(1000)->Arg(100000);

void BM_SyncGrown(benchmark::State& state) {
    const Directory& dir = DriveOf(state.range(0)).dir;
    sim::DirectoryVolume* layout = DriveOf(state.range(0)).layout.get();
    const std::wstring path = dir.VolumePath(507);
    const stdfs::path file = dir.path / dir.Relative(507);
    std::uintmax_t size = stdfs::file_size(file);
    for (auto _ : state) {
        state.PauseTiming();
        size += 4096;
        if (size > (64u << 20)) {
            size = 4096;
            stdfs::resize_file(file, 0);
            layout->FileChanged(path);
        }
        stdfs::resize_file(file, size);
        state.ResumeTiming();
        layout->FileChanged(path);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncGrown)->Arg(1000)->Arg(100000);

struct Delivered : notify::BatchHandler {
    void OnBatch(std::uint32_t, std::uint32_t bytes) override { received += bytes; }
    std::uint64_t received = 0;
};

void BM_NotifyRoundTrip(benchmark::State& state) {
    const Directory& dir = DriveOf(state.range(1)).dir;
    drives::DriveTable table;
    drives::DriveEntry entry = drives::BackedBy(FromUtf8(dir.path.string()));
    if (state.range(0) != 0)
        entry.layout = DriveOf(state.range(1)).layout;
    table.Set(L'B', entry);
    notify::InotifyChangeNotification changes(table);
    std::uint32_t error = 0;
    auto watch = changes.Open(L"B:\\", error);
    if (!watch)
        std::abort();
    const std::string file = (dir.path / dir.Relative(3)).string();
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
BENCHMARK(BM_NotifyRoundTrip)->Args({0, 1000})->Args({1, 1000})->Args({1, 100000});

}  // namespace

BENCHMARK_MAIN();
