// The simulated NTFS volume.
//
// State, all under the volume's lock:
// - the cluster-use bitmap, a packed bit vector of 64 clusters a word (bit i of word w is cluster
//   64 w + i, so on a little-endian machine its bytes are exactly the bitmap record's bytes);
// - the disk content: which tag each written cluster holds, as a map of LCN ranges whose tags count up
//   by one per cluster (a freshly written run costs one entry, however long);
// - the file table: per file its kind, its data runs (always kept merged: two neighbouring runs are
//   never physically contiguous, two holes never neighbours) and the tags it was written with, by VCN;
// - the clusters taken by Occupy (metadata, other programs) and the queue of injected faults;
// - the clusters freed by moves and not yet released, each batch with the number of the request from
//   which on it is free again, and the count of requests answered so far, which is the clock of those
//   holds (deterministic, unlike the real checkpoint's few seconds, so tests can count on it).
//
// A move copies the content of the source clusters to the target clusters and remaps the file, so that
// Check() can compare what a file holds (its runs read through the disk content) with what it was
// written with; a lost, doubled or misplaced cluster shows up there.
//
// The answers to the four requests follow the documented behaviour of NTFS:
// - FSCTL_GET_NTFS_VOLUME_DATA: answered on any handle of the volume (the documented object store
//   accepts file and directory opens too); output shorter than the 96-byte record: STATUS_BUFFER_TOO_SMALL.
// - FSCTL_GET_VOLUME_BITMAP: volume handle only (a file handle: STATUS_INVALID_PARAMETER); input shorter
//   than 8 bytes or a starting LCN outside the volume: STATUS_INVALID_PARAMETER; the starting LCN is
//   rounded down to a multiple of 8 and BitmapSize counts the clusters from there to the end of the
//   volume; output shorter than the 16-byte header: STATUS_BUFFER_TOO_SMALL; as many whole bytes as fit,
//   with STATUS_BUFFER_OVERFLOW when that is not all of them. Bits past the last cluster are 0.
// - FSCTL_GET_RETRIEVAL_POINTERS: input shorter than 8 bytes or a negative VCN: STATUS_INVALID_PARAMETER;
//   output shorter than the whole record (header and one pair, 32 bytes): STATUS_BUFFER_TOO_SMALL; a
//   resident or empty file, a directory, a VCN at or past the end, and the volume handle (whose answer
//   would be the bad-cluster map, and this volume has no bad clusters): STATUS_END_OF_FILE. The answer
//   starts at the run that holds the asked VCN; pairs that do not fit: STATUS_BUFFER_OVERFLOW. Runs are
//   reported as stored, and stored merged: a file grown in two allocations that happen to be contiguous
//   is one pair. A real run behind a hole stays its own pair even when physically adjacent.
// - FSCTL_MOVE_FILE: volume handle only; input shorter than 32 bytes, a negative VCN or LCN, a count of
//   0, a starting VCN at or past the end of the file's allocation, or a target range outside the volume:
//   STATUS_INVALID_PARAMETER. A range whose tail reaches past the end of the file is cut at the end (the
//   documentation of defragmentation allows virtual clusters beyond a file's allocation in a move on
//   NTFS; there is simply nothing to move there). Compressed and sparse files move in compression units
//   (the documented granularity of 16 clusters): the range is widened to whole units, or, with the rule
//   wholeUnitMoves, refused with STATUS_INVALID_PARAMETER unless it already is whole units; only the
//   units' allocated clusters move, laid one behind the other from the target; holes stay holes. Any
//   target cluster in use, including one the file itself is moving out of or one held since an earlier
//   move, refuses the whole move with STATUS_ALREADY_COMMITTED and nothing changes. Target clusters in
//   the MFT zone are accepted: the documentation names the zone but no refusal of moves into it.
// - Source clusters of a move are held: marked in use in every answer and unusable as targets or for
//   allocation until `freedClusterHold` further requests have been answered (or Checkpoint()), as NTFS
//   keeps freed clusters until its log checkpoint. With a hold of 0 they are free at once.
// - A request on a file that was deleted since its handle was opened: STATUS_FILE_DELETED. An unknown
//   control code: STATUS_INVALID_DEVICE_REQUEST. A null buffer with a nonzero length:
//   STATUS_INVALID_PARAMETER.
#include "platform/sim/SimVolume.h"
#include "platform/sim/SimVolumeTestAccess.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cwctype>
#include <limits>

#include "common/Utf16.h"

namespace kestrel::sim {

static_assert(std::endian::native == std::endian::little, "the bitmap answer copies the words' bytes");

namespace {

using fs::NtStatus;

struct TagSeg {  // VCNs vcn .. vcn+length-1 hold tags tag .. tag+length-1
    std::int64_t vcn = 0;
    std::int64_t length = 0;
    std::uint64_t tag = 0;
    bool operator==(const TagSeg&) const = default;
};

struct Content {  // clusters lcn .. lcn+length-1 (the map key) hold tags tag .. tag+length-1
    std::int64_t length = 0;
    std::uint64_t tag = 0;
};

struct FileEntry {
    std::wstring path;
    FileKind kind = FileKind::Normal;
    std::vector<Run> runs;
    std::vector<TagSeg> written;  // the tags the file was written with, allocated VCNs only
};

std::wstring Fold(const std::wstring& path) {
    std::wstring key = path;
    for (auto& c : key)
        c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
    if (key.empty() || key.front() != L'\\')
        key.insert(key.begin(), L'\\');
    while (key.size() > 1 && key.back() == L'\\')
        key.pop_back();
    return key;
}

std::int64_t VcnEnd(const FileEntry& f) {
    return f.runs.empty() ? 0 : f.runs.back().vcn + f.runs.back().length;
}

bool IsUnitFile(const FileEntry& f) {
    return f.kind != FileKind::Normal;
}

std::int64_t RoundUp(std::int64_t v, std::int64_t unit) {
    return (v + unit - 1) / unit * unit;
}

// Merges neighbours: contiguous real runs and consecutive holes become one run.
void Normalize(std::vector<Run>& runs) {
    std::vector<Run> out;
    out.reserve(runs.size());
    for (const Run& r : runs) {
        if (r.length <= 0)
            continue;
        if (!out.empty()) {
            Run& last = out.back();
            bool bothHoles = last.lcn == kHoleLcn && r.lcn == kHoleLcn;
            bool contiguous = last.lcn != kHoleLcn && r.lcn != kHoleLcn && last.lcn + last.length == r.lcn;
            if (bothHoles || contiguous) {
                last.length += r.length;
                continue;
            }
        }
        out.push_back(r);
    }
    runs.swap(out);
}

void PushTag(std::vector<TagSeg>& segs, std::int64_t vcn, std::int64_t length, std::uint64_t tag) {
    if (length <= 0)
        return;
    if (!segs.empty()) {
        TagSeg& last = segs.back();
        if (last.vcn + last.length == vcn && last.tag + static_cast<std::uint64_t>(last.length) == tag) {
            last.length += length;
            return;
        }
    }
    segs.push_back({vcn, length, tag});
}

void AppendRun(FileEntry& f, std::int64_t lcn, std::int64_t length) {
    f.runs.push_back({VcnEnd(f), lcn, length});
    Normalize(f.runs);
}

template <class T>
void Put(void* out, std::size_t offset, const T& value) {
    std::memcpy(static_cast<unsigned char*>(out) + offset, &value, sizeof value);
}

}  // namespace

struct SimVolume::State {
    std::vector<std::uint64_t> bits;
    std::int64_t freeClusters = 0;
    std::map<std::wstring, FileEntry> files;        // by folded path
    std::map<std::int64_t, std::int64_t> occupied;  // lcn -> length
    std::map<std::int64_t, Content> content;
    std::uint64_t nextTag = 1;
    std::deque<Fault> faults;
    std::int64_t total = 0;
    std::int64_t lowFree = 0;  // no cluster outside the MFT zone below it is free: a new file starts there
    bool hasZone = false;
    std::int64_t zoneStart = 0, zoneEnd = -1;
    NtfsRules rules;
    std::uint64_t requests = 0;  // requests answered or being answered, the clock of the holds
    struct Held {
        std::int64_t lcn = 0;
        std::int64_t length = 0;
        std::uint64_t releaseAt = 0;  // free for the request of this number and later ones
    };
    std::vector<Held> held;
    std::int64_t heldClusters = 0;

    // ---- The bitmap, 64 clusters a word. ----
    bool Test(std::int64_t lcn) const { return (bits[lcn >> 6] >> (lcn & 63)) & 1u; }

    static std::uint64_t Mask(std::int64_t from,
                              std::int64_t to) {  // bits from..to-1 of one word, 0<=from<to<=64
        std::uint64_t hi = to == 64 ? ~0ull : ((1ull << to) - 1);
        return hi & ~((1ull << from) - 1);
    }

    template <class F>
    void ForWords(std::int64_t lcn, std::int64_t count, F f) const {
        std::int64_t end = lcn + count;
        while (lcn < end) {
            std::int64_t w = lcn >> 6;
            std::int64_t from = lcn & 63;
            std::int64_t to = std::min<std::int64_t>(64, from + (end - lcn));
            f(w, Mask(from, to));
            lcn += to - from;
        }
    }

    bool RangeFree(std::int64_t lcn, std::int64_t count) const {
        bool free = true;
        ForWords(lcn, count, [&](std::int64_t w, std::uint64_t m) { free = free && (bits[w] & m) == 0; });
        return free;
    }
    void SetRange(std::int64_t lcn, std::int64_t count) {
        ForWords(lcn, count, [&](std::int64_t w, std::uint64_t m) { bits[w] |= m; });
        freeClusters -= count;
    }
    void ClearRange(std::int64_t lcn, std::int64_t count) {
        ForWords(lcn, count, [&](std::int64_t w, std::uint64_t m) { bits[w] &= ~m; });
        freeClusters += count;
        lowFree = std::min(lowFree, lcn);
        EraseContent(lcn, count);
    }

    // Clusters a move left behind: held (still marked in use, their content gone) until the hold has
    // passed, or free at once without a hold.
    void FreeMoved(std::int64_t lcn, std::int64_t count) {
        if (rules.freedClusterHold <= 0) {
            ClearRange(lcn, count);
            return;
        }
        EraseContent(lcn, count);
        const std::int64_t hold = std::min<std::int64_t>(rules.freedClusterHold, std::int64_t{1} << 40);
        held.push_back({lcn, count, requests + static_cast<std::uint64_t>(hold) + 1});
        heldClusters += count;
    }
    // Frees the held clusters whose hold has passed (all of them at a checkpoint).
    void ReleaseHeld(bool checkpoint) {
        std::erase_if(held, [&](const Held& h) {
            if (!checkpoint && h.releaseAt > requests)
                return false;
            ClearRange(h.lcn, h.length);
            heldClusters -= h.length;
            return true;
        });
    }

    // First cluster in [pos, end) whose bit equals `used`; end when none.
    std::int64_t Find(std::int64_t pos, std::int64_t end, bool used) const {
        while (pos < end) {
            std::uint64_t word = bits[pos >> 6];
            if (!used)
                word = ~word;
            word &= ~0ull << (pos & 63);
            if (word != 0)
                return std::min<std::int64_t>(end, (pos & ~std::int64_t{63}) + std::countr_zero(word));
            pos = (pos & ~std::int64_t{63}) + 64;
        }
        return end;
    }

    bool InZone(std::int64_t lcn) const { return hasZone && lcn >= zoneStart && lcn <= zoneEnd; }

    // ---- The disk content. ----
    void SplitContent(std::int64_t at) {
        auto it = content.upper_bound(at);
        if (it == content.begin())
            return;
        --it;
        std::int64_t start = it->first;
        Content c = it->second;
        if (at <= start || at >= start + c.length)
            return;
        it->second.length = at - start;
        content[at] = Content{start + c.length - at, c.tag + static_cast<std::uint64_t>(at - start)};
    }
    void EraseContent(std::int64_t lcn, std::int64_t count) {
        SplitContent(lcn);
        SplitContent(lcn + count);
        content.erase(content.lower_bound(lcn), content.lower_bound(lcn + count));
    }
    void WriteContent(std::int64_t lcn, std::int64_t count, std::uint64_t tag) {
        EraseContent(lcn, count);
        content[lcn] = Content{count, tag};
    }
    // The content of clusters lcn .. lcn+count-1 as (length, first tag) pieces; tag 0 = never written.
    std::vector<Content> ReadContent(std::int64_t lcn, std::int64_t count) const {
        std::vector<Content> out;
        std::int64_t pos = lcn, end = lcn + count;
        auto it = content.upper_bound(pos);
        if (it != content.begin())
            --it;
        while (pos < end) {
            while (it != content.end() && it->first + it->second.length <= pos)
                ++it;
            if (it == content.end() || it->first >= end) {
                out.push_back({end - pos, 0});
                break;
            }
            if (it->first > pos) {
                out.push_back({it->first - pos, 0});
                pos = it->first;
            }
            std::int64_t take = std::min(end, it->first + it->second.length) - pos;
            out.push_back({take, it->second.tag + static_cast<std::uint64_t>(pos - it->first)});
            pos += take;
        }
        return out;
    }

    // ---- Files. ----
    FileEntry* Find(const std::wstring& path) {
        auto it = files.find(Fold(path));
        return it == files.end() ? nullptr : &it->second;
    }
    const FileEntry* Find(const std::wstring& path) const {
        auto it = files.find(Fold(path));
        return it == files.end() ? nullptr : &it->second;
    }
    bool IsDirectory(const std::wstring& path) const {
        std::wstring key = Fold(path);
        if (key == L"\\")
            return true;
        key += L'\\';
        auto it = files.lower_bound(key);
        return it != files.end() && it->first.compare(0, key.size(), key) == 0;
    }

    void FreeFile(FileEntry& f) {
        for (const Run& r : f.runs)
            if (r.lcn != kHoleLcn)
                ClearRange(r.lcn, r.length);
        f.runs.clear();
        f.written.clear();
    }

    // Takes `remaining` clusters for the file from the free runs of [from, to).
    void Take(FileEntry& f, std::int64_t from, std::int64_t to, bool avoidZone, std::int64_t& remaining,
              std::uint64_t& tag) {
        // Outside the MFT zone nothing below lowFree is free.
        std::int64_t pos = avoidZone ? std::max(from, lowFree) : from;
        while (remaining > 0 && pos < to) {
            pos = Find(pos, to, false);
            if (pos >= to)
                return;
            if (avoidZone && InZone(pos)) {
                pos = zoneEnd + 1;
                continue;
            }
            std::int64_t limit = to;
            if (avoidZone && hasZone && pos < zoneStart)
                limit = std::min(limit, zoneStart);
            std::int64_t runEnd =
                Find(pos, std::min(limit, pos + remaining), true);  // no further than needed
            std::int64_t take = runEnd - pos;
            SetRange(pos, take);
            WriteContent(pos, take, tag);
            PushTag(f.written, VcnEnd(f), take, tag);
            AppendRun(f, pos, take);
            tag += static_cast<std::uint64_t>(take);
            remaining -= take;
            pos += take;
        }
    }

    // NTFS-like growth: in place behind the last real cluster when free, else the next free run after
    // it, wrapping to the volume start; outside the MFT zone unless nothing else is free.
    bool Grow(FileEntry& f, std::int64_t count) {
        if (count < 0 || count > freeClusters)
            return false;
        // A file without clusters starts at the first free cluster outside the MFT zone.
        for (;;) {
            lowFree = Find(lowFree, total, false);
            if (!InZone(lowFree))
                break;
            lowFree = zoneEnd + 1;
        }
        std::int64_t start = lowFree < total ? lowFree : 0;
        for (auto it = f.runs.rbegin(); it != f.runs.rend(); ++it) {
            if (it->lcn != kHoleLcn) {
                start = it->lcn + it->length;
                break;
            }
        }
        std::uint64_t tag = nextTag;
        nextTag += static_cast<std::uint64_t>(count);
        std::int64_t remaining = count;
        for (bool avoid : {true, false}) {
            Take(f, start, total, avoid, remaining, tag);
            Take(f, 0, start, avoid, remaining, tag);
        }
        return remaining == 0;
    }

    // Remap for any range: every run is looked at.
    static void RemapEveryRun(FileEntry& f, std::int64_t vcn, std::int64_t length, std::int64_t newLcn) {
        std::vector<Run> out;
        out.reserve(f.runs.size() + 2);
        for (const Run& r : f.runs) {
            std::int64_t rEnd = r.vcn + r.length;
            if (rEnd <= vcn || r.vcn >= vcn + length || r.lcn == kHoleLcn) {
                out.push_back(r);
                continue;
            }
            if (r.vcn < vcn)
                out.push_back({r.vcn, r.lcn, vcn - r.vcn});
            std::int64_t a = std::max(r.vcn, vcn), b = std::min(rEnd, vcn + length);
            out.push_back({a, newLcn + (a - vcn), b - a});
            if (rEnd > vcn + length)
                out.push_back({b, r.lcn + (b - r.vcn), rEnd - b});
        }
        f.runs.swap(out);
        Normalize(f.runs);
    }

    // Gives the VCNs vcn .. vcn+length-1 (inside one real run) the clusters from newLcn on. The runs are
    // kept merged (Normalize), so only the run that holds the VCNs changes and only its two neighbours
    // can join the pieces it is cut into: the rest of the list stays as it is.
    static void Remap(FileEntry& f, std::int64_t vcn, std::int64_t length, std::int64_t newLcn) {
        std::vector<Run>& runs = f.runs;
        const auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                                         [](std::int64_t v, const Run& r) { return v < r.vcn + r.length; });
        const std::int64_t end = vcn + length;
        if (length <= 0 || it == runs.end() || it->vcn > vcn || it->lcn == kHoleLcn ||
            it->vcn + it->length < end) {
            RemapEveryRun(f, vcn, length, newLcn);
            return;
        }
        const Run r = *it;
        const auto at = static_cast<std::size_t>(it - runs.begin());
        const std::size_t from = at > 0 ? at - 1 : at;
        const std::size_t to = std::min(runs.size(), at + 2);
        std::vector<Run> window;
        window.reserve(to - from + 2);
        if (from < at)
            window.push_back(runs[from]);
        if (r.vcn < vcn)
            window.push_back({r.vcn, r.lcn, vcn - r.vcn});
        window.push_back({vcn, newLcn, length});
        if (r.vcn + r.length > end)
            window.push_back({end, r.lcn + (end - r.vcn), r.vcn + r.length - end});
        if (at + 1 < to)
            window.push_back(runs[at + 1]);
        Normalize(window);
        const auto first = runs.begin() + static_cast<std::ptrdiff_t>(from);
        // The runs behind move once: back when the pieces merged into fewer runs, on when they are more.
        const auto old = static_cast<std::ptrdiff_t>(to - from);
        const auto now = static_cast<std::ptrdiff_t>(window.size());
        if (now <= old) {
            std::copy(window.begin(), window.end(), first);
            runs.erase(first + now, first + old);
        } else {
            std::copy(window.begin(), window.begin() + old, first);
            runs.insert(first + old, window.begin() + old, window.end());
        }
    }

    std::string CheckState(bool content = true) const;
};

SimVolume::SimVolume(const Geometry& geometry, const NtfsRules& rules)
    : geometry_(geometry), state_(std::make_unique<State>()) {
    if (geometry_.totalClusters < 0)
        geometry_.totalClusters = 0;
    if (geometry_.bytesPerCluster == 0)
        geometry_.bytesPerCluster = 4096;
    State& s = *state_;
    s.total = geometry_.totalClusters;
    s.bits.assign(static_cast<std::size_t>((s.total + 63) / 64), 0);
    s.freeClusters = s.total;
    s.rules = rules;
    s.hasZone = !(geometry_.mftZoneStart == 0 && geometry_.mftZoneEnd == 0) && geometry_.mftZoneStart >= 0 &&
                geometry_.mftZoneEnd >= geometry_.mftZoneStart;
    if (s.hasZone) {
        s.zoneStart = geometry_.mftZoneStart;
        s.zoneEnd = std::min(geometry_.mftZoneEnd, s.total - 1);
    }
}

SimVolume::~SimVolume() = default;

void SimVolume::SetRules(const NtfsRules& rules) {
    std::lock_guard lock(mutex_);
    state_->rules = rules;
}

NtfsRules SimVolume::Rules() const {
    std::lock_guard lock(mutex_);
    return state_->rules;
}

void SimVolume::Checkpoint() {
    std::lock_guard lock(mutex_);
    state_->ReleaseHeld(true);
}

std::int64_t SimVolume::HeldClusters() const {
    std::lock_guard lock(mutex_);
    return state_->heldClusters;
}

// ---------------------------------------------------------------------------------------------------
// Files.

bool SimVolume::CreateFile(const std::wstring& path, FileKind kind) {
    std::lock_guard lock(mutex_);
    std::wstring key = Fold(path);
    if (key == L"\\" || state_->files.count(key) != 0)
        return false;
    FileEntry f;
    f.path = path;
    f.kind = kind;
    state_->files.emplace(key, std::move(f));
    return true;
}

bool SimVolume::Append(const std::wstring& path, std::int64_t clusters) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    if (clusters < 0 || Fold(path) == L"\\")
        return false;
    FileEntry* f = s.Find(path);
    if (f == nullptr) {
        FileEntry entry;
        entry.path = path;
        f = &s.files.emplace(Fold(path), std::move(entry)).first->second;
    }
    if (f->kind == FileKind::Compressed)
        clusters = RoundUp(clusters, kCompressionUnit);
    return s.Grow(*f, clusters);
}

bool SimVolume::AppendHole(const std::wstring& path, std::int64_t clusters) {
    std::lock_guard lock(mutex_);
    FileEntry* f = state_->Find(path);
    if (f == nullptr || f->kind == FileKind::Normal || clusters <= 0)
        return false;
    if (f->kind == FileKind::Compressed)
        clusters = RoundUp(clusters, kCompressionUnit);
    AppendRun(*f, kHoleLcn, clusters);
    return true;
}

bool SimVolume::AppendCompressedUnit(const std::wstring& path, std::int64_t allocated) {
    std::lock_guard lock(mutex_);
    FileEntry* f = state_->Find(path);
    if (f == nullptr || f->kind != FileKind::Compressed || allocated < 1 || allocated > kCompressionUnit)
        return false;
    if (!state_->Grow(*f, allocated))
        return false;
    if (allocated < kCompressionUnit)
        AppendRun(*f, kHoleLcn, kCompressionUnit - allocated);
    return true;
}

bool SimVolume::AddFile(const std::wstring& path, const std::vector<Run>& runs, FileKind kind) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    std::wstring key = Fold(path);
    if (key == L"\\" || s.files.count(key) != 0)
        return false;
    // Validate everything before taking anything: VCNs in order from 0, lengths positive, clusters on
    // the volume, free, and not shared between two runs of the file.
    std::int64_t vcn = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> real;
    for (const Run& r : runs) {
        if (r.vcn != vcn || r.length <= 0 || r.length > std::numeric_limits<std::int64_t>::max() - vcn)
            return false;
        if (r.lcn == kHoleLcn) {
            if (kind == FileKind::Normal)
                return false;
        } else {
            if (r.lcn < 0 || r.lcn > s.total || r.length > s.total - r.lcn || !s.RangeFree(r.lcn, r.length))
                return false;
            real.emplace_back(r.lcn, r.length);
        }
        vcn += r.length;
    }
    std::sort(real.begin(), real.end());
    for (std::size_t i = 1; i < real.size(); ++i)
        if (real[i - 1].first + real[i - 1].second > real[i].first)
            return false;
    FileEntry f;
    f.path = path;
    f.kind = kind;
    for (const Run& r : runs) {
        if (r.lcn != kHoleLcn) {
            std::uint64_t tag = s.nextTag;
            s.nextTag += static_cast<std::uint64_t>(r.length);
            s.SetRange(r.lcn, r.length);
            s.WriteContent(r.lcn, r.length, tag);
            PushTag(f.written, r.vcn, r.length, tag);
        }
        f.runs.push_back(r);
    }
    Normalize(f.runs);
    s.files.emplace(key, std::move(f));
    return true;
}

bool SimVolume::MakeResident(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    FileEntry* f = state_->Find(path);
    if (f == nullptr)
        return false;
    state_->FreeFile(*f);
    return true;
}

bool SimVolume::DeleteFile(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    auto it = state_->files.find(Fold(path));
    if (it == state_->files.end())
        return false;
    state_->FreeFile(it->second);
    state_->files.erase(it);
    return true;
}

bool SimVolume::Truncate(const std::wstring& path, std::int64_t clusters) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    FileEntry* f = s.Find(path);
    if (f == nullptr || clusters < 0)
        return false;
    if (IsUnitFile(*f))
        clusters = RoundUp(clusters, kCompressionUnit);
    if (clusters >= VcnEnd(*f))
        return true;
    std::vector<Run> kept;
    for (const Run& r : f->runs) {
        const std::int64_t keep = std::clamp<std::int64_t>(clusters - r.vcn, 0, r.length);
        if (r.lcn != kHoleLcn && keep < r.length)
            s.ClearRange(r.lcn + keep, r.length - keep);
        if (keep > 0)
            kept.push_back({r.vcn, r.lcn, keep});
    }
    f->runs.swap(kept);
    std::vector<TagSeg> written;
    for (const TagSeg& t : f->written) {
        const std::int64_t keep = std::clamp<std::int64_t>(clusters - t.vcn, 0, t.length);
        if (keep > 0)
            written.push_back({t.vcn, keep, t.tag});
    }
    f->written.swap(written);
    return true;
}

bool SimVolume::Rename(const std::wstring& from, const std::wstring& to) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    const std::wstring fromKey = Fold(from), toKey = Fold(to);
    auto it = s.files.find(fromKey);
    if (it == s.files.end() || toKey == L"\\")
        return false;
    if (toKey == fromKey) {
        it->second.path = to;
        return true;
    }
    if (s.files.count(toKey) != 0)
        return false;
    FileEntry entry = std::move(it->second);
    s.files.erase(it);
    entry.path = to;
    s.files.emplace(toKey, std::move(entry));
    return true;
}

std::optional<SimVolume::FileState> SimVolume::Describe(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const FileEntry* f = state_->Find(path);
    if (f == nullptr)
        return std::nullopt;
    return FileState{f->path, VcnEnd(*f)};
}

bool SimVolume::Exists(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    return state_->Find(path) != nullptr;
}

bool SimVolume::IsDirectory(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    return state_->IsDirectory(path);
}

std::vector<std::wstring> SimVolume::Files() const {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> out;
    for (const auto& [key, f] : state_->files)
        out.push_back(f.path);
    return out;
}

std::vector<std::wstring> SimVolume::FilesBelow(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const std::wstring key = Fold(path);
    const std::wstring prefix = key == L"\\" ? key : key + L'\\';
    std::vector<std::wstring> out;
    if (auto it = state_->files.find(key); it != state_->files.end())
        out.push_back(it->second.path);
    for (auto it = state_->files.lower_bound(prefix);
         it != state_->files.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        out.push_back(it->second.path);
    return out;
}

std::vector<Run> SimVolume::Runs(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const FileEntry* f = state_->Find(path);
    return f == nullptr ? std::vector<Run>{} : f->runs;
}

std::vector<std::uint64_t> SimVolume::Tags(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const FileEntry* f = state_->Find(path);
    std::vector<std::uint64_t> out;
    if (f == nullptr)
        return out;
    for (const Run& r : f->runs) {
        if (r.lcn == kHoleLcn) {
            out.insert(out.end(), static_cast<std::size_t>(r.length), 0);
            continue;
        }
        for (const Content& c : state_->ReadContent(r.lcn, r.length))
            for (std::int64_t i = 0; i < c.length; ++i)
                out.push_back(c.tag == 0 ? 0 : c.tag + static_cast<std::uint64_t>(i));
    }
    return out;
}

int SimVolume::Fragments(const std::wstring& path) const {
    std::lock_guard lock(mutex_);
    const FileEntry* f = state_->Find(path);
    if (f == nullptr)
        return 0;
    int count = 0;
    std::int64_t expected = -2;
    for (const Run& r : f->runs) {
        if (r.lcn == kHoleLcn)
            continue;
        if (r.lcn != expected)
            ++count;
        expected = r.lcn + r.length;
    }
    return count;
}

bool SimVolume::Occupy(std::int64_t lcn, std::int64_t count) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    if (lcn < 0 || count <= 0 || lcn > s.total || count > s.total - lcn || !s.RangeFree(lcn, count))
        return false;
    s.SetRange(lcn, count);
    s.occupied[lcn] = count;
    return true;
}

bool SimVolume::IsUsed(std::int64_t lcn) const {
    std::lock_guard lock(mutex_);
    return lcn >= 0 && lcn < state_->total && state_->Test(lcn);
}

std::int64_t SimVolume::FreeClusters() const {
    std::lock_guard lock(mutex_);
    return state_->freeClusters;
}

// ---------------------------------------------------------------------------------------------------
// Faults.

void SimVolume::InjectFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    state_->faults.push_back(fault);
}

void SimVolume::ClearFaults() {
    std::lock_guard lock(mutex_);
    state_->faults.clear();
}

std::size_t SimVolume::PendingFaults() const {
    std::lock_guard lock(mutex_);
    return state_->faults.size();
}

std::uint32_t SimVolume::CheckOpen(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    std::wstring key = Fold(path);
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
        if (it->kind != Fault::Kind::SharingViolation && it->kind != Fault::Kind::AccessDenied)
            continue;
        if (!it->path.empty() && Fold(it->path) != key)
            continue;
        std::uint32_t error =
            it->kind == Fault::Kind::SharingViolation ? fs::kErrorSharingViolation : fs::kErrorAccessDenied;
        s.faults.erase(it);
        return error;
    }
    if (s.Find(path) != nullptr || s.IsDirectory(path))
        return fs::kErrorSuccess;
    // Absent: "file not found" when its folder exists, else "path not found".
    std::size_t slash = key.find_last_of(L'\\');
    std::wstring folder = slash == 0 || slash == std::wstring::npos ? L"\\" : key.substr(0, slash);
    return s.IsDirectory(folder) ? fs::kErrorFileNotFound : fs::kErrorPathNotFound;
}

// ---------------------------------------------------------------------------------------------------
// The consistency check.

std::string SimVolume::State::CheckState(bool content) const {
    std::vector<std::uint64_t> expect(bits.size(), 0);
    std::int64_t used = 0;
    auto claim = [&](std::int64_t lcn, std::int64_t count, const std::wstring& owner) -> std::string {
        if (lcn < 0 || count <= 0 || lcn > total || count > total - lcn)
            return "clusters out of the volume: " + ToUtf8(owner);
        bool clash = false;
        ForWords(lcn, count, [&](std::int64_t w, std::uint64_t m) {
            clash = clash || (expect[w] & m) != 0;
            expect[w] |= m;
        });
        used += count;
        if (clash)
            return "a cluster near LCN " + std::to_string(lcn) + " belongs to two owners, one is " +
                   ToUtf8(owner);
        return {};
    };
    for (const auto& [lcn, count] : occupied)
        if (auto e = claim(lcn, count, L"(occupied)"); !e.empty())
            return e;
    std::int64_t heldSum = 0;
    for (const Held& h : held) {
        if (auto e = claim(h.lcn, h.length, L"(held since a move)"); !e.empty())
            return e;
        if (content) {
            for (const Content& c : ReadContent(h.lcn, h.length))
                if (c.tag != 0)
                    return "held clusters near LCN " + std::to_string(h.lcn) + " still hold content";
        }
        heldSum += h.length;
    }
    if (heldSum != heldClusters)
        return "the held-cluster count is wrong";
    for (const auto& [key, f] : files) {
        const std::wstring& path = f.path;
        auto name = [&path] { return ToUtf8(path); };  // for the messages only
        std::int64_t vcn = 0;
        std::vector<TagSeg> actual;
        for (const Run& r : f.runs) {
            if (r.vcn != vcn || r.length <= 0)
                return "runs out of VCN order in " + name();
            if (r.lcn == kHoleLcn) {
                if (f.kind == FileKind::Normal)
                    return "a hole in the normal file " + name();
            } else {
                if (auto e = claim(r.lcn, r.length, f.path); !e.empty())
                    return e;
                if (!content) {
                    vcn += r.length;
                    continue;
                }
                std::int64_t v = r.vcn;
                for (const Content& c : ReadContent(r.lcn, r.length)) {
                    if (c.tag == 0)
                        return "unwritten clusters in " + name() + " at VCN " + std::to_string(v);
                    PushTag(actual, v, c.length, c.tag);
                    v += c.length;
                }
            }
            vcn += r.length;
        }
        if (content && actual != f.written)
            return "the content of " + name() + " differs from what was written";
    }
    for (std::size_t w = 0; w < bits.size(); ++w)
        if (bits[w] != expect[w])
            return "the bitmap differs from the files near LCN " +
                   std::to_string(static_cast<std::int64_t>(w) * 64);
    if (freeClusters != total - used)
        return "the free-cluster count is wrong";
    return {};
}

std::string SimVolume::Check() const {
    std::lock_guard lock(mutex_);
    return state_->CheckState();
}

std::string SimVolume::CheckAllocation() const {
    std::lock_guard lock(mutex_);
    return state_->CheckState(false);
}

// ---------------------------------------------------------------------------------------------------
// Requests.

SimVolume::Answer SimVolume::Request(const std::wstring& file, std::uint32_t code, const void* in,
                                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                                     const std::wstring& moveFile) {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    // Every request, answered or refused, moves the clock of the holds on.
    ++s.requests;
    s.ReleaseHeld(false);
    Answer answer;
    auto fail = [&](NtStatus status) {
        answer.status = status;
        answer.bytes = 0;
        return answer;
    };
    if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0))
        return fail(fs::kStatusInvalidParameter);

    // The file the request is about: the moved file for a move, else the handle's own file.
    const std::wstring& subject = code == fs::kFsctlMoveFile ? moveFile : file;

    // The first matching fault fires.
    std::optional<Fault> fault;
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
        if (it->kind == Fault::Kind::SharingViolation || it->kind == Fault::Kind::AccessDenied)
            continue;
        if (it->code != 0 && it->code != code)
            continue;
        if (!it->path.empty() && Fold(it->path) != Fold(subject))
            continue;
        bool moveOnly = it->kind == Fault::Kind::TakeTargetBeforeMove || it->kind == Fault::Kind::PartialMove;
        if (moveOnly && code != fs::kFsctlMoveFile)
            continue;
        if (it->kind == Fault::Kind::DeleteBeforeRequest && subject.empty())
            continue;
        fault = *it;
        s.faults.erase(it);
        break;
    }
    std::int64_t partialLimit = -1;
    NtStatus partialStatus = 0;
    if (fault) {
        switch (fault->kind) {
            case Fault::Kind::PendingNeverEnds:
                answer.status = fs::kStatusPending;
                answer.pending = true;
                answer.neverCompletes = true;
                return answer;
            case Fault::Kind::Pending:
                answer.pending = true;
                if (fault->status != 0) {
                    answer.status = fault->status;
                    return answer;
                }
                break;
            case Fault::Kind::Status:
                return fail(fault->status != 0 ? fault->status : fs::kStatusUnsuccessful);
            case Fault::Kind::DeleteBeforeRequest: {
                auto it = s.files.find(Fold(subject));
                if (it != s.files.end()) {
                    s.FreeFile(it->second);
                    s.files.erase(it);
                }
                break;
            }
            case Fault::Kind::TakeTargetBeforeMove: {
                fs::MOVE_FILE_DATA move{};
                if (inLength >= sizeof move) {
                    std::memcpy(&move, in, sizeof move);
                    std::int64_t lcn = move.StartingLcn;
                    if (lcn >= 0 && lcn < s.total && !s.Test(lcn)) {
                        s.SetRange(lcn, 1);
                        s.occupied[lcn] = 1;
                    }
                }
                break;
            }
            case Fault::Kind::PartialMove:
                partialLimit = std::max<std::int64_t>(0, fault->clusters);
                partialStatus = fault->status != 0 ? fault->status : fs::kStatusDiskFull;
                break;
            default:
                break;
        }
    }

    bool pending = answer.pending;
    switch (code) {
        case fs::kFsctlGetNtfsVolumeData: {
            if (!file.empty() && s.Find(file) == nullptr && !s.IsDirectory(file))
                return fail(fs::kStatusFileDeleted);
            if (outLength < sizeof(fs::NTFS_VOLUME_DATA_BUFFER))
                return fail(fs::kStatusBufferTooSmall);
            fs::NTFS_VOLUME_DATA_BUFFER data{};
            data.VolumeSerialNumber = 0x4B455354;
            data.BytesPerSector = 512;
            data.BytesPerCluster = geometry_.bytesPerCluster;
            data.NumberSectors = s.total * (geometry_.bytesPerCluster / 512);
            data.TotalClusters = s.total;
            data.FreeClusters = s.freeClusters;
            data.TotalReserved = 0;
            data.BytesPerFileRecordSegment = 1024;
            data.ClustersPerFileRecordSegment =
                geometry_.bytesPerCluster >= 1024 ? 0 : 1024 / geometry_.bytesPerCluster;
            data.MftStartLcn = s.hasZone ? s.zoneStart : 0;
            data.Mft2StartLcn = s.total / 2;
            data.MftValidDataLength = 0;
            data.MftZoneStart = s.hasZone ? s.zoneStart : 0;
            data.MftZoneEnd = s.hasZone ? s.zoneEnd : 0;
            std::memcpy(out, &data, sizeof data);
            answer.status = fs::kStatusSuccess;
            answer.bytes = sizeof data;
            break;
        }
        case fs::kFsctlGetVolumeBitmap: {
            if (!file.empty())
                return fail(fs::kStatusInvalidParameter);
            if (inLength < sizeof(fs::STARTING_LCN_INPUT_BUFFER))
                return fail(fs::kStatusInvalidParameter);
            std::int64_t start = 0;
            std::memcpy(&start, in, sizeof start);
            if (start < 0 || start >= s.total)
                return fail(fs::kStatusInvalidParameter);
            if (outLength < fs::kVolumeBitmapHeaderSize)
                return fail(fs::kStatusBufferTooSmall);
            start &= ~static_cast<std::int64_t>(7);
            std::int64_t size = s.total - start;
            std::uint64_t need = static_cast<std::uint64_t>((size + 7) / 8);
            std::uint64_t room = outLength - fs::kVolumeBitmapHeaderSize;
            std::uint64_t copy = std::min(need, room);
            Put(out, 0, start);
            Put(out, 8, size);
            if (copy != 0)
                std::memcpy(static_cast<unsigned char*>(out) + fs::kVolumeBitmapHeaderSize,
                            reinterpret_cast<const unsigned char*>(s.bits.data()) + start / 8, copy);
            answer.status = copy < need ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
            answer.bytes = static_cast<std::uint32_t>(fs::kVolumeBitmapHeaderSize + copy);
            break;
        }
        case fs::kFsctlGetRetrievalPointers: {
            if (inLength < sizeof(fs::STARTING_VCN_INPUT_BUFFER))
                return fail(fs::kStatusInvalidParameter);
            if (outLength < sizeof(fs::RETRIEVAL_POINTERS_BUFFER))
                return fail(fs::kStatusBufferTooSmall);
            std::int64_t vcn = 0;
            std::memcpy(&vcn, in, sizeof vcn);
            if (vcn < 0)
                return fail(fs::kStatusInvalidParameter);
            if (file.empty())
                return fail(fs::kStatusEndOfFile);
            const FileEntry* f = s.Find(file);
            if (f == nullptr)
                return fail(s.IsDirectory(file) ? fs::kStatusEndOfFile : fs::kStatusFileDeleted);
            if (vcn >= VcnEnd(*f))
                return fail(fs::kStatusEndOfFile);
            auto run = std::upper_bound(f->runs.begin(), f->runs.end(), vcn,
                                        [](std::int64_t v, const Run& r) { return v < r.vcn + r.length; });
            std::size_t first = static_cast<std::size_t>(run - f->runs.begin());
            std::size_t room = (outLength - fs::kRetrievalHeaderSize) / fs::kRetrievalPairSize;
            std::size_t count = std::min(room, f->runs.size() - first);
            std::memset(out, 0, fs::kRetrievalHeaderSize);
            Put(out, 0, static_cast<std::uint32_t>(count));
            Put(out, 8, f->runs[first].vcn);
            for (std::size_t i = 0; i < count; ++i) {
                const Run& r = f->runs[first + i];
                std::size_t at = fs::kRetrievalHeaderSize + i * fs::kRetrievalPairSize;
                Put(out, at, r.vcn + r.length);
                Put(out, at + 8, r.lcn);
            }
            answer.status = first + count < f->runs.size() ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
            answer.bytes =
                static_cast<std::uint32_t>(fs::kRetrievalHeaderSize + count * fs::kRetrievalPairSize);
            break;
        }
        case fs::kFsctlMoveFile: {
            if (!file.empty())
                return fail(fs::kStatusInvalidParameter);
            if (inLength < sizeof(fs::MOVE_FILE_DATA))
                return fail(fs::kStatusInvalidParameter);
            if (moveFile.empty())
                return fail(fs::kStatusInvalidHandle);
            fs::MOVE_FILE_DATA move{};
            std::memcpy(&move, in, sizeof move);
            FileEntry* f = s.Find(moveFile);
            if (f == nullptr && !s.IsDirectory(moveFile))
                return fail(fs::kStatusFileDeleted);
            if (move.StartingVcn < 0 || move.StartingLcn < 0 || move.ClusterCount == 0)
                return fail(fs::kStatusInvalidParameter);
            std::int64_t end = f == nullptr ? 0 : VcnEnd(*f);
            if (move.StartingVcn >= end)
                return fail(fs::kStatusInvalidParameter);
            std::int64_t vStart = move.StartingVcn;
            std::int64_t vEnd = std::min(end, vStart + static_cast<std::int64_t>(move.ClusterCount));
            if (IsUnitFile(*f)) {
                if (s.rules.wholeUnitMoves &&
                    (vStart % kCompressionUnit != 0 || (vEnd % kCompressionUnit != 0 && vEnd != end)))
                    return fail(fs::kStatusInvalidParameter);
                vStart = vStart / kCompressionUnit * kCompressionUnit;
                vEnd = std::min(end, RoundUp(vEnd, kCompressionUnit));
            }
            // The allocated pieces of the range, in VCN order: (vcn, lcn, length).
            std::vector<Run> pieces;
            std::int64_t clusters = 0;
            const auto firstRun =
                std::upper_bound(f->runs.begin(), f->runs.end(), vStart,
                                 [](std::int64_t v, const Run& r) { return v < r.vcn + r.length; });
            for (auto run = firstRun; run != f->runs.end() && run->vcn < vEnd; ++run) {
                const Run& r = *run;
                if (r.lcn == kHoleLcn)
                    continue;
                std::int64_t a = std::max(r.vcn, vStart), b = std::min(r.vcn + r.length, vEnd);
                pieces.push_back({a, r.lcn + (a - r.vcn), b - a});
                clusters += b - a;
            }
            if (move.StartingLcn > s.total || clusters > s.total - move.StartingLcn)
                return fail(fs::kStatusInvalidParameter);
            if (!s.RangeFree(move.StartingLcn, clusters))
                return fail(fs::kStatusAlreadyCommitted);
            std::int64_t budget = partialLimit >= 0 ? std::min(partialLimit, clusters) : clusters;
            std::int64_t target = move.StartingLcn;
            for (const Run& p : pieces) {
                if (budget == 0)
                    break;
                std::int64_t length = std::min(budget, p.length);
                std::vector<Content> data = s.ReadContent(p.lcn, length);
                std::int64_t at = target;
                for (const Content& c : data) {
                    if (c.tag != 0)
                        s.WriteContent(at, c.length, c.tag);
                    at += c.length;
                }
                s.SetRange(target, length);
                s.FreeMoved(p.lcn, length);
                State::Remap(*f, p.vcn, length, target);
                target += length;
                budget -= length;
            }
            answer.status = partialLimit >= 0 ? partialStatus : fs::kStatusSuccess;
            answer.bytes = 0;
            break;
        }
        default:
            return fail(fs::kStatusInvalidDeviceRequest);
    }
    answer.pending = pending;
    return answer;
}

}  // namespace kestrel::sim

// ---------------------------------------------------------------------------------------------------
// Test-only damage.

namespace kestrel::sim {

void SimVolumeTestAccess::FlipBit(SimVolume& volume, std::int64_t lcn) {
    std::lock_guard lock(volume.mutex_);
    if (lcn >= 0 && lcn < volume.state_->total)
        volume.state_->bits[lcn >> 6] ^= 1ull << (lcn & 63);
}

void SimVolumeTestAccess::OverwriteTag(SimVolume& volume, std::int64_t lcn, std::uint64_t tag) {
    std::lock_guard lock(volume.mutex_);
    if (lcn >= 0 && lcn < volume.state_->total)
        volume.state_->WriteContent(lcn, 1, tag);
}

void SimVolumeTestAccess::SetRuns(SimVolume& volume, const std::wstring& path, const std::vector<Run>& runs) {
    std::lock_guard lock(volume.mutex_);
    if (FileEntry* f = volume.state_->Find(path))
        f->runs = runs;
}

}  // namespace kestrel::sim
