#include "tests/engine/AgedVolume.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "common/Format.h"
#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/FileMover.h"

namespace kestrel::engine::aging {
namespace {

// A seeded generator whose numbers are the same on every compiler (the standard distributions are not).
class Random {
  public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    // 0 to n - 1.
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : engine_() % n; }
    bool Percent(int percent) { return static_cast<int>(Below(100)) < percent; }

  private:
    std::mt19937 engine_;
};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text)
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

std::vector<std::wstring> AgeVolume(sim::SimVolume& volume, const AgingOptions& options) {
    struct Writing {
        std::wstring path;
        bool compressed = false;
        std::int64_t target = 0;   // VCNs to write
        std::int64_t written = 0;  // VCNs written
    };
    Random random(options.seed);
    std::vector<Writing> active;
    std::vector<std::wstring> kept;
    int created = 0;
    auto close = [&](std::size_t index) {
        const std::wstring path = active[index].path;
        active.erase(active.begin() + static_cast<std::ptrdiff_t>(index));
        if (random.Percent(options.deletePercent))
            volume.DeleteFile(path);
        else
            kept.push_back(path);
    };
    for (;;) {
        while (static_cast<int>(active.size()) < std::max(options.writers, 1) && created < options.files) {
            Writing w;
            w.path = Format(L"\\dir%02d\\file%04d.dat", created % 10, created);
            w.compressed = random.Percent(options.compressedPercent);
            w.target =
                1 + static_cast<std::int64_t>(random.Below(static_cast<std::uint64_t>(options.maxFileSize)));
            volume.CreateFile(w.path, w.compressed ? sim::FileKind::Compressed : sim::FileKind::Normal);
            active.push_back(w);
            ++created;
        }
        if (active.empty())
            break;
        const std::size_t index = random.Below(active.size());
        Writing& w = active[index];
        bool written;
        if (w.compressed) {
            // One compression unit, of which 1 to 16 clusters are stored.
            written = volume.AppendCompressedUnit(w.path, 1 + static_cast<std::int64_t>(random.Below(16)));
            w.written += sim::kCompressionUnit;
        } else {
            const std::int64_t amount = std::min(
                1 + static_cast<std::int64_t>(random.Below(static_cast<std::uint64_t>(options.maxAppend))),
                w.target - w.written);
            written = volume.Append(w.path, amount);
            w.written += amount;
        }
        if (!written) {
            // The volume is full: everything being written stops here.
            while (!active.empty())
                close(active.size() - 1);
            break;
        }
        if (w.written >= w.target)
            close(index);
    }
    std::vector<std::wstring> files;
    for (const std::wstring& path : kept)
        if (volume.Exists(path) && !volume.Runs(path).empty())
            files.push_back(path);
    return files;
}

std::int64_t MovedClusters(const std::vector<sim::Run>& before, const std::vector<sim::Run>& after) {
    std::int64_t moved = 0;
    std::size_t i = 0, j = 0;
    while (i < before.size() && j < after.size()) {
        const sim::Run& a = before[i];
        const sim::Run& b = after[j];
        const std::int64_t from = std::max(a.vcn, b.vcn);
        const std::int64_t to = std::min(a.vcn + a.length, b.vcn + b.length);
        if (from < to && a.lcn != sim::kHoleLcn && b.lcn != sim::kHoleLcn &&
            a.lcn + (from - a.vcn) != b.lcn + (from - b.vcn))
            moved += to - from;
        if (a.vcn + a.length <= b.vcn + b.length)
            ++i;
        else
            ++j;
    }
    return moved;
}

fs::NtStatus CheckingControl::Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code,
                                      const void* in, std::uint32_t inLength, void* out,
                                      std::uint32_t outLength) {
    const fs::NtStatus status = ForwardingControl::Control(handle, io, code, in, inLength, out, outLength);
    if (code != fs::kFsctlMoveFile)
        return status;
    ++moves;
    if (status == fs::kStatusPending) {
        movePending_ = true;  // the move takes effect within the wait
        pendingIo_ = &io;
    } else {
        CheckAfterMove(status);
    }
    return status;
}

bool CheckingControl::Wait(fs::RawHandle handle, std::uint32_t timeoutMs) {
    const bool completed = ForwardingControl::Wait(handle, timeoutMs);
    if (movePending_) {
        movePending_ = false;
        CheckAfterMove(completed ? pendingIo_->Status : fs::kStatusPending);
    }
    return completed;
}

void CheckingControl::CheckAfterMove(fs::NtStatus status) {
    movesDone += status == fs::kStatusSuccess ? 1 : 0;
    ++checks;
    if (!failure.empty())
        return;
    if (std::string check = volume_.CheckAllocation(); !check.empty()) {
        failure = std::move(check);
        failedAtMove = moves;
    }
}

SoakFigures RunSoak(sim::SimVolume& volume, fs::FileSystemControl& control, wchar_t letter,
                    const std::vector<std::wstring>& files, const SoakOptions& options) {
    SoakFigures figures;
    Random random(options.seed);
    const std::wstring root = std::wstring(1, letter) + L":";
    DefragEngine engine(control, root + L"\\");

    std::map<std::wstring, std::vector<std::uint64_t>> tags;
    std::map<std::wstring, int> fragmentsBefore;
    for (const std::wstring& path : files) {
        tags[path] = volume.Tags(path);
        fragmentsBefore[path] = volume.Fragments(path);
    }
    std::set<std::wstring> gone;
    std::vector<std::wstring> order = files;

    for (int round = 0; round < options.rounds && figures.failure.empty(); ++round) {
        for (std::size_t i = order.size(); i > 1; --i)
            std::swap(order[i - 1], order[random.Below(i)]);
        for (const std::wstring& path : order) {
            if (gone.count(path) != 0)
                continue;
            ++figures.steps;
            const std::vector<sim::Run> runsBefore = volume.Runs(path);

            // Measure as the watcher does, then maybe spoil the attempt.
            FileInfo info;
            RefreshFileInfo(engine, root + path, info);
            if (random.Percent(options.faultPercent)) {
                ++figures.faults;
                sim::Fault fault{sim::Fault::Kind::Pending, fs::kFsctlMoveFile, path, 0, 0};
                switch (random.Below(6)) {
                    case 0:
                        fault.kind = sim::Fault::Kind::SharingViolation;
                        break;
                    case 1:
                        fault.kind = sim::Fault::Kind::TakeTargetBeforeMove;
                        break;
                    case 2:
                        fault.kind = sim::Fault::Kind::PartialMove;
                        fault.clusters = 1 + static_cast<std::int64_t>(random.Below(64));
                        break;
                    case 3:
                        fault.kind = sim::Fault::Kind::DeleteBeforeRequest;
                        break;
                    case 4:
                        break;  // a move answered later
                    default:
                        // A map that fails while pending.
                        fault.code = fs::kFsctlGetRetrievalPointers;
                        fault.status = fs::kStatusUnsuccessful;
                        break;
                }
                volume.InjectFault(fault);
            }

            std::int32_t moved = 0, defragmented = 0, result = 0;
            try {
                if (info.fragments > 1) {
                    ++figures.processCalls;
                    CompactNonCompressedFragmentedFile compaction(engine, info);
                    result = compaction.Process(moved, defragmented);
                } else {
                    ++figures.moveCalls;
                    FileMover mover(engine, info);
                    result = mover.Move(moved, defragmented);
                }
            } catch (const BadFileStats&) {
                ++figures.exceptions;
            }
            figures.successes += result > 0 ? 1 : 0;
            figures.mostHeld = std::max(figures.mostHeld, volume.HeldClusters());
            volume.ClearFaults();

            if (const std::string check = volume.Check(); !check.empty()) {
                figures.failure =
                    "step " + std::to_string(figures.steps) + " on " + Narrow(path) + ": " + check;
                break;
            }
            if (!volume.Exists(path)) {
                gone.insert(path);
                ++figures.deleted;
                continue;
            }
            figures.clustersMoved += MovedClusters(runsBefore, volume.Runs(path));
            if (volume.Tags(path) != tags[path]) {
                figures.failure =
                    "step " + std::to_string(figures.steps) + ": content of " + Narrow(path) + " changed";
                break;
            }
        }
    }

    for (const std::wstring& path : files) {
        if (gone.count(path) != 0)
            continue;
        if (figures.failure.empty() && volume.Tags(path) != tags[path])
            figures.failure = "content of " + Narrow(path) + " changed";
        const int after = volume.Fragments(path);
        ++figures.files;
        figures.fragmentsBefore += fragmentsBefore[path];
        figures.fragmentsAfter += after;
        figures.fragmentedBefore += fragmentsBefore[path] > 1 ? 1 : 0;
        figures.fragmentedAfter += after > 1 ? 1 : 0;
    }
    return figures;
}

}  // namespace kestrel::engine::aging
