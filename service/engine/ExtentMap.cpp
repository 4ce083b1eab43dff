// Extent maps: folding retrieval answers into extents, the numbers derived from them, and the engine's
// mapping requests.
#include "service/engine/ExtentMap.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/Time.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/EngineTrace.h"

namespace kestrel::engine {
namespace {

constexpr std::int64_t kVirtualLcn = -1;
constexpr int kInfoPassLimit = 1000;
constexpr int kCountPassLimit = 100;

using Pair = fs::RETRIEVAL_POINTERS_BUFFER::Pair;

// The usable part of one retrieval answer: its starting VCN and the pairs that lie inside the bytes
// received, up to (not including) the first pair whose NextVcn does not advance. `plausible` is false
// for an answer no file system gives: a negative starting VCN, or a pair whose LCN is neither a hole nor
// a cluster number that its run could follow without leaving the signed 64-bit range. Every length the
// folding computes is at most a pair's NextVcn (runs begin at VCN 0 or later), so LCN + NextVcn within
// range keeps each LCN + length and VCN + length in range too.
struct RetrievalAnswer {
    std::int64_t startingVcn = 0;
    std::uint32_t count = 0;
    const std::uint8_t* pairs = nullptr;
    bool plausible = true;

    Pair At(std::uint32_t i) const {
        Pair pair;
        std::memcpy(&pair, pairs + std::size_t{i} * fs::kRetrievalPairSize, sizeof(pair));
        return pair;
    }

    // The first VCN of pair i's run: the answer's starting VCN, or the NextVcn of the pair before.
    std::int64_t RunStart(std::uint32_t i) const { return i == 0 ? startingVcn : At(i - 1).NextVcn; }

    // Pair i's LCN for the part of its run from `reached` on. The file system may start an answer at the
    // beginning of the extent that holds the VCN asked for, so a run can begin before the position the
    // map has reached: its clusters there lie as far behind its LCN. Holes stay holes.
    std::int64_t LcnFrom(std::uint32_t i, std::int64_t reached) const {
        const Pair pair = At(i);
        const std::int64_t start = RunStart(i);
        if (pair.Lcn == kVirtualLcn || start >= reached)
            return pair.Lcn;
        return pair.Lcn + (reached - start);
    }
};

bool PlausiblePair(const Pair& pair) {
    if (pair.Lcn == kVirtualLcn)
        return true;
    return pair.Lcn >= 0 && pair.Lcn <= std::numeric_limits<std::int64_t>::max() - pair.NextVcn;
}

RetrievalAnswer ReadAnswer(const void* answer, std::size_t bytes) {
    RetrievalAnswer result;
    if (answer == nullptr || bytes < fs::kRetrievalHeaderSize)
        return result;
    const auto* base = static_cast<const std::uint8_t*>(answer);
    std::uint32_t claimed = 0;
    std::memcpy(&claimed, base + offsetof(fs::RETRIEVAL_POINTERS_BUFFER, ExtentCount), sizeof(claimed));
    std::memcpy(&result.startingVcn, base + offsetof(fs::RETRIEVAL_POINTERS_BUFFER, StartingVcn),
                sizeof(result.startingVcn));
    const std::size_t room = (bytes - fs::kRetrievalHeaderSize) / fs::kRetrievalPairSize;
    result.pairs = base + fs::kRetrievalHeaderSize;
    const auto available = static_cast<std::uint32_t>(std::min<std::size_t>(claimed, room));
    if (available > 0 && result.startingVcn < 0) {
        result.plausible = false;
        return result;
    }
    std::int64_t reached = result.startingVcn;
    for (std::uint32_t i = 0; i < available; ++i) {
        const Pair pair = result.At(i);
        if (pair.NextVcn <= reached)
            break;
        if (!PlausiblePair(pair)) {
            result.plausible = false;
            result.count = 0;
            return result;
        }
        reached = pair.NextVcn;
        result.count = i + 1;
    }
    return result;
}

// A run closed inside an answer: a run continued from an earlier answer replaces the extent it made.
void StoreClosedRun(ExtentList& list, const Extent& run) {
    if (list.extents.empty()) {
        list.extents.push_back(run);
        return;
    }
    Extent& last = list.extents.back();
    if (last.vcn == run.vcn && last.lcn == run.lcn && last.allocated == run.allocated)
        return;
    if (last.vcn == run.vcn) {
        last = run;
    } else {
        list.extents.push_back(run);
    }
}

// The run still open at the end of an answer.
void StoreFinalRun(ExtentList& list, const Extent& run) {
    if (!list.extents.empty() && list.extents.back().vcn == run.vcn) {
        list.extents.back() = run;
    } else {
        list.extents.push_back(run);
    }
}

}  // namespace

std::int64_t ListEndVcn(const ExtentList& list) {
    if (list.extents.empty())
        return 0;
    const Extent& last = list.extents.back();
    return last.vcn + std::max(last.allocated, last.size);
}

std::int64_t LeadingHoleEnd(const ExtentList& list) {
    if (list.extents.empty() || list.extents.front().allocated != 0)
        return 0;
    const Extent& hole = list.extents.front();
    return hole.vcn + hole.size;
}

bool AppendRetrievalPointers(ExtentList& list, const void* answer, std::size_t bytes) {
    const RetrievalAnswer pairs = ReadAnswer(answer, bytes);
    if (!pairs.plausible)
        return false;
    if (pairs.count == 0)
        return true;

    Extent run;
    std::int64_t reached = 0;
    std::int64_t expected = 0;
    if (!list.extents.empty()) {
        run = list.extents.back();
        reached = ListEndVcn(list);
        expected = run.lcn + run.allocated;
    }
    if (pairs.startingVcn == 0) {
        reached = 0;
    } else {
        EngineTrace(L"Non-zero first VCN\n");
    }
    // A continued answer must take the map past where the list ends; a damaged one whose pairs fall
    // behind is folded only from the first pair that goes further, or not at all, so the list stays in
    // VCN order and no extent gets a negative length.
    std::uint32_t first = 0;
    while (first < pairs.count && pairs.At(first).NextVcn <= reached)
        ++first;
    if (first == pairs.count)
        return true;
    if (pairs.startingVcn == 0) {
        // An answer from VCN 0 maps the file from its start. A later one can only come from a file whose
        // first extent grew past the VCN asked for (moved meanwhile): it replaces what the list held, which
        // would otherwise be mapped twice and out of order.
        list.extents.clear();
        run = Extent{};
        run.lcn = expected = pairs.At(0).Lcn;
    }

    for (std::uint32_t i = first; i < pairs.count; ++i) {
        const std::int64_t next = pairs.At(i).NextVcn;
        const std::int64_t lcn = pairs.LcnFrom(i, reached);
        if (lcn == kVirtualLcn) {
            list.compressed = true;
        } else if (lcn == expected) {
            const std::int64_t added = next - reached;
            run.allocated += added;
            expected = lcn + added;
        } else {
            run.size = reached - run.vcn;
            StoreClosedRun(list, run);
            run = Extent{reached, next - reached, 0, lcn};
            expected = lcn + run.allocated;
        }
        reached = next;
    }
    run.size = reached - run.vcn;
    StoreFinalRun(list, run);

    if (list.extents.size() > 1) {
        const std::size_t shown = std::min<std::size_t>(list.extents.size(), 6);
        for (std::size_t i = 0; i < shown; ++i) {
            const Extent& e = list.extents[i];
            EngineTrace(
                L"%s 1VCN = %I64d, compressed size=%I64d, size=%I64d, cluster=%I64d - next "
                L"(VCN,cluster)=(%I64d,%I64d)\n",
                list.label, e.vcn, e.allocated, e.size, e.lcn, e.vcn + e.size, e.lcn + e.allocated);
        }
    }
    return true;
}

std::int32_t FragmentCount(const ExtentList& list) {
    std::int32_t count = 1;
    for (std::size_t i = 1; i < list.extents.size(); ++i) {
        const Extent& a = list.extents[i - 1];
        if (a.lcn + a.allocated != list.extents[i].lcn)
            ++count;
    }
    return count;
}

std::uint32_t VcnLength(const ExtentList& list) {
    if (list.extents.empty())
        return 0;
    const Extent& last = list.extents.back();
    auto length = static_cast<std::uint32_t>(last.vcn + last.size);
    if (list.compressed && length % kCompressionUnit != 0)
        length += kCompressionUnit - length % kCompressionUnit;
    return length;
}

std::int64_t ExtentAfter(const ExtentList& list, std::int64_t& vcn) {
    for (std::size_t i = 0; i < list.extents.size(); ++i) {
        const Extent& e = list.extents[i];
        if (e.vcn + e.size <= vcn)
            continue;
        const bool adjacent =
            i == 0 ? e.allocated == 0 : list.extents[i - 1].lcn + list.extents[i - 1].allocated == e.lcn;
        if (adjacent) {
            vcn = -1;
            return -1;
        }
        vcn = e.vcn + e.size;
        return e.lcn + e.allocated;
    }
    return 0;
}

bool FillFileInfo(const ExtentList& list, FileInfo& info) {
    info.fragments = FragmentCount(list);
    info.firstLcn = list.extents.empty() ? 0 : list.extents.front().lcn;
    std::uint32_t clusters = 0;
    for (const Extent& e : list.extents)
        clusters += static_cast<std::uint32_t>(e.allocated);
    info.clusters = clusters;
    info.vcnLength = VcnLength(list);
    info.compressed = list.compressed;
    return clusters != 0;
}

DefragEngine::Answer DefragEngine::RequestRetrieval(fs::RawHandle file, std::int64_t vcn, std::size_t& bytes,
                                                    fs::NtStatus& status) {
    const fs::STARTING_VCN_INPUT_BUFFER input{vcn};
    fs::IO_STATUS_BLOCK io{};
    bool pended = false;
    bytes = 0;
    status = Control(file, io, fs::kFsctlGetRetrievalPointers, &input, sizeof(input), retrieval_.get(),
                     kRetrievalBufferSize, file, timing::kInfinite, &pended);
    if (status != fs::kStatusSuccess && status != fs::kStatusBufferOverflow)
        return pended ? Answer::Failed : Answer::Stop;
    bytes = std::min<std::size_t>(io.Information, kRetrievalBufferSize);
    if (pended)
        return Answer::More;  // a completed pending answer is always followed by another request
    return status == fs::kStatusSuccess ? Answer::Last : Answer::More;
}

ExtentList DefragEngine::GetFileFragmentsInfo(const std::wstring& path) {
    ExtentList list;
    list.label = L"GetFileFragmentsInfo";
    fs::FsHandle file = OpenFileForMapping(path);
    if (!file.valid())
        return list;

    std::int64_t vcn = 0;
    for (int passes = 1;; ++passes) {
        if (passes > kInfoPassLimit) {
            EngineTrace(L"GetFileFragments FileMappings times through loop = %d\n", passes);
            break;
        }
        std::size_t bytes = 0;
        fs::NtStatus status = 0;
        const Answer answer = RequestRetrieval(file.get(), vcn, bytes, status);
        if (answer == Answer::Failed) {
            ReportStatus(status);
            throw BadFileStats();  // the handle closes on the way out
        }
        if (answer == Answer::Stop)
            break;
        if (!AppendRetrievalPointers(list, retrieval_.get(), bytes))
            throw BadFileStats();  // an answer no file system gives: the map cannot be trusted
        if (answer == Answer::Last)
            break;
        const std::int64_t next = ListEndVcn(list);
        if (next <= vcn)
            break;  // an answer that brought nothing new would only come again
        vcn = next;
    }
    return list;
}

std::int32_t DefragEngine::GetFileFragments(const std::wstring& path) {
    if (SelectVolume(path) == 0)
        return kFileUnusable;
    std::uint32_t error = 0;
    fs::FsHandle file = OpenFileForMapping(path, &error);
    if (!file.valid())
        return ClassifyWin32Error(error);
    return GetFileFragments(file.get());
}

std::int32_t DefragEngine::GetFileFragments(fs::RawHandle file) {
    ExtentList list;
    list.label = L"GetFileFragments";
    std::int32_t count = 1;
    std::int64_t expected = 0;
    std::int64_t reached = 0;
    std::int64_t vcn = 0;
    for (int passes = 1;; ++passes) {
        if (passes > kCountPassLimit) {
            return !list.extents.empty() && list.extents.back().size > 0 ? FragmentCount(list) : kFileInUse;
        }
        std::size_t bytes = 0;
        fs::NtStatus status = 0;
        const Answer answer = RequestRetrieval(file, vcn, bytes, status);
        if (answer == Answer::Failed) {
            ReportStatus(status);
            return kFileUnusable;
        }
        if (answer == Answer::Stop)
            break;

        const RetrievalAnswer pairs = ReadAnswer(retrieval_.get(), bytes);
        if (!pairs.plausible)
            return kFileUnusable;
        if (pairs.count > 0 && pairs.startingVcn == 0) {
            // An answer from VCN 0 maps the file from its start again: count afresh.
            count = 1;
            expected = pairs.At(0).Lcn;
            reached = 0;
        }
        for (std::uint32_t i = 0; i < pairs.count; ++i) {
            const std::int64_t next = pairs.At(i).NextVcn;
            if (next <= reached)
                continue;  // counted from an earlier answer
            const std::int64_t lcn = pairs.LcnFrom(i, reached);
            if (lcn != kVirtualLcn) {
                if (lcn != expected)
                    ++count;
                expected = lcn + (next - reached);
            }
            reached = next;
        }
        AppendRetrievalPointers(list, retrieval_.get(), bytes);
        if (answer == Answer::Last || pairs.count == 0)
            break;
        const std::int64_t next = pairs.At(pairs.count - 1).NextVcn;
        if (next <= vcn)
            break;
        vcn = next;
    }
    return count;
}

bool RefreshFileInfo(DefragEngine& engine, const std::wstring& path, FileInfo& info) {
    info.name = path;
    const ExtentList list = engine.GetFileFragmentsInfo(path);
    return FillFileInfo(list, info);
}

}  // namespace kestrel::engine
