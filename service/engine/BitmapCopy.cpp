// The engine's copy of the volume bitmap: sizing, refreshing, hiding the MFT zone; the engine's searches
// on its copy, the run hints and the polling of one cluster.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Time.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/EngineTrace.h"

namespace kestrel::engine {
namespace {

constexpr std::uint64_t kBitmapHeaderSize = fs::kVolumeBitmapHeaderSize;
constexpr std::uint64_t kBitmapSlack = 160;  // bytes beyond the bits in a first guess
constexpr std::uint64_t kBitmapSpare = 128;  // bytes allocated beyond the size value
// The largest size value: a bitmap of 2^32 clusters (the most an NTFS volume has) with room to grow.
constexpr std::uint64_t kMaxBitmapSizeValue = (std::uint64_t{1} << 32) / 8 + kBitmapSlack + kBitmapGrowth;
// How often one refresh follows a changed BitmapSize before it gives up on the answer.
constexpr int kMaxBitmapSizeChanges = 4;
constexpr std::uint32_t kBitmapWaitMs = 60000;
constexpr int kClusterPolls = 60;
constexpr timing::Millis kClusterPollMs = 100;
constexpr std::int32_t kRebuildEvery = 50;

std::atomic<std::int32_t> g_rebuildCounter{0};

}  // namespace

void DefragEngine::SizeBitmapBuffer() {
    std::uint64_t sizeValue = kBitmapGrowth;
    if (!noVolumeData_) {
        const std::optional<std::uint64_t> bytes = fs_.FindFileSize(currentRoot_ + L":\\$bitmap");
        if (bytes) {
            sizeValue = (*bytes & 0xFFFFFFFFu) + kBitmapSlack;
        } else {
            sizeValue = static_cast<std::uint64_t>(std::max<std::int64_t>(volumeData_.TotalClusters, 0)) / 8 +
                        kBitmapSlack;
        }
    }
    AllocateBitmap(std::min(sizeValue, kMaxBitmapSizeValue));
}

void DefragEngine::AllocateBitmap(std::uint64_t sizeValue) {
    bitmapBuffer_.reset();  // the old copy goes first: the two are never held together
    const std::uint64_t words = (sizeValue + kBitmapSpare + 7) / 8;
    bitmapBuffer_.reset(new (std::nothrow) std::uint64_t[words]);
    if (bitmapBuffer_ == nullptr) {
        bitmapCapacity_ = 0;
        bitmapSizeValue_ = 0;
    } else {
        // Nothing is known of the clusters yet: none of them shows free until an answer says so.
        std::memset(bitmapBuffer_.get(), 0xFF, static_cast<std::size_t>(words * 8));
        bitmapCapacity_ = words * 8;
        bitmapSizeValue_ = static_cast<std::uint32_t>(sizeValue);
    }
    UpdateBitmapView();
}

void DefragEngine::UpdateBitmapView() {
    indexSynced_ = false;
    if (bitmapBuffer_ == nullptr || bitmapCapacity_ <= kBitmapHeaderSize) {
        bitmap_ = VolumeBitmap{};
        return;
    }
    // Never more bits than the buffer holds, whatever the volume claims.
    const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(volumeData_.TotalClusters, 0));
    bitmap_.bitCount = std::min(total, (bitmapCapacity_ - kBitmapHeaderSize) * 8);
    bitmap_.bits = reinterpret_cast<const std::uint8_t*>(bitmapBuffer_.get()) + kBitmapHeaderSize;
}

void DefragEngine::MarkMftZone() {
    if (noVolumeData_ || bitmap_.bitCount == 0)
        return;
    const std::int64_t first = std::max<std::int64_t>(volumeData_.MftZoneStart, 0);
    const std::int64_t last =
        std::min<std::int64_t>(volumeData_.MftZoneEnd, static_cast<std::int64_t>(bitmap_.bitCount) - 1);
    if (last < first)
        return;
    auto* bits = reinterpret_cast<std::uint8_t*>(bitmapBuffer_.get()) + kBitmapHeaderSize;
    auto i = static_cast<std::uint64_t>(first);
    const auto end = static_cast<std::uint64_t>(last) + 1;
    for (; i < end && (i & 7) != 0; ++i)
        bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    if (end - i >= 8) {
        const std::uint64_t bytes = (end - i) / 8;
        std::memset(bits + (i >> 3), 0xFF, static_cast<std::size_t>(bytes));
        i += bytes * 8;
    }
    for (; i < end; ++i)
        bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

std::uint64_t DefragEngine::GrownBitmapSize(const fs::IO_STATUS_BLOCK& io, int& sizeChanges) {
    // The overflow answer's header says how many clusters the bitmap has. When it came back, counts from
    // LCN 0 and is a size that needs a larger buffer than this one (and no larger than any volume's), the
    // buffer grows to it in one step, as a complete answer of that size would size it; the cached
    // TotalClusters takes it too, so that the next answer is accepted at once. Otherwise, or when the
    // announced size keeps changing, the buffer grows by 16,402 bytes and the request is repeated.
    if (io.Information >= kBitmapHeaderSize && sizeChanges < kMaxBitmapSizeChanges) {
        fs::VOLUME_BITMAP_BUFFER header{};
        std::memcpy(&header, bitmapBuffer_.get(), kBitmapHeaderSize);
        if (header.StartingLcn == 0 && header.BitmapSize > 0) {
            const std::uint64_t sizeValue = static_cast<std::uint64_t>(header.BitmapSize) / 8 + kBitmapSlack;
            if (sizeValue > bitmapSizeValue_ && sizeValue <= kMaxBitmapSizeValue) {
                ++sizeChanges;
                volumeData_.TotalClusters = header.BitmapSize;
                return sizeValue;
            }
        }
    }
    const std::uint64_t grown = std::uint64_t{bitmapSizeValue_} + kBitmapGrowth;
    return grown > kMaxBitmapSizeValue ? 0 : grown;  // no volume has a bitmap this large
}

void DefragEngine::FailRefresh(bool copyTouched) {
    if (!copyTouched)
        return;  // the copy is as it was, and is used until something marks it stale
    if (bitmapBuffer_ != nullptr)
        std::memset(bitmapBuffer_.get(), 0xFF, static_cast<std::size_t>(bitmapCapacity_));
    UpdateBitmapView();
    bitmapStale_ = true;
}

void DefragEngine::RefreshBitmap() {
    if (!bitmapStale_)
        return;
    bitmapStale_ = false;
    if (!volume_.valid() || bitmapBuffer_ == nullptr)
        return;
    indexSynced_ = false;  // the request writes into the copy

    // Set once an answer was written into the copy or the copy was replaced: from then on a failure
    // cannot leave the copy as it was.
    bool touched = false;
    int sizeChanges = 0;
    for (;;) {
        const fs::STARTING_LCN_INPUT_BUFFER input{0};
        fs::IO_STATUS_BLOCK io{};
        bool pended = false;
        const fs::NtStatus status =
            Control(volume_.get(), io, fs::kFsctlGetVolumeBitmap, &input, sizeof(input), bitmapBuffer_.get(),
                    static_cast<std::uint32_t>(bitmapSizeValue_ - kBitmapHeaderSize), volume_.get(),
                    kBitmapWaitMs, &pended);
        if (status != fs::kStatusSuccess && status != fs::kStatusBufferOverflow) {
            if (pended && status != fs::kStatusPending)
                ReportStatus(status);  // a pending request that ended in failure is named
            FailRefresh(touched);
            return;
        }
        if (status == fs::kStatusBufferOverflow) {
            touched = true;
            const std::uint64_t grown = GrownBitmapSize(io, sizeChanges);
            if (grown != 0)
                AllocateBitmap(grown);
            if (grown == 0 || bitmapBuffer_ == nullptr) {
                FailRefresh(true);
                return;
            }
            continue;
        }
        // A successful request may have written into the copy whatever byte count it reports.
        touched = true;
        if (io.Information < kBitmapHeaderSize) {
            FailRefresh(true);  // not even a header came back
            return;
        }

        std::int64_t reported = 0;
        std::memcpy(&reported, reinterpret_cast<const std::uint8_t*>(bitmapBuffer_.get()) + 8,
                    sizeof(reported));
        if (reported != volumeData_.TotalClusters) {
            // The volume has another size than assumed: size the buffer for it and ask again. An answer
            // whose size cannot be a volume's, or keeps changing, is dropped.
            const std::uint64_t sizeValue = static_cast<std::uint64_t>(reported) / 8 + kBitmapSlack;
            if (reported <= 0 || sizeValue > kMaxBitmapSizeValue || ++sizeChanges > kMaxBitmapSizeChanges) {
                FailRefresh(true);
                return;
            }
            volumeData_.TotalClusters = reported;
            AllocateBitmap(sizeValue);
            if (bitmapBuffer_ == nullptr) {
                FailRefresh(true);
                return;
            }
            continue;
        }
        // A success answer describes the bitmap from LCN 0 (the LCN asked for) and holds all its bits;
        // one that does not cannot tell which clusters are free, and nothing is placed on it.
        std::int64_t startingLcn = 0;
        std::memcpy(&startingLcn, bitmapBuffer_.get(), sizeof(startingLcn));
        if (startingLcn != 0 ||
            io.Information - kBitmapHeaderSize < (static_cast<std::uint64_t>(reported) + 7) / 8) {
            FailRefresh(true);
            return;
        }
        break;
    }
    UpdateBitmapView();
    MarkMftZone();
}

std::int64_t DefragEngine::CopyEnd() const {
    // The searches count clusters past a view's bits as free; past the engine's own copy nothing is known,
    // so its searches stop there (the copy is shorter than the volume when the answer could not be read
    // into a buffer large enough).
    return static_cast<std::int64_t>(std::min<std::uint64_t>(bitmap_.bitCount, INT64_MAX));
}

void DefragEngine::SyncIndex() {
    if (indexSynced_)
        return;
    index_.Sync(bitmap_);
    indexSynced_ = true;
}

namespace {

[[noreturn]] void IndexDiffers(const char* search, std::int64_t lcn, std::int64_t length,
                               std::int64_t plainLcn, std::int64_t plainLength) {
    std::fprintf(stderr,
                 "free-run index differs from the plain search in %s: %lld (%lld) against %lld (%lld)\n",
                 search, static_cast<long long>(lcn), static_cast<long long>(length),
                 static_cast<long long>(plainLcn), static_cast<long long>(plainLength));
    std::abort();
}

}  // namespace

std::int64_t DefragEngine::FindFreeRun(std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                                       std::int64_t end, const VolumeBitmap* bitmap) {
    RefreshBitmap();
    length = 0;
    if (bitmap == nullptr && bitmapBuffer_ == nullptr)
        return 0;  // no copy: nothing is known to be free
    if (end == 0)
        end = volumeData_.TotalClusters;
    if (bitmap != nullptr)
        return engine::FindFreeRun(*bitmap, start, minimum, length, end);
    end = std::min(end, CopyEnd());
    SyncIndex();
    const std::int64_t lcn = index_.FindFreeRun(start, minimum, length, end);
    if (FreeRunIndexCheck()) {
        std::int64_t plainLength = 0;
        const std::int64_t plain = engine::FindFreeRun(bitmap_, start, minimum, plainLength, end);
        if (plain != lcn || plainLength != length)
            IndexDiffers("FindFreeRun", lcn, length, plain, plainLength);
    }
    return lcn;
}

std::int64_t DefragEngine::FindBiggestFreeSpace(std::int64_t& length, const VolumeBitmap* bitmap) {
    EngineTrace(L"in FindBiggestFreeSpace\n");
    RefreshBitmap();
    if (bitmap == nullptr && bitmapBuffer_ == nullptr) {
        length = 0;
        return 0;
    }
    if (bitmap != nullptr)
        return engine::FindBiggestFreeSpace(*bitmap, length, volumeData_.TotalClusters);
    const std::int64_t end = std::min(volumeData_.TotalClusters, CopyEnd());
    const std::int64_t given = length;
    SyncIndex();
    const std::int64_t lcn = index_.FindBiggestFreeSpace(length, end);
    if (FreeRunIndexCheck()) {
        std::int64_t plainLength = given;
        const std::int64_t plain = engine::FindBiggestFreeSpace(bitmap_, plainLength, end);
        if (plain != lcn || plainLength != length)
            IndexDiffers("FindBiggestFreeSpace", lcn, length, plain, plainLength);
    }
    return lcn;
}

bool DefragEngine::IsClusterFree(std::int64_t lcn) {
    if (lcn < 0)
        return false;
    for (int poll = 0; poll < kClusterPolls; ++poll) {
        if (poll > 0)
            timing::Sleep(kClusterPollMs);
        bitmapStale_ = true;
        RefreshBitmap();
        // Past the volume's last cluster counts as free; a cluster of the volume that the copy does not
        // cover is not known to be free.
        if (bitmapBuffer_ != nullptr &&
            (lcn >= volumeData_.TotalClusters || (lcn < CopyEnd() && !bitmap_.IsUsed(lcn))))
            return true;
    }
    return false;
}

void RebuildRunHints(DefragEngine& engine, bool force) {
    if (force)
        g_rebuildCounter.store(0, std::memory_order_relaxed);
    if (g_rebuildCounter.load(std::memory_order_relaxed) % kRebuildEvery == 0) {
        auto& hints = engine.runHints_;
        hints.fill(0);
        for (int j = 0; j < kRunHintCount; ++j) {
            const std::int64_t previous = j == 0 ? 1 : hints[j - 1];
            std::int64_t length = 0;
            hints[j] = engine.FindFreeRun(previous - 1, std::uint64_t{1} << j, length, 0);
            if (hints[j] == 0)
                break;
        }
    }
    g_rebuildCounter.fetch_add(1, std::memory_order_relaxed);
}

std::int32_t RunHintRebuildCounter() {
    return g_rebuildCounter.load(std::memory_order_relaxed);
}

int HintIndex(const DefragEngine& engine, std::uint64_t clusters) {
    int i = clusters >= 2 ? static_cast<int>(std::bit_width(clusters)) - 1 : 0;
    i = std::min(i, kRunHintCount - 1);
    const auto& hints = engine.RunHints();
    while (i > 0 && hints[i] == 0)
        --i;
    return i;
}

}  // namespace kestrel::engine
