// Moving clusters of a file, in one request or in pieces, and the placement of whole files.
#include "service/engine/FileMover.h"

#include <algorithm>

#include "platform/Time.h"
#include "service/engine/EngineTrace.h"

namespace kestrel::engine {
namespace {

constexpr timing::Millis kPieceRestMs = 1;

// True when the bitmap copy shows any cluster of the range in use. Clusters beyond the copy count as
// free, so the walk never goes past its bit count.
bool AnyUsedInCopy(const VolumeBitmap& bitmap, std::int64_t lcn, std::uint32_t count) {
    if (lcn < 0)
        return false;
    const auto limit = static_cast<std::int64_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(lcn) + count, bitmap.bitCount));
    for (std::int64_t i = lcn; i < limit; ++i)
        if (bitmap.IsUsed(i))
            return true;
    return false;
}

}  // namespace

std::uint32_t MoveChunkClusters(const DefragEngine& engine) {
    const std::uint32_t bytesPerCluster = engine.BytesPerCluster();
    if (bytesPerCluster == 0)
        return kMoveChunkBytes / kDefaultBytesPerCluster;
    return std::max<std::uint32_t>(1, kMoveChunkBytes / bytesPerCluster);
}

fs::NtStatus MoveClusters(DefragEngine& engine, std::int64_t startVcn, std::int64_t targetLcn,
                          std::uint32_t count, fs::RawHandle file) {
    // A volume handle closed since the last request is opened again.
    engine.SelectVolume(engine.CurrentRoot());
    fs::MOVE_FILE_DATA move{};
    move.FileHandle = file;
    move.StartingVcn = startVcn;
    move.StartingLcn = targetLcn;
    move.ClusterCount = count;
    fs::IO_STATUS_BLOCK io{};
    // A pending move completes on the handle it was issued on, the volume's.
    const fs::NtStatus status =
        engine.Control(engine.VolumeHandle(), io, fs::kFsctlMoveFile, &move, sizeof(move), nullptr, 0,
                       engine.VolumeHandle(), fs::kInfinite);
    if (status == fs::kStatusSuccess) {
        engine.MarkBitmapStale();
    } else if (AnyUsedInCopy(engine.Bitmap(), targetLcn, count)) {
        // The copy knew the target was taken: it is out of date or was misread; read it again.
        engine.MarkBitmapStale();
    }
    return status;
}

std::int32_t MoveFileSegment(DefragEngine& engine, const std::wstring& file, std::int64_t startVcn,
                             std::int64_t targetLcn, std::uint32_t count, ExtentList& list) {
    fs::FsHandle handle = engine.OpenFileForMapping(file);
    if (!handle.valid())
        return 0;
    const fs::NtStatus status = MoveClusters(engine, startVcn, targetLcn, count, handle.get());
    list = engine.GetFileFragmentsInfo(file);
    handle.reset();

    if (status == fs::kStatusAlreadyCommitted || status == fs::kStatusInvalidParameter)
        return kMoveRefused;
    if (status != fs::kStatusSuccess)
        return 0;
    if (startVcn != 0)
        return 1;
    // A move from the start counts when the file's clusters now begin at the target. A leading hole
    // owns no clusters and stays where it is (its extent has LCN -1), so the first extent that owns
    // clusters is the one to judge; when that lies behind the range, the range was all hole and there
    // was nothing to move.
    for (const Extent& e : list.extents)
        if (e.allocated != 0)
            return e.lcn == targetLcn || e.vcn >= static_cast<std::int64_t>(count) ? 1 : 0;
    return 0;
}

bool MoveSegmentInChunks(DefragEngine& engine, const std::wstring& file, std::int64_t startVcn,
                         std::int64_t targetLcn, std::int64_t count, ExtentList& list) {
    const std::uint32_t chunk = MoveChunkClusters(engine);
    if (count <= chunk)
        return count > 0 && MoveFileSegment(engine, file, startVcn, targetLcn,
                                            static_cast<std::uint32_t>(count), list) == 1;

    const std::int64_t end = startVcn + count;
    std::int64_t vcn = startVcn;
    std::int64_t target = targetLcn;
    // Every piece ends further on than it began (ExtentAfter answers the end of the extent holding the
    // piece's first VCN), so the loop runs at most once per VCN of the segment, in practice once per chunk.
    while (vcn < end) {
        // The last piece asks only for what is left of the segment: clusters behind the segment belong
        // to other extents of the file, and the free run was measured for the segment alone.
        const auto piece = static_cast<std::uint32_t>(std::min<std::int64_t>(chunk, end - vcn));
        EngineTrace(L"Attempting start Vcn=%I64d, to cluster=%I64d, length %d\n", vcn, target, piece);
        if (MoveFileSegment(engine, file, vcn, target, piece, list) != 1) {
            engine.GetFileFragmentsInfo(file);
            return false;
        }
        timing::Sleep(kPieceRestMs);
        list = engine.GetFileFragmentsInfo(file);

        // A leading hole needs no move and gives no place to aim at: the piece is judged from the first
        // VCN behind it. A piece that lay wholly in the hole moved nothing, and the next one keeps the
        // target.
        const std::int64_t holeEnd = LeadingHoleEnd(list);
        if (holeEnd >= vcn + piece) {
            vcn = holeEnd;
            continue;
        }
        std::int64_t position = std::max(vcn, holeEnd);
        std::int64_t next = ExtentAfter(list, position);
        if (next == -1 || next == 0 || position == 0)
            return true;  // the piece joined the extent before it, or nothing lies beyond it
        EngineTrace(L"Compacted %s, start Vcn=%I64d, to cluster=%I64d, length %d\n", file, vcn, target,
                    piece);
        if (list.compressed) {
            // Compressed units may still be settling: wait for the cluster behind the piece; when it
            // stays taken, try the one after it and end the segment here.
            if (!engine.IsClusterFree(next)) {
                list = engine.GetFileFragmentsInfo(file);
                position = end;
                next += 1;
                engine.IsClusterFree(next);
            }
            EngineTrace(L"Cluster %I64d is free\n", next);
        }
        if (position <= vcn)
            return false;  // no progress: never ask for the same piece again
        vcn = position;
        target = next;
    }
    return true;
}

FileMover::FileMover(DefragEngine& engine, FileInfo& file) : engine_(engine), file_(file) {
    engine_.MarkBitmapStale();
    RebuildRunHints(engine_, false);
}

std::uint32_t FileMover::FindTarget() {
    targetLcn_ = 0;
    const int i = HintIndex(engine_, file_.clusters);
    const std::int64_t start = engine_.RunHints()[static_cast<std::size_t>(i)];
    if (start > file_.firstLcn)
        return file_.vcnLength;  // nothing free before the file
    const std::uint64_t minimum = file_.compressed ? file_.clusters : file_.vcnLength;
    std::int64_t length = 0;
    // Only runs that end before the file's first cluster qualify.
    const std::int64_t target = engine_.FindFreeRun(start - 1, minimum, length, file_.firstLcn);
    targetLcn_ = target > file_.firstLcn ? 0 : target;
    return file_.vcnLength;
}

std::uint32_t FileMover::FindWholeFileTarget() {
    targetLcn_ = 0;
    const int i = HintIndex(engine_, file_.clusters);
    const std::int64_t hint = engine_.RunHints()[static_cast<std::size_t>(i)];
    std::int64_t length = 0;
    if (file_.compressed) {
        const std::uint64_t minimum =
            (std::uint64_t{file_.clusters} + kCompressionUnit - 1) / kCompressionUnit * kCompressionUnit;
        targetLcn_ = engine_.FindFreeRun(hint - 1, minimum, length, 0);
        return file_.vcnLength;
    }
    targetLcn_ = engine_.FindFreeRun(hint - 1, file_.clusters, length, 0);
    return file_.clusters;
}

std::uint32_t WholeFileMover::FindTarget() {
    return FindWholeFileTarget();
}

std::int32_t FileMover::Move(std::int32_t& moved, std::int32_t& defragmented) {
    const std::uint32_t n = FindTarget();
    if (targetLcn_ == 0 || n == 0)
        return 0;
    const FileInfo old = file_;
    ExtentList list;
    // A file that begins with a hole (its first extent has LCN -1) is moved from the first VCN that owns
    // clusters: the hole needs no move, and the target is where the clusters go.
    std::int64_t start = 0;
    if (file_.firstLcn < 0) {
        start = LeadingHoleEnd(engine_.GetFileFragmentsInfo(file_.name));
        if (start >= n)
            return 0;
    }
    const auto count = static_cast<std::uint32_t>(n - start);
    std::int32_t result;
    if (file_.fragments == 1 && count < MoveChunkClusters(engine_)) {
        result = MoveFileSegment(engine_, file_.name, start, targetLcn_, count, list);
    } else {
        result = MoveSegmentInChunks(engine_, file_.name, start, targetLcn_, count, list) ? 1 : 0;
    }
    if (result != 1)
        return result;

    FillFileInfo(list, file_);
    if (file_.firstLcn > old.firstLcn)
        RebuildRunHints(engine_, true);
    if (old.fragments == 1) {
        EngineTrace(L"MovedFile %s, old LCN=%I64d, new LCN=%I64d, length=%d\n", file_.name, old.firstLcn,
                    file_.firstLcn, file_.vcnLength);
        ++moved;
    } else if (file_.fragments < old.fragments) {
        EngineTrace(L"I Defragmented %s, old LCN=%I64d, new LCN=%I64d, length=%d fragments now=%d\n",
                    file_.name, old.firstLcn, file_.firstLcn, file_.vcnLength, file_.fragments);
        ++defragmented;
    }
    return result;
}

}  // namespace kestrel::engine
