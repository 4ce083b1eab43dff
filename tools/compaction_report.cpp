// Ages a simulated volume by writing files side by side, defragments every file repeatedly the way the
// watcher does (with faults injected), and prints how much that helped and what it cost.
//
// Usage: compaction_report [aging seed] [soak seed] [rounds] [files written] [hold]. Without arguments it
// runs the soak test's first scenario (300 files); "7 11 3 350" runs its crowded one. The hold is the
// number of requests for which the volume keeps clusters freed by a move (16 unless given; 0 makes them
// reusable at once, as a volume without log checkpoints would).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Time.h"
#include "platform/Trace.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "tests/engine/AgedVolume.h"
#include "tests/engine/ForwardingControl.h"

using namespace kestrel;

namespace {

// Counts the engine's trace lines that tell which way a file went.
class CountingSink : public trace::TraceSink {
  public:
    void Write(std::wstring_view line) override {
        if (line.starts_with(L"in FindBiggestFreeSpace"))
            ++piecewisePasses;
        else if (line.starts_with(L"I Defragmented"))
            ++wholeFileMoves;
        else if (line.starts_with(L"MovedFile"))
            ++onePieceMoves;
        else if (line.starts_with(L"couldn't move segment"))
            ++failedSegments;
    }
    long piecewisePasses = 0, wholeFileMoves = 0, onePieceMoves = 0, failedSegments = 0;
};

// Counts the move requests and how the volume answered them at once.
class MoveCountingControl : public engine::test::ForwardingControl {
  public:
    using ForwardingControl::ForwardingControl;
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        const fs::NtStatus status =
            ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
        if (code == fs::kFsctlMoveFile) {
            ++moves;
            alreadyCommitted += status == fs::kStatusAlreadyCommitted ? 1 : 0;
            invalidParameter += status == fs::kStatusInvalidParameter ? 1 : 0;
        }
        return status;
    }
    long moves = 0, alreadyCommitted = 0, invalidParameter = 0;
};

bool ParseNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    engine::aging::AgingOptions aging;
    aging.seed = 7;
    engine::aging::SoakOptions soak;
    soak.seed = 11;
    unsigned long values[5] = {aging.seed, soak.seed, static_cast<unsigned long>(soak.rounds),
                               static_cast<unsigned long>(aging.files),
                               static_cast<unsigned long>(sim::kDefaultFreedClusterHold)};
    for (int i = 1; i < argc; ++i) {
        if (i > 5 || !ParseNumber(argv[i], values[i - 1]) ||
            (i == 3 && (values[2] == 0 || values[2] > 1000)) ||
            (i == 4 && (values[3] == 0 || values[3] > 5000)) || (i == 5 && values[4] > 1000000)) {
            std::fprintf(stderr,
                         "usage: compaction_report [aging seed] [soak seed] [rounds 1-1000] [files 1-5000] "
                         "[hold 0-1000000]\n");
            return 2;
        }
    }
    aging.seed = static_cast<std::uint32_t>(values[0]);
    soak.seed = static_cast<std::uint32_t>(values[1]);
    soak.rounds = static_cast<int>(values[2]);
    aging.files = static_cast<int>(values[3]);

    timing::ScopedTimeDivisor fast(100000);
    sim::NtfsRules rules;
    rules.freedClusterHold = static_cast<std::int64_t>(values[4]);
    sim::SimVolume volume({65536, 4096, 0, 0}, rules);
    volume.Occupy(0, 16);
    sim::SimFileSystem fs;
    fs.Mount(L'C', volume);
    MoveCountingControl control(fs);
    const auto files = engine::aging::AgeVolume(volume, aging);
    const std::int64_t freeBefore = volume.FreeClusters();
    CountingSink counts;
    engine::aging::SoakFigures f;
    {
        trace::ScopedSink sink(counts);
        f = engine::aging::RunSoak(volume, control, L'C', files, soak);
    }

    std::printf(
        "volume: 65536 clusters, %d files written, %lld clusters free after aging; aging seed %u, soak seed "
        "%u, %d rounds, freed clusters held for %lld requests\n",
        aging.files, static_cast<long long>(freeBefore), aging.seed, soak.seed, soak.rounds,
        static_cast<long long>(rules.freedClusterHold));
    std::printf("files surviving:            %d (%d deleted by injected faults)\n", f.files, f.deleted);
    std::printf("steps:                      %d (Process %d, Move %d, above 0: %d)\n", f.steps,
                f.processCalls, f.moveCalls, f.successes);
    std::printf(
        "whole-file moves:           %ld, piecewise passes %ld, one-piece moves %ld, failed segments %ld\n",
        counts.wholeFileMoves, counts.piecewisePasses, counts.onePieceMoves, counts.failedSegments);
    std::printf("faults injected:            %d (mapping exceptions %d)\n", f.faults, f.exceptions);
    std::printf("fragments before / after:   %lld / %lld\n", static_cast<long long>(f.fragmentsBefore),
                static_cast<long long>(f.fragmentsAfter));
    std::printf("fragmented files before:    %d of %d (%.1f%%)\n", f.fragmentedBefore, f.files,
                f.files ? 100.0 * f.fragmentedBefore / f.files : 0.0);
    std::printf("fragmented files after:     %d of %d (%.1f%%)\n", f.fragmentedAfter, f.files,
                100.0 * f.ShareLeftFragmented());
    std::printf("clusters moved:             %lld\n", static_cast<long long>(f.clustersMoved));
    std::printf("clusters moved per fragment removed: %.1f\n", f.ClustersPerFragmentRemoved());
    std::printf("most clusters held:         %lld\n", static_cast<long long>(f.mostHeld));
    std::printf("move requests:              %ld (target taken %ld, invalid %ld)\n", control.moves,
                control.alreadyCommitted, control.invalidParameter);
    if (!f.failure.empty()) {
        std::printf("FAILURE: %s\n", f.failure.c_str());
        return 1;
    }
    return 0;
}
