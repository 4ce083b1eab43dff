// Compaction of a fragmented file.
//
// Each pass looks for a free run that holds the whole file (and hands the file to WholeFileMover when
// there is one); otherwise it takes the largest free run of the volume, gathers as many neighbouring
// extents of the file as fit into it and moves their VCN range there. Extents larger than a tenth of the
// file stay where they are while at least ten remain. The passes end when the file has been walked to
// its end, a move fails or nothing more can be gathered. Every pass that goes on to another one has
// taken at least two extents off the work list, so a file of n extents takes at most n / 2 passes.
#include "service/engine/CompactNonCompressedFragmentedFile.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>

#include "service/engine/EngineTrace.h"

namespace kestrel::engine {
namespace {

constexpr std::size_t kTrimMinimumExtents = 10;

}  // namespace

std::uint32_t CompactNonCompressedFragmentedFile::FindTarget() {
    return FindWholeFileTarget();
}

std::int32_t CompactNonCompressedFragmentedFile::Process(std::int32_t& moved, std::int32_t& defragmented) {
    EngineTrace(L"In CompactNonCompressedFragmentedFile::Process filename = %s\n", file_.name);
    if (file_.clusters == 0)
        return 1;
    if (file_.fragments == 1)
        return 0;

    ExtentList fresh = engine_.GetFileFragmentsInfo(file_.name);
    if (FragmentCount(fresh) == 1)
        return 1;
    const auto startingCount = static_cast<std::int32_t>(fresh.extents.size());
    const bool compressed = fresh.compressed;
    // A leading hole owns no clusters: nothing of it is moved, and the walk begins behind it.
    const std::int64_t leadingHole = LeadingHoleEnd(fresh);
    std::int64_t position = leadingHole;
    std::deque<Extent> work = std::move(fresh.extents);
    if (leadingHole != 0)
        work.pop_front();

    // Held open for the whole run. A file that another process holds or that is gone is left for later.
    std::uint32_t error = fs::kErrorSuccess;
    fs::FsHandle handle = engine_.OpenFileForMapping(file_.name, &error);
    if (!handle.valid())
        return DefragEngine::ClassifyWin32Error(error);
    engine_.MarkBitmapStale();

    std::uint32_t request = file_.clusters;
    ExtentList moveList;
    for (;;) {
        engine_.MarkBitmapStale();
        if (compressed) {
            // One compression unit more than the previous pass asked for.
            const std::uint64_t grown = (std::uint64_t{request} / kCompressionUnit + 1) * kCompressionUnit;
            request = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(grown, std::numeric_limits<std::uint32_t>::max()));
        }
        std::int64_t runLength = 0;
        if (engine_.FindFreeRun(0, request, runLength, 0) != 0) {
            // The whole file fits somewhere: move it in one go.
            WholeFileMover mover(engine_, file_);
            handle.reset();
            return mover.Move(moved, defragmented);
        }
        std::int64_t freeLength = 0;
        const std::int64_t freeLcn = engine_.FindBiggestFreeSpace(freeLength);
        if (freeLcn == 0)
            return 0;
        if (work.empty())
            break;

        // Large extents at the head of a heavily fragmented file stay where they are.
        if (work.size() >= kTrimMinimumExtents) {
            const std::int64_t tenth = file_.vcnLength / 10;
            while (work.size() >= kTrimMinimumExtents && work.front().allocated > tenth)
                work.pop_front();
            position = work.front().vcn;
        }

        // Gather neighbouring extents into a window that fits the free run.
        Extent window = work.front();
        bool gathered = false;
        for (;;) {
            if (work.empty() && gathered)
                break;
            if (window.allocated > freeLength) {
                if (gathered)
                    break;
                // This extent alone is too large for the run: leave it and start behind it.
                work.pop_front();
                position += window.allocated;
                if (work.empty()) {
                    EngineTrace(L"Couldn't consolidate any more fragments into a bigger chunk.\n");
                    return 0;
                }
                window = work.front();
                continue;
            }
            work.pop_front();  // the head is part of the window
            if (work.empty()) {
                if (gathered)
                    break;
                return 0;
            }
            const Extent& next = work.front();
            if (window.allocated + next.allocated > freeLength) {
                if (gathered)
                    break;
                position += window.allocated;
                window = next;
                continue;
            }
            window.allocated += next.allocated;
            window.size += next.size;
            gathered = true;
        }

        const std::int64_t count = compressed ? window.size : window.allocated;
        if (window.allocated != 0)
            EngineTrace(L"%s - start VCN = %I64d, to cluster %I64d, length %I64d\n", file_.name, window.vcn,
                        freeLcn, window.allocated);
        if (!MoveSegmentInChunks(engine_, file_.name, position, freeLcn, count, moveList)) {
            EngineTrace(L"couldn't move segment\n");
            EngineTrace(L"couldn't compact segment in %s, start Vcn=%I64d , length %d\n", file_.name,
                        window.vcn, window.allocated);
            EngineTrace(L"Fragments = %d\n", engine_.GetFileFragments(file_.name));
            break;
        }
        position += count;
        if (work.empty() || position - leadingHole >= static_cast<std::int64_t>(request))
            break;
    }

    RefreshFileInfo(engine_, file_.name, file_);
    if (file_.fragments != 1 && file_.fragments != startingCount) {
        ++defragmented;
        RebuildRunHints(engine_, true);
    }
    return 1;
}

}  // namespace kestrel::engine
