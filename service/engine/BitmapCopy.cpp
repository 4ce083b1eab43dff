// The engine's copy of the volume bitmap: sizing, refreshing, hiding the MFT zone; the free-run searches
// on it, the run hints and the polling of one cluster.
#include <algorithm>
#include <atomic>
#include <bit>
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
constexpr timing::Millis kBitmapWaitMs = 60000;
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
    bitmapBuffer_.reset(new (std::nothrow) std::uint64_t[words]());
    if (bitmapBuffer_ == nullptr) {
        bitmapCapacity_ = 0;
        bitmapSizeValue_ = 0;
    } else {
        bitmapCapacity_ = words * 8;
        bitmapSizeValue_ = static_cast<std::uint32_t>(sizeValue);
    }
    UpdateBitmapView();
}

void DefragEngine::UpdateBitmapView() {
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

void DefragEngine::RefreshBitmap() {
    if (!bitmapStale_)
        return;
    bitmapStale_ = false;
    if (!volume_.valid() || bitmapBuffer_ == nullptr)
        return;

    int sizeChanges = 0;
    for (;;) {
        const fs::STARTING_LCN_INPUT_BUFFER input{0};
        fs::IO_STATUS_BLOCK io{};
        io.Pointer = nullptr;
        fs::NtStatus status = fs_.Control(volume_.get(), io, fs::kFsctlGetVolumeBitmap, &input, sizeof(input),
                                          bitmapBuffer_.get(),
                                          static_cast<std::uint32_t>(bitmapSizeValue_ - kBitmapHeaderSize));
        if (status == fs::kStatusPending) {
            if (!fs_.Wait(volume_.get(), timing::Scaled(kBitmapWaitMs)))
                return;
            status = io.Status;
            if (status != fs::kStatusSuccess && status != fs::kStatusBufferOverflow) {
                ReportStatus(status);
                return;
            }
        }
        if (status == fs::kStatusBufferOverflow) {
            const std::uint64_t grown = std::uint64_t{bitmapSizeValue_} + kBitmapGrowth;
            if (grown > kMaxBitmapSizeValue)
                return;  // no volume has a bitmap this large
            AllocateBitmap(grown);
            if (bitmapBuffer_ == nullptr)
                return;
            continue;
        }
        if (status != fs::kStatusSuccess)
            return;
        if (io.Information < kBitmapHeaderSize)
            return;  // not even a header came back

        std::int64_t reported = 0;
        std::memcpy(&reported, reinterpret_cast<const std::uint8_t*>(bitmapBuffer_.get()) + 8,
                    sizeof(reported));
        if (reported != volumeData_.TotalClusters) {
            // The volume has another size than assumed: size the buffer for it and ask again. An answer
            // whose size cannot be a volume's, or keeps changing, is dropped.
            const std::uint64_t sizeValue = static_cast<std::uint64_t>(reported) / 8 + kBitmapSlack;
            if (reported <= 0 || sizeValue > kMaxBitmapSizeValue || ++sizeChanges > kMaxBitmapSizeChanges)
                return;
            volumeData_.TotalClusters = reported;
            AllocateBitmap(sizeValue);
            if (bitmapBuffer_ == nullptr)
                return;
            continue;
        }
        break;
    }
    UpdateBitmapView();
    MarkMftZone();
}

std::int64_t DefragEngine::FindFreeRun(std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                                       std::int64_t end, const VolumeBitmap* bitmap) {
    RefreshBitmap();
    if (end == 0)
        end = volumeData_.TotalClusters;
    return engine::FindFreeRun(bitmap != nullptr ? *bitmap : bitmap_, start, minimum, length, end);
}

std::int64_t DefragEngine::FindBiggestFreeSpace(std::int64_t& length, const VolumeBitmap* bitmap) {
    EngineTrace(L"in FindBiggestFreeSpace\n");
    RefreshBitmap();
    return engine::FindBiggestFreeSpace(bitmap != nullptr ? *bitmap : bitmap_, length,
                                        volumeData_.TotalClusters);
}

bool DefragEngine::IsClusterFree(std::int64_t lcn) {
    if (lcn < 0)
        return false;
    for (int poll = 0; poll < kClusterPolls; ++poll) {
        if (poll > 0)
            timing::Sleep(kClusterPollMs);
        bitmapStale_ = true;
        RefreshBitmap();
        if (!bitmap_.IsUsed(lcn))
            return true;
    }
    return false;
}

void RebuildRunHints(DefragEngine& engine, bool force) {
    if (force)
        g_rebuildCounter.store(0, std::memory_order_relaxed);
    if (g_rebuildCounter.load(std::memory_order_relaxed) % kRebuildEvery == 0) {
        auto& hints = engine.RunHints();
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
