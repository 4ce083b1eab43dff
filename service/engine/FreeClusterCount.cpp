#include "service/engine/FreeClusterCount.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace kestrel::engine {
namespace {

constexpr int kVolumeDataAttempts = 11;
constexpr timing::Millis kVolumeDataRetryMs = 1000;
constexpr std::uint32_t kRequestWaitMs = 60000;
// How often the count starts again because the volume's size changed between two pages.
constexpr int kMaxRestarts = 4;

// One request; a pending answer is waited for (bounded) and its final status returned.
fs::NtStatus Request(fs::FileSystemControl& fs, fs::RawHandle volume, fs::IO_STATUS_BLOCK& io,
                     std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                     std::uint32_t outLength) {
    io.Pointer = nullptr;
    io.Information = 0;
    const fs::NtStatus status = fs.Control(volume, io, code, in, inLength, out, outLength);
    if (status != fs::kStatusPending)
        return status;
    if (!fs.Wait(volume, timing::Scaled(kRequestWaitMs)))
        return fs::kStatusPending;
    return io.Status;
}

// Clear bits of [from, to) outside the MFT zone [zoneFirst, zoneEnd).
std::uint64_t CountOutsideZone(const std::uint8_t* bits, std::uint64_t base, std::uint64_t from,
                               std::uint64_t to, std::uint64_t zoneFirst, std::uint64_t zoneEnd) {
    std::uint64_t count = 0;
    const std::uint64_t beforeZone = std::min(to, zoneFirst);
    if (from < beforeZone)
        count += CountClearBits(bits, from - base, beforeZone - base);
    const std::uint64_t afterZone = std::max(from, zoneEnd);
    if (afterZone < to)
        count += CountClearBits(bits, afterZone - base, to - base);
    return count;
}

}  // namespace

std::uint64_t CountClearBits(const std::uint8_t* bits, std::uint64_t from, std::uint64_t to) {
    std::uint64_t used = 0;
    std::uint64_t i = from;
    for (; i < to && (i & 63) != 0; ++i)
        used += (bits[i >> 3] >> (i & 7)) & 1u;
    for (; i + 64 <= to; i += 64) {
        std::uint64_t word = 0;
        std::memcpy(&word, bits + (i >> 3), sizeof(word));
        used += static_cast<std::uint64_t>(std::popcount(word));
    }
    for (; i < to; ++i)
        used += (bits[i >> 3] >> (i & 7)) & 1u;
    return (to > from ? to - from : 0) - used;
}

std::optional<std::int64_t> CountFreeClusters(fs::FileSystemControl& fs, const std::wstring& path,
                                              timing::Event* stop, std::uint32_t pageBytes) {
    if (path.empty())
        return 0;
    wchar_t letter = path[0];
    if (letter >= L'a' && letter <= L'z')
        letter = static_cast<wchar_t>(letter - L'a' + L'A');
    if (letter < L'A' || letter > L'Z')
        return 0;
    const std::wstring device = std::wstring(L"\\\\.\\") + letter + L":";

    // The volume and its NTFS data, tried as often as an engine tries.
    fs::FsHandle volume = fs.Own(fs::kInvalidHandle);
    fs::NTFS_VOLUME_DATA_BUFFER data{};
    bool haveData = false;
    for (int attempt = 0; attempt < kVolumeDataAttempts && !haveData; ++attempt) {
        if (attempt > 0) {
            if (stop != nullptr ? stop->Wait(kVolumeDataRetryMs) : (timing::Sleep(kVolumeDataRetryMs), false))
                return std::nullopt;
        }
        if (!volume.valid())
            volume = fs.Own(fs.OpenVolume(device).handle);
        if (!volume.valid() || !fs.Bind())
            continue;
        fs::IO_STATUS_BLOCK io{};
        fs::NTFS_VOLUME_DATA_BUFFER answer{};
        if (Request(fs, volume.get(), io, fs::kFsctlGetNtfsVolumeData, nullptr, 0, &answer, sizeof(answer)) ==
            fs::kStatusSuccess) {
            data = answer;
            haveData = true;
        }
    }
    if (!volume.valid() || !fs.Bind())
        return 0;

    std::uint64_t zoneFirst = 0, zoneEnd = 0;  // [first, end): empty without volume data
    if (haveData && data.MftZoneStart <= data.MftZoneEnd) {
        zoneFirst = static_cast<std::uint64_t>(std::max<std::int64_t>(data.MftZoneStart, 0));
        zoneEnd = static_cast<std::uint64_t>(std::max<std::int64_t>(data.MftZoneEnd, -1) + 1);
    }

    const std::uint32_t outLength =
        static_cast<std::uint32_t>(fs::kVolumeBitmapHeaderSize) + std::max(pageBytes, 8u);
    std::unique_ptr<std::uint64_t[]> page(new std::uint64_t[(outLength + 7) / 8]);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(page.get());

    for (int restart = 0; restart <= kMaxRestarts; ++restart) {
        std::uint64_t total = 0;  // clusters of the volume, from the first answer
        std::uint64_t next = 0;   // the first cluster not yet counted
        std::uint64_t free = 0;
        bool sizeChanged = false;
        for (;;) {
            const fs::STARTING_LCN_INPUT_BUFFER input{static_cast<std::int64_t>(next)};
            fs::IO_STATUS_BLOCK io{};
            const fs::NtStatus status = Request(fs, volume.get(), io, fs::kFsctlGetVolumeBitmap, &input,
                                                sizeof(input), page.get(), outLength);
            if ((status != fs::kStatusSuccess && status != fs::kStatusBufferOverflow) ||
                io.Information < fs::kVolumeBitmapHeaderSize || io.Information > outLength)
                return 0;
            fs::VOLUME_BITMAP_BUFFER header{};
            std::memcpy(&header, bytes, fs::kVolumeBitmapHeaderSize);
            if (header.StartingLcn < 0 || header.BitmapSize < 0 ||
                static_cast<std::uint64_t>(header.StartingLcn) > next)
                return 0;
            const auto start = static_cast<std::uint64_t>(header.StartingLcn);
            const std::uint64_t end = start + static_cast<std::uint64_t>(header.BitmapSize);
            if (next == 0) {
                total = end;
            } else if (end != total) {
                sizeChanged = true;  // the volume grew or shrank meanwhile: count it again
                break;
            }
            const std::uint64_t delivered =
                std::min<std::uint64_t>((io.Information - fs::kVolumeBitmapHeaderSize) * 8, end - start);
            const std::uint64_t from = std::max<std::uint64_t>(next, 1);  // the walk never looks at LCN 0
            const std::uint64_t to = start + delivered;
            if (from < to)
                free += CountOutsideZone(bytes + fs::kVolumeBitmapHeaderSize, start, from, to, zoneFirst,
                                         zoneEnd);
            next = std::max(next, to);
            if (status == fs::kStatusSuccess || next >= total)
                return static_cast<std::int64_t>(free);
            if (delivered == 0)
                return 0;  // an overflow answer that carries no bits would never end
        }
        if (!sizeChanged)
            break;
    }
    return 0;
}

}  // namespace kestrel::engine
