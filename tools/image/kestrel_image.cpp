// kestrel-image: the engine over an unmounted NTFS image or block device, through libntfs-3g.
// The commands, options, path forms and exit codes are those of the help text below (and of the
// manual page, docs/kestrel-image.1).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/ntfsimage/NtfsImageFileSystem.h"
#include "platform/ntfsimage/VolumeCheck.h"
#include "tools/image/ImageDefrag.h"

using namespace kestrel;
using ntfsimage::NtfsImageFileSystem;

namespace {

constexpr wchar_t kLetter = L'K';

// Exit codes.
constexpr int kExitDone = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHelp =
    "usage: kestrel-image analyze IMAGE [--json] [PATH...]\n"
    "       kestrel-image defrag IMAGE [--quiet | --verbose] [--time-limit SECONDS] [--dry-run] [PATH...]\n"
    "       kestrel-image check IMAGE\n"
    "       kestrel-image map IMAGE PATH\n"
    "\n"
    "IMAGE is an NTFS image file or an unmounted block device (a partition such as /dev/sdb1).\n"
    "\n"
    "commands:\n"
    "  analyze   read-only report: volume and free space, fragmented files and streams, the worst ones\n"
    "  defrag    defragments the files and streams named (every one on the volume when none is named)\n"
    "  check     read-only accounting of every cluster and MFT record against $Bitmap\n"
    "  map       prints the extents of one file or stream\n"
    "\n"
    "options:\n"
    "  --json              analyze: the same fields as one JSON object\n"
    "  --quiet             defrag: only the summary (also when the output is not a terminal)\n"
    "  --verbose           defrag: a line for every file worked on\n"
    "  --time-limit SECONDS\n"
    "                      defrag: stop at the first move boundary after SECONDS, as an interruption does\n"
    "  --dry-run           defrag: plan every move against an in-memory copy of the volume's writes (each\n"
    "                      move sees the layout the earlier ones left), report it, write nothing\n"
    "  -h, --help          this text\n"
    "\n"
    "PATH (inside the volume):\n"
    "  /dir/file or \\dir\\file     a file; a folder means every file below it\n"
    "  /dir/file:name             the named data stream \"name\" of the file\n"
    "  #N or #N:name              the file in MFT record N (or its stream): reaches names holding ':' or\n"
    "                             '\\', which the forms above read as a stream or a folder; analyze and\n"
    "                             defrag --verbose show [#N] beside such names\n"
    "  Names are matched exactly first, then without regard to case.\n"
    "\n"
    "exit codes:\n"
    "  0    done (also a run that stopped at --time-limit: the summary says so)\n"
    "  1    refused or failed (the message says what and why)\n"
    "  2    usage\n"
    "  130  stopped by SIGINT, 143 stopped by SIGTERM, 129 by SIGHUP (the move under way is completed "
    "first)\n"
    "  check: 0 consistent, 1 leaked clusters only, 3 damage, 4 the volume could not be checked\n"
    "\n"
    "Back up the volume before defragmenting it; never run on a mounted volume (it is refused).\n";

// The first stop signal; the backend finishes the move under way and refuses the next one. A second
// signal changes nothing: the run is already stopping as fast as it safely can.
std::atomic<int> stopSignal{0};
std::atomic<NtfsImageFileSystem*> stoppable{nullptr};

void OnStopSignal(int signal) {
    int none = 0;
    if (stopSignal.compare_exchange_strong(none, signal)) {
        static const char note[] = "kestrel-image: stopping after the move under way\n";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, note, sizeof note - 1);
    }
    if (NtfsImageFileSystem* fs = stoppable.load())
        fs->RequestStop();
}

// For a run that writes: SIGINT, SIGTERM and SIGHUP (the terminal went away) stop it after the move
// under way. SIGPIPE (the output's reader went away, `| head`) must not end it in the middle of a move
// either: the summary's writes then fail and are dropped, the volume is written back all the same.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char* SignalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// Tells the user when a run on the image was interrupted and its record waits in the state directory:
// a read-only look (check, analyze, map) sees the volume as that run left it.
void WarnOfInterruptedRun(const std::string& image) {
    if (const std::string notice = ntfsimage::InterruptedRunNotice(image); !notice.empty())
        std::fprintf(stderr, "kestrel-image: %s\n", notice.c_str());
}

int Usage(const char* why = nullptr) {
    if (why != nullptr)
        std::fprintf(stderr, "kestrel-image: %s\n", why);
    std::fprintf(stderr, "%s", kHelp);
    return kExitUsage;
}

std::string Utf8(const std::wstring& text) {
    return ToUtf8(text);
}

// A path as the command line gives it, in the backend's form ("\DIR\FILE[:STREAM]" or the record form).
bool VolumePath(const std::string& text, std::wstring& path) {
    if (text.size() > 1 && text[0] == '#') {
        std::size_t i = 1;
        std::uint64_t record = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 13; ++i)
            record = record * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (i == 1 || (i < text.size() && text[i] != ':') || (i + 1 == text.size()))
            return false;
        path = NtfsImageFileSystem::RecordPath(record, i < text.size() ? FromUtf8(text.substr(i + 1)) : L"");
        return true;
    }
    path = FromUtf8(text);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    if (path.empty() || path[0] != L'\\')
        path.insert(path.begin(), L'\\');
    return true;
}

// How a named file is shown: its path inside the volume, or the record form as it was typed.
std::wstring Shown(const std::string& text, const std::wstring& path) {
    return text[0] == '#' ? FromUtf8(text) : path;
}

// The files the named paths stand for (folders expanded), or every file of the volume when none is
// named. A path that names nothing, or (unless `systemAllowed`) a system file, is refused with the
// reason; the result is then empty and `refused` set.
std::vector<ntfsimage::ImageFile> Targets(NtfsImageFileSystem& fs, const std::vector<std::string>& named,
                                          bool systemAllowed, bool& refused) {
    refused = false;
    if (named.empty())
        return fs.Files(kLetter);
    std::vector<ntfsimage::ImageFile> files;
    for (const std::string& text : named) {
        std::wstring path;
        if (!VolumePath(text, path)) {
            std::fprintf(stderr, "kestrel-image: %s: not a path (a record is written #N or #N:STREAM)\n",
                         text.c_str());
            refused = true;
            continue;
        }
        switch (fs.KindOf(kLetter, path)) {
            case NtfsImageFileSystem::PathKind::Missing:
                std::fprintf(stderr, "kestrel-image: %s: no such file, stream or folder on the volume\n",
                             text.c_str());
                refused = true;
                break;
            case NtfsImageFileSystem::PathKind::System:
                if (systemAllowed) {
                    files.push_back({path, Shown(text, path), 0});
                    break;
                }
                std::fprintf(
                    stderr,
                    "kestrel-image: %s: a system file of the volume ($MFT, $Bitmap, $LogFile and the "
                    "files in $Extend hold the file system's own structures); it is never moved\n",
                    text.c_str());
                refused = true;
                break;
            case NtfsImageFileSystem::PathKind::Directory: {
                const std::vector<ntfsimage::ImageFile> below = fs.Files(kLetter, path);
                files.insert(files.end(), below.begin(), below.end());
                break;
            }
            case NtfsImageFileSystem::PathKind::File:
                files.push_back({path, Shown(text, path), 0});
                break;
        }
    }
    if (refused)
        files.clear();
    return files;
}

int Map(NtfsImageFileSystem& fs, const std::string& text) {
    std::wstring path;
    if (!VolumePath(text, path) || !fs.FindFileSize(std::wstring(1, kLetter) + L":" + path)) {
        std::fprintf(stderr, "kestrel-image: %s: no such file\n", text.c_str());
        return kExitRefused;
    }
    const std::vector<ntfsimage::ImageRun> runs = fs.Runs(kLetter, path);
    std::printf("%s: %d fragment(s), %zu run(s)\n", Utf8(Shown(text, path)).c_str(),
                fs.Fragments(kLetter, path), runs.size());
    if (runs.empty()) {
        std::printf("  no clusters (resident or empty)\n");
        return kExitDone;
    }
    std::printf("  %12s %12s %10s\n", "VCN", "LCN", "CLUSTERS");
    for (const ntfsimage::ImageRun& r : runs) {
        if (r.lcn < 0)
            std::printf("  %12lld %12s %10lld\n", static_cast<long long>(r.vcn), "hole",
                        static_cast<long long>(r.length));
        else
            std::printf("  %12lld %12lld %10lld\n", static_cast<long long>(r.vcn),
                        static_cast<long long>(r.lcn), static_cast<long long>(r.length));
    }
    return kExitDone;
}

int Analyze(NtfsImageFileSystem& fs, const std::string& image, const std::vector<std::string>& named,
            bool json) {
    bool refused = false;
    const std::vector<ntfsimage::ImageFile> files = Targets(fs, named, true, refused);
    if (refused)
        return kExitRefused;
    const ntfsimage::Analysis a = ntfsimage::Analyze(fs, kLetter, files);
    const std::string out = json ? ntfsimage::AnalysisJson(image, a) : ntfsimage::AnalysisText(image, a);
    std::fputs(out.c_str(), stdout);
    return kExitDone;
}

struct DefragOptions {
    bool quiet = false;
    bool verbose = false;
    double timeLimit = 0;  // seconds; 0 = none
    bool dryRun = false;   // the image was mounted over an overlay: nothing reaches it
};

std::string Clock(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// Calls RequestStop when the time limit has passed, unless the run ended first.
class StopTimer {
  public:
    StopTimer(NtfsImageFileSystem& fs, double seconds) {
        if (seconds <= 0)
            return;
        thread_ = std::thread([this, &fs, seconds] {
            std::unique_lock lock(mutex_);
            if (!ended_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; })) {
                fired_ = true;
                fs.RequestStop();
            }
        });
    }
    ~StopTimer() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    StopTimer(const StopTimer&) = delete;
    StopTimer& operator=(const StopTimer&) = delete;
    bool Fired() {
        std::lock_guard lock(mutex_);
        return fired_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

int Defrag(NtfsImageFileSystem& fs, const std::string& image, const std::vector<std::string>& named,
           const DefragOptions& options) {
    if (fs.ReadOnly(kLetter)) {
        std::fprintf(stderr, "kestrel-image: %s: read-only: nothing can be moved on it\n", image.c_str());
        return kExitRefused;
    }
    bool refused = false;
    const std::vector<ntfsimage::ImageFile> files = Targets(fs, named, false, refused);
    if (refused) {
        std::fprintf(stderr, "kestrel-image: nothing was moved\n");
        return kExitRefused;
    }
    std::vector<std::wstring> paths;
    std::map<std::wstring, std::wstring> display;
    for (const ntfsimage::ImageFile& f : files) {
        paths.push_back(f.path);
        display[f.path] = f.display;
    }
    const ntfsimage::Analysis before = ntfsimage::Analyze(fs, kLetter, files);
    // The work of each file, for the estimate: its clusters, and one for looking at it.
    std::vector<double> work;
    double totalWork = 0;
    for (const std::wstring& p : paths) {
        double clusters = 1;
        for (const ntfsimage::ImageRun& r : fs.Runs(kLetter, p))
            clusters += r.lcn >= 0 ? static_cast<double>(r.length) : 0;
        work.push_back(clusters);
        totalWork += clusters;
    }

    const bool progress = !options.quiet && isatty(STDOUT_FILENO) != 0;
    const auto started = std::chrono::steady_clock::now();
    auto last = started - std::chrono::seconds(1);
    double doneWork = 0;
    int counted = 0;
    bool lineShown = false;
    auto clearLine = [&] {
        if (lineShown)
            std::fputs("\r\033[K", stdout);
        lineShown = false;
    };
    // Nothing on an image frees clusters later (there is no log checkpoint to wait for): the engine's
    // polls need not wait in real time.
    timing::ScopedTimeDivisor noWaiting(1000);
    StopTimer timer(fs, options.timeLimit);
    const ntfsimage::DefragSummary s = ntfsimage::DefragmentFiles(
        fs, kLetter, paths,
        [&](const ntfsimage::FileOutcome& f) {
            if (!options.verbose || options.quiet)
                return;
            clearLine();
            std::printf("%s: %d -> %d fragments, %lld clusters moved%s\n", Utf8(display[f.path]).c_str(),
                        f.fragmentsBefore, f.fragmentsAfter, static_cast<long long>(f.clustersMoved),
                        f.failed ? " (mapping failed)" : "");
            std::fflush(stdout);
        },
        4,
        [&](int done, const ntfsimage::DefragSummary& soFar) {
            for (; counted < done && counted < static_cast<int>(work.size()); ++counted)
                doneWork += work[static_cast<std::size_t>(counted)];
            if (!progress)
                return;
            const auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(100) && done != static_cast<int>(paths.size()))
                return;
            last = now;
            const double elapsed = std::chrono::duration<double>(now - started).count();
            const double share = totalWork > 0 ? doneWork / totalWork : 1;
            const std::string left =
                share > 0 && share < 1 ? ", about " + Clock(elapsed * (1 - share) / share) + " left" : "";
            std::printf("\r\033[K%d/%zu files, %lld clusters moved, %s elapsed%s", done, paths.size(),
                        static_cast<long long>(soFar.clustersMoved), Clock(elapsed).c_str(), left.c_str());
            std::fflush(stdout);
            lineShown = true;
        });
    clearLine();
    const bool timedOut = s.stopped && timer.Fired();
    const ntfsimage::Analysis after = ntfsimage::Analyze(fs, kLetter, files);
    std::printf(
        "%d files examined, %d fragmented, %d improved; fragments %lld -> %lld; %lld clusters moved; "
        "%.2f s\n",
        s.filesSeen, s.filesWorked, s.filesImproved, static_cast<long long>(s.fragmentsBefore),
        static_cast<long long>(s.fragmentsAfter), static_cast<long long>(s.clustersMoved), s.seconds);
    if (const int signal = stopSignal.load(); s.stopped && signal != 0)
        std::printf(
            "stopped by %s after %d of %zu files (the last one possibly in part); run again to go on\n",
            SignalName(signal), s.filesSeen, paths.size());
    else if (timedOut)
        std::printf(
            "stopped at the time limit of %g s after %d of %zu files (the last one possibly in part); "
            "run again to go on\n",
            options.timeLimit, s.filesSeen, paths.size());
    std::fputs(ntfsimage::BeforeAfter(before, after).c_str(), stdout);
    if (options.dryRun)
        std::printf("dry run: this is what defrag would do; nothing was written to %s\n", image.c_str());
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--")
            break;
        if (a == "-h" || a == "--help") {
            std::printf("%s", kHelp);
            return kExitDone;
        }
    }
    if (args.empty())
        return Usage();
    const std::string command = args[0];
    if (command != "analyze" && command != "defrag" && command != "check" && command != "map")
        return Usage(("unknown command " + command).c_str());
    // Options may stand anywhere after the command; the first other argument is the image.
    bool json = false;
    DefragOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            positional.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--json" && command == "analyze") {
            json = true;
        } else if (a == "--quiet" && command == "defrag") {
            options.quiet = true;
        } else if (a == "--dry-run" && command == "defrag") {
            options.dryRun = true;
        } else if (a == "--verbose" && command == "defrag") {
            options.verbose = true;
        } else if (a == "--time-limit" && command == "defrag" && i + 1 < args.size()) {
            char* end = nullptr;
            options.timeLimit = std::strtod(args[++i].c_str(), &end);
            if (end == args[i].c_str() || *end != '\0' || !(options.timeLimit > 0) || options.timeLimit > 1e9)
                return Usage("--time-limit takes a positive number of seconds");
        } else {
            return Usage(("unknown option " + a + " for " + command).c_str());
        }
    }
    if (positional.empty())
        return Usage("no IMAGE named");
    const std::string image = positional[0];
    const std::vector<std::string> paths(positional.begin() + 1, positional.end());
    if (options.quiet && options.verbose)
        return Usage("--quiet and --verbose exclude each other");
    if (command == "check") {
        if (!paths.empty())
            return Usage("check takes no PATH");
        const ntfsimage::VolumeCheckReport report = ntfsimage::CheckVolume(image);
        std::fputs(ntfsimage::FormatCheckReport(image, report).c_str(),
                   report.error.empty() ? stdout : stderr);
        if (report.error.empty())
            WarnOfInterruptedRun(image);
        return report.ExitCode();
    }
    if (command == "map" && paths.size() != 1)
        return Usage("map takes one PATH");

    const bool readOnly = command != "defrag";
    if (!readOnly && !options.dryRun && access(image.c_str(), W_OK) != 0 &&
        (errno == EACCES || errno == EROFS)) {
        std::fprintf(stderr, "kestrel-image: %s: read-only (%s): nothing can be moved on it\n", image.c_str(),
                     std::strerror(errno));
        return kExitRefused;
    }
    // The paths named are judged on a read-only mount first, so that a refusal leaves the volume as it
    // was, byte for byte (a mount for writing marks the volume dirty for the time of the run).
    if (command == "defrag" && !paths.empty()) {
        NtfsImageFileSystem look;
        if (const std::string error = look.Mount(kLetter, image, true); !error.empty()) {
            std::fprintf(stderr, "kestrel-image: %s\n", error.c_str());
            return kExitRefused;
        }
        bool refused = false;
        Targets(look, paths, false, refused);
        look.Unmount(kLetter);
        if (refused) {
            std::fprintf(stderr, "kestrel-image: nothing was moved\n");
            return kExitRefused;
        }
    }
    NtfsImageFileSystem fs;
    // A read-only command stops at once on a signal, as any reader does; a defrag (a dry run too) stops
    // after the move under way.
    if (command == "defrag") {
        stoppable = &fs;
        CatchStopSignals();
    }
    // A dry run works on the volume as usual, its writes kept in memory (every read sees them, so each
    // move is planned on the layout the moves before it left), and the image is opened read-only.
    ntfsimage::MountOptions mountOptions;
    mountOptions.readOnly = readOnly;
    if (options.dryRun)
        mountOptions.policy = ntfsimage::WritePolicy::Overlay;
    if (const std::string error = fs.Mount(kLetter, image, mountOptions); !error.empty()) {
        std::fprintf(stderr, "kestrel-image: %s\n", error.c_str());
        return kExitRefused;
    }
    std::size_t noticesShown = 0;
    auto showNotices = [&] {
        const std::vector<std::string> notices = fs.Notices(kLetter);
        for (; noticesShown < notices.size(); ++noticesShown)
            std::fprintf(stderr, "kestrel-image: %s\n", notices[noticesShown].c_str());
    };
    showNotices();
    if (readOnly || options.dryRun)
        WarnOfInterruptedRun(image);
    int status = kExitDone;
    if (command == "map")
        status = Map(fs, paths[0]);
    else if (command == "analyze")
        status = Analyze(fs, image, paths, json);
    else
        status = Defrag(fs, image, paths, options);
    showNotices();
    // Moves stopped because they could not be recorded: the work is not done, and the user must know.
    if (const std::string why = fs.StopReason(kLetter); !why.empty()) {
        std::fprintf(stderr,
                     "kestrel-image: %s: stopped early: the volume is consistent, the rest was not moved\n",
                     image.c_str());
        status = kExitRefused;
    }
    if (!fs.Unmount(kLetter)) {
        std::fprintf(stderr, "kestrel-image: %s: writing the volume back failed\n", image.c_str());
        return kExitRefused;
    }
    stoppable = nullptr;
    if (const int signal = stopSignal.load(); signal != 0) {
        std::fprintf(stderr, "kestrel-image: stopped by %s; the volume is consistent and clean\n",
                     SignalName(signal));
        return 128 + signal;
    }
    return status;
}
