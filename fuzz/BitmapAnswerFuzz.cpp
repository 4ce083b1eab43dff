// Fuzzes the engine's reading of volume-bitmap answers and the searches on its copy. A scripted volume
// answers every request from the input: the NTFS volume data (any size and MFT zone), the size of
// $Bitmap, and each FSCTL_GET_VOLUME_BITMAP answer's status, header, byte count and bits, including
// answers no file system gives (a success shorter than its bitmap, a header for another starting LCN,
// a byte count beyond the buffer). Between refreshes the input picks searches: first-fit and biggest free
// runs, cluster polls and run-hint rebuilds.
//
// AddressSanitizer reports any access past the copy; the target aborts when a search returns a cluster
// that the volume did not report free in a complete answer the engine was given, a cluster of the MFT
// zone, or one at or past the end of the bitmap the answer described.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Time.h"
#include "service/engine/DefragEngine.h"

namespace {

using namespace kestrel;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

const fs::RawHandle kVolume = reinterpret_cast<fs::RawHandle>(std::intptr_t{0x40});

// Volume sizes: mostly small, now and then one at an edge. Sizes past 2^32 clusters are left out: the
// engine caps its copy at the largest NTFS bitmap and allocates half a gigabyte for them, which only slows
// the run down.
std::int64_t PickClusters(FuzzedDataProvider& in) {
    static constexpr std::int64_t kEdges[] = {
        0, -1, 1, 7, 8, 63, 64, 65, 131216, 131217, std::numeric_limits<std::int64_t>::min()};
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return kEdges[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kEdges) - 1)];
    return in.ConsumeIntegralInRange<std::int64_t>(1, 1 << 18);
}

class ScriptedVolume : public fs::FileSystemControl {
  public:
    explicit ScriptedVolume(FuzzedDataProvider& in) : in_(in) {}

    fs::OpenResult OpenVolume(const std::wstring&) override { return {kVolume, fs::kErrorSuccess}; }
    fs::OpenResult OpenFile(const std::wstring&) override {
        return {fs::kInvalidHandle, fs::kErrorFileNotFound};
    }
    void Close(fs::RawHandle) noexcept override {}
    bool Bind() override { return true; }
    // A pending request completes within the wait unless it wrote nothing and the input lets it hang: a
    // request whose wait failed never writes afterwards.
    bool Wait(fs::RawHandle, std::uint32_t) override { return !std::exchange(hangs_, false); }
    std::optional<std::uint64_t> FindFileSize(const std::wstring&) override {
        if (in_.ConsumeBool())
            return std::nullopt;
        return in_.ConsumeBool() ? static_cast<std::uint64_t>(std::max<std::int64_t>(total_, 0) / 8)
                                 : in_.ConsumeIntegralInRange<std::uint32_t>(0, 1 << 20);
    }

    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        Require(handle == kVolume);
        if (code == fs::kFsctlGetNtfsVolumeData)
            return Finish(io, VolumeData(out, outLength), true);
        Require(code == fs::kFsctlGetVolumeBitmap);
        Require(in != nullptr && inLength == sizeof(fs::STARTING_LCN_INPUT_BUFFER));
        const fs::NtStatus status = BitmapAnswer(io, out, outLength);
        return Finish(io, status, status == fs::kStatusSuccess || status == fs::kStatusBufferOverflow);
    }

    // True when the last complete answer the volume wrote reported the cluster free.
    bool KnownFree(std::int64_t lcn) const {
        if (lcn < 0 || lcn >= answerClusters_)
            return false;
        const auto i = static_cast<std::size_t>(lcn);
        return (answerBits_[i >> 3] >> (i & 7) & 1) == 0;
    }
    bool InMftZone(std::int64_t lcn) const { return haveZone_ && lcn >= zoneStart_ && lcn <= zoneEnd_; }
    std::int64_t total() const { return total_; }

  private:
    // The answer's status, returned at once or (now and then) after STATUS_PENDING.
    fs::NtStatus Finish(fs::IO_STATUS_BLOCK& io, fs::NtStatus status, bool wrote) {
        io.Status = status;
        if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
            hangs_ = !wrote && in_.ConsumeBool();
            return fs::kStatusPending;
        }
        return status;
    }

    fs::NtStatus VolumeData(void* out, std::uint32_t outLength) {
        if (in_.ConsumeIntegralInRange<int>(0, 15) == 0)
            return fs::kStatusUnsuccessful;
        Require(out != nullptr && outLength >= sizeof(fs::NTFS_VOLUME_DATA_BUFFER));
        fs::NTFS_VOLUME_DATA_BUFFER data{};
        data.TotalClusters = PickClusters(in_);
        data.BytesPerCluster = 4096;
        data.MftZoneStart = in_.ConsumeIntegralInRange<std::int64_t>(-2, 1 << 18);
        data.MftZoneEnd = in_.ConsumeIntegralInRange<std::int64_t>(-2, 1 << 18);
        std::memcpy(out, &data, sizeof data);
        total_ = data.TotalClusters;
        haveZone_ = true;
        zoneStart_ = data.MftZoneStart;
        zoneEnd_ = data.MftZoneEnd;
        return fs::kStatusSuccess;
    }

    fs::NtStatus BitmapAnswer(fs::IO_STATUS_BLOCK& io, void* out, std::uint32_t outLength) {
        const int kind = in_.ConsumeIntegralInRange<int>(0, 9);
        if (kind == 0)
            return fs::kStatusUnsuccessful;  // nothing written
        if (out == nullptr || outLength < fs::kVolumeBitmapHeaderSize)
            return fs::kStatusBufferTooSmall;
        // The clusters the answer describes: mostly the volume's, sometimes another size.
        fs::VOLUME_BITMAP_BUFFER header{};
        header.StartingLcn =
            in_.ConsumeIntegralInRange<int>(0, 15) == 0 ? in_.ConsumeIntegral<std::int64_t>() : 0;
        header.BitmapSize = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? PickClusters(in_) : total_;
        const std::uint64_t room = outLength - fs::kVolumeBitmapHeaderSize;
        const std::uint64_t needed =
            header.BitmapSize > 0 ? (static_cast<std::uint64_t>(header.BitmapSize) + 7) / 8 : 0;
        const bool fits = needed <= room;
        // What a file system answers: success when the bits fit, else an overflow with as many as fit.
        // Sometimes the answer lies about that, or writes fewer bits than it claims.
        fs::NtStatus status = fits ? fs::kStatusSuccess : fs::kStatusBufferOverflow;
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            status = status == fs::kStatusSuccess ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
        std::uint64_t bytes = std::min(needed, room);
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0)
            bytes = in_.ConsumeIntegralInRange<std::uint64_t>(0, bytes);

        auto* target = static_cast<std::uint8_t*>(out);
        std::memcpy(target, &header, fs::kVolumeBitmapHeaderSize);
        // The bits: a short fuzzed pattern repeated.
        const std::vector<std::uint8_t> pattern =
            in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange(1, 32));
        std::uint8_t* bits = target + fs::kVolumeBitmapHeaderSize;
        std::uint64_t filled = std::min<std::uint64_t>(bytes, pattern.size());
        if (filled != 0)
            std::memcpy(bits, pattern.data(), filled);
        else if (bytes != 0)
            bits[filled++] = 0;
        for (; filled < bytes; filled *= 2)  // doubling copies of the pattern
            std::memcpy(bits + filled, bits, std::min(filled, bytes - filled));
        io.Information = fs::kVolumeBitmapHeaderSize + bytes;
        if (in_.ConsumeIntegralInRange<int>(0, 15) == 0)
            io.Information = in_.ConsumeIntegralInRange<std::uint64_t>(0, outLength + 64ull);

        // Only a complete success answer for LCN 0 tells which clusters are free; any other answer written
        // into the buffer tells nothing. The byte count is taken at its word: the bits are those in the
        // buffer up to it, whether this answer or an earlier one put them there.
        answerClusters_ = 0;
        answerBits_.clear();
        if (status == fs::kStatusSuccess && header.StartingLcn == 0 && header.BitmapSize > 0 &&
            needed <= room && io.Information >= fs::kVolumeBitmapHeaderSize + needed) {
            answerClusters_ = header.BitmapSize;
            answerBits_.assign(target + fs::kVolumeBitmapHeaderSize,
                               target + fs::kVolumeBitmapHeaderSize + needed);
        }
        return status;
    }

    FuzzedDataProvider& in_;
    bool hangs_ = false;
    std::int64_t total_ = 0;
    bool haveZone_ = false;
    std::int64_t zoneStart_ = 0, zoneEnd_ = -1;
    std::int64_t answerClusters_ = 0;
    std::vector<std::uint8_t> answerBits_;
};

// A run a search returned: every cluster of it was reported free (and so lies inside the volume) and
// outside the MFT zone.
void RequireFreeRun(const ScriptedVolume& volume, std::int64_t lcn, std::int64_t length) {
    if (length == 0)
        return;
    // Inside the volume: the size the complete answer gave (the engine takes it over from the answers
    // when the volume data said otherwise), which KnownFree checks.
    Require(length > 0 && lcn >= 0);
    // Long runs are sampled at their ends and a stride, so that one input stays fast.
    const std::int64_t step = std::max<std::int64_t>(1, length / 4096);
    for (std::int64_t i = 0; i < length; i += step) {
        Require(volume.KnownFree(lcn + i));
        Require(!volume.InMftZone(lcn + i));
    }
    Require(volume.KnownFree(lcn + length - 1) && !volume.InMftZone(lcn + length - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool fast = [] {
        timing::SetTimeDivisor(1000000);  // the retries and cluster polls wait scaled time
        return true;
    }();
    (void)fast;
    FuzzedDataProvider in(data, size);
    ScriptedVolume volume(in);
    engine::DefragEngine engine(volume, L"C:\\");
    bool polled = false;
    for (int step = 0; step < 12 && in.remaining_bytes() > 0; ++step) {
        const std::int64_t total = std::max<std::int64_t>(volume.total(), 0);
        int pick = in.ConsumeIntegralInRange<int>(0, 7);
        // A poll of a cluster in use sleeps 59 scaled pauses of at least a millisecond each, which would
        // make sleeping most of the run: at most one per input, and only in one of eight inputs that ask.
        if (pick == 2 && (std::exchange(polled, true) || in.ConsumeIntegralInRange<int>(0, 7) != 0))
            pick = 0;
        switch (pick) {
            case 0: {
                std::int64_t length = 0;
                const std::int64_t start = in.ConsumeIntegralInRange<std::int64_t>(-1, total);
                const auto minimum = in.ConsumeIntegralInRange<std::uint64_t>(0, 4096);
                const std::int64_t end =
                    in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<std::int64_t>(0, total);
                const std::int64_t lcn = engine.FindFreeRun(start, minimum, length, end);
                if (length > 0) {
                    Require(lcn > start && static_cast<std::uint64_t>(length) >= minimum);
                    Require(end == 0 || lcn + length <= end);
                }
                RequireFreeRun(volume, lcn, length);
                break;
            }
            case 1: {
                std::int64_t length = in.ConsumeIntegralInRange<std::int64_t>(0, 64);
                const std::int64_t given = length;
                const std::int64_t lcn = engine.FindBiggestFreeSpace(length);
                if (lcn != 0 || length != 0) {
                    Require(length > given);
                    RequireFreeRun(volume, lcn, length);
                }
                break;
            }
            case 2: {
                const std::int64_t lcn = in.ConsumeIntegralInRange<std::int64_t>(-1, total);
                // Past the volume's end counts as free; inside it only what the volume reported free.
                if (engine.IsClusterFree(lcn) && lcn < engine.TotalClusters())
                    Require(volume.KnownFree(lcn) && !volume.InMftZone(lcn));
                break;
            }
            case 3:
                engine::RebuildRunHints(engine, true);
                for (const std::int64_t hint : engine.RunHints())
                    Require(hint == 0 || (volume.KnownFree(hint) && !volume.InMftZone(hint)));
                break;
            case 4:
            case 6:
                (void)engine::HintIndex(engine, in.ConsumeIntegral<std::uint64_t>());
                break;
            default:  // 5, 7
                engine.MarkBitmapStale();
                break;
        }
    }
    return 0;
}
