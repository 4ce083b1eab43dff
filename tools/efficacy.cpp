// kestrel-efficacy: what the service does to a disk that is being used. It runs a seeded workload on a
// directory-backed drive D (logs appended side by side, downloads growing in larger pieces, files
// rewritten whole, some deleted) twice: once with the real service running in this process (its command
// thread, drive set, watchers and engine over the host's simulated file-system control), once without
// it. Every sample it writes one CSV line per run:
//
//     run,seconds,files,fragmented_files,fragments,files_left,clusters_moved
//
// seconds are nominal (real time times the time divisor); files_left is the watcher's count (0 without
// the service); clusters_moved is cumulative: clusters of a file whose place changed while the workload
// did not touch that file. At the end it prints the figures: fragments removed (the run without the
// service minus the run with it, at the end), clusters moved per fragment removed, and the time to quiet
// (from the workload's last write to the last sample in which the service still moved a cluster).
//
//     kestrel-efficacy OUT.csv [--seed N] [--divisor N] [--work SECONDS] [--rest SECONDS]
//
// --work and --rest are nominal seconds of workload and of quiet after it (defaults 600 and 600, which
// with the default divisor 20 take one minute of real time each per run). The drive's directory, the
// state directory and the mailslot directory are temporary ones of this program.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/host/DirectoryDrives.h"
#include "service/core/DefragService.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string csv;
    unsigned seed = 18;
    std::uint32_t divisor = 20;
    double workSeconds = 600, restSeconds = 600;
};

// One file of the workload and what it is.
struct Stream {
    std::string name;
    enum Kind { Log, Download } kind = Log;
    std::uint64_t target = 0;  // bytes a download grows to
    std::uint64_t size = 0;
    bool deleted = false;
};

// The workload: one step every nominal second. The steps are the same for the same seed, whatever the
// service does meanwhile.
class Workload {
  public:
    Workload(fs::path directory, unsigned seed) : directory_(std::move(directory)), random_(seed) {
        for (int i = 0; i < 8; ++i)
            streams_.push_back({"log" + std::to_string(i) + ".log", Stream::Log, 0, 0, false});
    }

    // One step; the names written are added to `touched`.
    void Step(std::set<std::string>& touched) {
        ++step_;
        // Logs: most of them get a few KiB each step, side by side.
        for (auto& s : streams_) {
            if (s.deleted)
                continue;
            if (s.kind == Stream::Log && Chance(0.7)) {
                Append(s, 1024 * Between(2, 12), touched);
            } else if (s.kind == Stream::Download && s.size < s.target) {
                Append(s, 1024 * Between(32, 160), touched);
            }
        }
        // A new download now and then (at most four at once).
        const auto growing = std::count_if(streams_.begin(), streams_.end(), [](const Stream& s) {
            return !s.deleted && s.kind == Stream::Download && s.size < s.target;
        });
        if (growing < 4 && Chance(0.08)) {
            Stream s{"download" + std::to_string(downloads_++) + ".bin", Stream::Download,
                     1024 * 1024 * static_cast<std::uint64_t>(Between(2, 10)), 0, false};
            streams_.push_back(s);
        }
        // A finished file rewritten whole (a document saved again), or deleted.
        if (Chance(0.04))
            if (Stream* s = PickFinished())
                Rewrite(*s, touched);
        if (Chance(0.02))
            if (Stream* s = PickFinished()) {
                fs::remove(directory_ / s->name);
                s->deleted = true;
                touched.insert(s->name);
            }
    }

  private:
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    Stream* PickFinished() {
        std::vector<Stream*> done;
        for (auto& s : streams_)
            if (!s.deleted && s.kind == Stream::Download && s.size >= s.target)
                done.push_back(&s);
        return done.empty() ? nullptr : done[static_cast<std::size_t>(Between(0, int(done.size()) - 1))];
    }

    void Append(Stream& s, std::uint64_t bytes, std::set<std::string>& touched) {
        std::ofstream out(directory_ / s.name, std::ios::binary | std::ios::app);
        const std::string chunk(bytes, static_cast<char>('a' + step_ % 26));
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        s.size += bytes;
        touched.insert(s.name);
    }

    void Rewrite(Stream& s, std::set<std::string>& touched) {
        std::ofstream out(directory_ / s.name, std::ios::binary | std::ios::trunc);
        const std::string chunk(s.size, 'r');
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        touched.insert(s.name);
    }

    fs::path directory_;
    std::mt19937 random_;
    std::vector<Stream> streams_;
    int downloads_ = 0;
    long step_ = 0;
};

struct Sample {
    double seconds = 0;
    std::size_t files = 0, fragmentedFiles = 0;
    std::int64_t fragments = 0, filesLeft = 0, clustersMoved = 0;
};

// The layout's figures, and the clusters that moved since the previous look in files nobody wrote to.
class Observer {
  public:
    explicit Observer(kestrel::sim::DirectoryVolume& volume) : volume_(volume) {}

    Sample Look(const std::set<std::string>& touched) {
        Sample sample;
        kestrel::sim::SimVolume& v = volume_.Volume();
        std::map<std::wstring, std::vector<std::int64_t>> now;
        for (const std::wstring& path : v.Files()) {
            const int fragments = v.Fragments(path);
            ++sample.files;
            sample.fragments += fragments;
            if (fragments > 1)
                ++sample.fragmentedFiles;
            std::vector<std::int64_t>& lcns = now[path];
            for (const kestrel::sim::Run& run : v.Runs(path))
                for (std::int64_t i = 0; i < run.length; ++i)
                    lcns.push_back(run.lcn == kestrel::sim::kHoleLcn ? -1 : run.lcn + i);
            const auto before = previous_.find(path);
            const std::string name = kestrel::ToUtf8(path.substr(1));
            if (before == previous_.end() || touched.count(name) != 0)
                continue;
            const std::size_t common = std::min(before->second.size(), lcns.size());
            for (std::size_t i = 0; i < common; ++i)
                if (before->second[i] != lcns[i])
                    ++moved_;
        }
        previous_.swap(now);
        sample.clustersMoved = moved_;
        return sample;
    }

  private:
    kestrel::sim::DirectoryVolume& volume_;
    std::map<std::wstring, std::vector<std::int64_t>> previous_;
    std::int64_t moved_ = 0;
};

struct RunResult {
    std::vector<Sample> samples;
    double lastWrite = 0;
};

// One run: the workload for `work` nominal seconds, then `rest` seconds of quiet; with the service when
// `withService`.
RunResult Run(const Options& o, bool withService, const fs::path& root) {
    const fs::path drive = root / (withService ? "with" : "without");
    fs::create_directories(drive);
    kestrel::sim::DirectoryVolumeSettings settings;
    settings.volumeBytes = 512ull * 1024 * 1024;
    std::string error;
    std::shared_ptr<kestrel::sim::DirectoryVolume> volume;
    std::unique_ptr<kestrel::core::DefragService> service;
    std::thread serviceThread;
    if (withService) {
        if (!kestrel::host::HostDirectoryDrives().Mount(L'D', drive, settings, error)) {
            std::fprintf(stderr, "kestrel-efficacy: %s\n", error.c_str());
            std::exit(1);
        }
        volume = kestrel::host::HostDirectoryDrives().Volume(L'D');
        kestrel::core::ServicePlatform platform;
        // This program's own threads (workload, sampling) must keep normal priority; the watchers'
        // defragmentation threads still run at idle priority as in the service.
        platform.idlePriority = false;
        service = std::make_unique<kestrel::core::DefragService>(std::move(platform));
        service->OnInit();
        serviceThread = std::thread([&] { service->OnRun(); });
    } else {
        volume = kestrel::sim::DirectoryVolume::Create(drive, settings, error);
        if (!volume) {
            std::fprintf(stderr, "kestrel-efficacy: %s\n", error.c_str());
            std::exit(1);
        }
    }

    Workload workload(drive, o.seed);
    Observer observer(*volume);
    RunResult result;
    const double step = 1.0 / o.divisor;  // real seconds of one nominal second
    const auto start = Clock::now();
    const auto nominal = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count() * o.divisor;
    };
    std::set<std::string> touched;
    while (true) {
        const double now = nominal();
        if (now >= o.workSeconds + o.restSeconds)
            break;
        if (now < o.workSeconds) {
            workload.Step(touched);
            // The file system allocates as it writes: the layout follows every written file at once, in
            // both runs (with the service its watcher syncs the same files again on their notification).
            for (const std::string& name : touched)
                volume->FileChanged(L"\\" + kestrel::FromUtf8(name));
            result.lastWrite = now;
        }
        Sample sample = observer.Look(touched);
        touched.clear();
        sample.seconds = nominal();
        if (service) {
            std::lock_guard lock(service->DriveSetLock());
            sample.filesLeft = service->Drives().FilesLeft(kestrel::drives::DriveSet::DriveIndex(L"D:\\"));
        }
        result.samples.push_back(sample);
        std::this_thread::sleep_for(std::chrono::duration<double>(step));
    }
    if (service) {
        service->OnStop();
        serviceThread.join();
        service.reset();
        const std::string fault = volume->Audit();
        if (!fault.empty()) {
            std::fprintf(stderr, "kestrel-efficacy: the simulated volume is not consistent: %s\n",
                         fault.c_str());
            std::exit(1);
        }
        kestrel::host::HostDirectoryDrives().Unmount(L'D');
    }
    return result;
}

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 1 && value <= 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        double value = 0;
        if ((a == "--seed" || a == "--divisor" || a == "--work" || a == "--rest") && i + 1 < argc &&
            ParseNumber(argv[i + 1], value)) {
            ++i;
            if (a == "--seed")
                o.seed = static_cast<unsigned>(value);
            else if (a == "--divisor")
                o.divisor = static_cast<std::uint32_t>(value);
            else if (a == "--work")
                o.workSeconds = value;
            else
                o.restSeconds = value;
        } else if (o.csv.empty() && a.rfind("--", 0) != 0) {
            o.csv = a;
        } else {
            std::fprintf(stderr,
                         "usage: kestrel-efficacy OUT.csv [--seed N] [--divisor N] [--work SECONDS] "
                         "[--rest SECONDS]\n");
            return 64;
        }
    }
    if (o.csv.empty()) {
        std::fprintf(stderr,
                     "usage: kestrel-efficacy OUT.csv [--seed N] [--divisor N] [--work S] [--rest S]\n");
        return 64;
    }
    char pattern[] = "/tmp/kestrel-efficacy.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("kestrel-efficacy: mkdtemp");
        return 1;
    }
    const fs::path root = made;
    fs::create_directories(root / "state");
    fs::create_directories(root / "slots");
    setenv("KESTREL_STATE_DIR", (root / "state").c_str(), 1);
    setenv("KESTREL_MAILSLOT_DIR", (root / "slots").c_str(), 1);
    kestrel::timing::SetTimeDivisor(o.divisor);

    const RunResult without = Run(o, false, root);
    const RunResult with = Run(o, true, root);
    fs::remove_all(root);

    std::FILE* out = std::fopen(o.csv.c_str(), "w");
    if (out == nullptr) {
        std::perror(o.csv.c_str());
        return 1;
    }
    std::fprintf(out, "run,seconds,files,fragmented_files,fragments,files_left,clusters_moved\n");
    for (const auto* run : {&without, &with})
        for (const Sample& s : run->samples)
            std::fprintf(out, "%s,%.1f,%zu,%zu,%lld,%lld,%lld\n", run == &with ? "service" : "without",
                         s.seconds, s.files, s.fragmentedFiles, static_cast<long long>(s.fragments),
                         static_cast<long long>(s.filesLeft), static_cast<long long>(s.clustersMoved));
    std::fclose(out);

    const Sample& endWithout = without.samples.back();
    const Sample& endWith = with.samples.back();
    double quiet = with.lastWrite;
    for (std::size_t i = 1; i < with.samples.size(); ++i)
        if (with.samples[i].clustersMoved != with.samples[i - 1].clustersMoved)
            quiet = with.samples[i].seconds;
    const long long removed = endWithout.fragments - endWith.fragments;
    std::printf("seed %u, %.0f s of workload and %.0f s of rest (nominal), time %u times faster\n", o.seed,
                o.workSeconds, o.restSeconds, o.divisor);
    std::printf("without the service: %zu files, %zu fragmented, %lld fragments\n", endWithout.files,
                endWithout.fragmentedFiles, static_cast<long long>(endWithout.fragments));
    std::printf("with the service:    %zu files, %zu fragmented, %lld fragments, %lld files left\n",
                endWith.files, endWith.fragmentedFiles, static_cast<long long>(endWith.fragments),
                static_cast<long long>(endWith.filesLeft));
    std::printf(
        "fragments removed: %lld; clusters moved: %lld (%.1f per fragment removed)\n", removed,
        static_cast<long long>(endWith.clustersMoved),
        removed > 0 ? static_cast<double>(endWith.clustersMoved) / static_cast<double>(removed) : 0.0);
    std::printf("time to quiet: %.0f s (nominal) after the last write\n", quiet - with.lastWrite);
    return 0;
}
