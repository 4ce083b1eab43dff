// File-system control over NTFS images through libntfs-3g.
//
// Handles are small numbers (4, 8, 12, ...) that are never reused; each names a mounted image and either
// the volume or a file by its MFT reference and data stream. Files are opened afresh for every request,
// so a handle never pins library state and a file deleted meanwhile is seen as such.
//
// The answers follow the documented behaviour of NTFS, as the simulated volume does:
// - FSCTL_GET_NTFS_VOLUME_DATA: any handle of the volume; output shorter than 96 bytes:
//   STATUS_BUFFER_TOO_SMALL. Serial number and sector count come from the boot sector, free clusters
//   are counted in $Bitmap, the MFT's and its mirror's places and valid length from the volume. The
//   MFT zone reported is the one libntfs-3g keeps for its own allocator (an eighth of the volume from
//   the MFT's first cluster, cut at the volume's end), with its end made inclusive, as the engine
//   reads MftZoneEnd; the library never writes user data into it while there is room elsewhere.
// - FSCTL_GET_VOLUME_BITMAP: volume handle only (a file: STATUS_INVALID_PARAMETER); input shorter than
//   8 bytes or a starting LCN outside the volume: STATUS_INVALID_PARAMETER; the start is rounded down to
//   a multiple of 8, BitmapSize counts the clusters from there to the end; output shorter than the
//   16-byte header: STATUS_BUFFER_TOO_SMALL; as many bytes as fit, STATUS_BUFFER_OVERFLOW when that is
//   not all. Bits past the last cluster read 0.
// - FSCTL_GET_RETRIEVAL_POINTERS: input shorter than 8 bytes or a negative VCN: STATUS_INVALID_PARAMETER;
//   output shorter than header and one pair: STATUS_BUFFER_TOO_SMALL; a resident or empty stream, a
//   directory (no unnamed data), a VCN at or past the end of the allocation and the volume handle:
//   STATUS_END_OF_FILE. The answer starts at the run holding the VCN, holes as LCN -1, pairs that do
//   not fit: STATUS_BUFFER_OVERFLOW. Runs are reported as the runlist holds them. A runlist that the
//   library cannot read whole: STATUS_UNSUCCESSFUL (for moves too), never an empty answer.
// - FSCTL_MOVE_FILE: volume handle only; input shorter than 32 bytes, a negative VCN or LCN, a count of
//   0, a start at or past the end of the allocation (a resident or empty stream has none), or a target
//   range outside the volume: STATUS_INVALID_PARAMETER. A system file (MFT records below 16: $MFT,
//   $Bitmap, $LogFile ..., and the files in $Extend: $UsnJrnl, $Quota ...) or a volume opened read-only:
//   STATUS_ACCESS_DENIED (the documentation names no status for these; this is the refusal of access). A
//   compressed or sparse stream moves in whole compression units (its attribute's own unit): the range is
//   widened to them and only their allocated clusters move, laid one behind the other from the target. Any
//   target cluster in use refuses the whole move with STATUS_ALREADY_COMMITTED and nothing changes. The move:
//   the data is copied cluster for cluster into the target, the target clusters are marked in use, the new
//   runlist is built here and written with ntfs_attr_update_mapping_pairs from the first VCN it changes
//   (which may itself take clusters with the library's allocator, to extend $MFT or add an attribute list:
//   the engine then meets those as clusters in use), and the old clusters freed; what reaches the device
//   when, and the record kept of it, is described at State::Move. A failure while the runlist is written
//   puts the old one back and gives the target clusters back, leaving the file as it was (STATUS_DISK_FULL
//   when the library ran out of space, else STATUS_UNSUCCESSFUL). After RequestStop: STATUS_ACCESS_DENIED.
// - A file handle whose file has gone: STATUS_FILE_DELETED; an unknown code:
//   STATUS_INVALID_DEVICE_REQUEST; a null buffer with a nonzero length: STATUS_INVALID_PARAMETER.
#include "platform/ntfsimage/NtfsImageFileSystem.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <sys/file.h>

#include <ctime>

#include "common/Utf16.h"
#include "platform/host/StateDirectory.h"
#include "platform/ntfsimage/FullIo.h"
#include "platform/ntfsimage/MoveRecord.h"
#include "platform/ntfsimage/NtfsLib.h"

extern "C" {
#include <ntfs-3g/mst.h>
}

namespace kestrel::ntfsimage {

namespace {

constexpr std::size_t kMaxPath = 32767;
constexpr std::size_t kMaxName = 255;
constexpr std::int64_t kCopyChunkBytes = 1 << 20;

wchar_t Letter(wchar_t c) {
    if (c >= L'a' && c <= L'z')
        return static_cast<wchar_t>(c - L'a' + L'A');
    if (c >= L'A' && c <= L'Z')
        return c;
    return 0;
}

template <typename T>
void Put(void* out, std::size_t at, T value) {
    std::memcpy(static_cast<unsigned char*>(out) + at, &value, sizeof value);
}

using Name = std::vector<ntfschar>;

Name ToName(std::wstring_view text) {
    std::u16string u = ToUtf16(text);
    Name name;
    name.reserve(u.size());
    for (char16_t c : u)
        name.push_back(cpu_to_le16(static_cast<std::uint16_t>(c)));
    return name;
}

std::wstring FromName(const ntfschar* name, int length) {
    std::u16string u;
    for (int i = 0; i < length; ++i)
        u.push_back(static_cast<char16_t>(le16_to_cpu(name[i])));
    return FromUtf16(u);
}

// An open inode, closed on every path out.
struct InodeCloser {
    void operator()(ntfs_inode* ni) const {
        if (ni != nullptr)
            ntfs_inode_close(ni);
    }
};
using Inode = std::unique_ptr<ntfs_inode, InodeCloser>;

struct AttrCloser {
    void operator()(ntfs_attr* na) const {
        if (na != nullptr)
            ntfs_attr_close(na);
    }
};
using Attr = std::unique_ptr<ntfs_attr, AttrCloser>;

struct HandleEntry {
    wchar_t letter = 0;
    bool isVolume = false;
    std::uint64_t mref = 0;  // MFT reference (with its sequence number) of a file handle
    Name stream;             // named data stream; empty for the unnamed one
    bool system = false;     // a metadata file: a record below 16 or a file in $Extend
    std::wstring path;       // as opened, volume-relative (for messages)
};

// Splits "\DIR\FILE:STREAM" into its components and the stream name. False for a malformed path.
bool SplitPath(const std::wstring& relative, std::vector<std::wstring>& parts, std::wstring& stream) {
    parts.clear();
    stream.clear();
    std::wstring current;
    for (std::size_t i = 1; i <= relative.size(); ++i) {
        if (i == relative.size() || relative[i] == L'\\') {
            if (!current.empty())
                parts.push_back(current);
            else if (i != relative.size())
                return false;  // an empty component
            current.clear();
        } else {
            current.push_back(relative[i]);
        }
    }
    if (!parts.empty()) {
        std::wstring& last = parts.back();
        const std::size_t colon = last.find(L':');
        if (colon != std::wstring::npos) {
            stream = last.substr(colon + 1);
            last.erase(colon);
            // "FILE::$DATA" and "FILE:NAME:$DATA" name the stream's type too.
            const std::size_t type = stream.find(L':');
            if (type != std::wstring::npos) {
                if (stream.substr(type) != L":$DATA")
                    return false;
                stream.erase(type);
            }
            if (last.empty())
                return false;
        }
    }
    for (const std::wstring& p : parts)
        if (p.find(L':') != std::wstring::npos)
            return false;
    return true;
}

// The stream's runs; empty for resident data. `ok` turns false when the runlist cannot be read whole
// (a damaged mapping-pairs array or attribute list): the caller must not take that for "no clusters".
std::vector<ImageRun> ReadRuns(ntfs_attr* na, bool* ok = nullptr) {
    std::vector<ImageRun> runs;
    if (ok != nullptr)
        *ok = true;
    if (!NAttrNonResident(na))
        return runs;
    if (ntfs_attr_map_whole_runlist(na) != 0 || na->rl == nullptr) {
        if (ok != nullptr)
            *ok = false;
        return runs;
    }
    for (const runlist_element* rl = na->rl; rl->length != 0; ++rl) {
        if (rl->lcn < LCN_HOLE) {
            if (ok != nullptr)
                *ok = false;  // a piece left unmapped
            return {};
        }
        runs.push_back({rl->vcn, rl->lcn < 0 ? -1 : rl->lcn, rl->length});
    }
    return runs;
}

std::int64_t RunsEnd(const std::vector<ImageRun>& runs) {
    return runs.empty() ? 0 : runs.back().vcn + runs.back().length;
}

int CountFragments(const std::vector<ImageRun>& runs) {
    int count = 0;
    std::int64_t expected = -2;
    for (const ImageRun& r : runs) {
        if (r.lcn < 0)
            continue;
        if (r.lcn != expected)
            ++count;
        expected = r.lcn + r.length;
    }
    return count;
}

// Merges neighbours that continue each other (physically adjacent clusters, or two holes).
void Normalize(std::vector<ImageRun>& runs) {
    std::vector<ImageRun> out;
    for (const ImageRun& r : runs) {
        if (r.length == 0)
            continue;
        if (!out.empty()) {
            ImageRun& last = out.back();
            const bool holes = last.lcn < 0 && r.lcn < 0;
            const bool adjacent = last.lcn >= 0 && r.lcn == last.lcn + last.length;
            if (holes || adjacent) {
                last.length += r.length;
                continue;
            }
        }
        out.push_back(r);
    }
    runs = std::move(out);
}

}  // namespace

struct Image {
    ntfs_volume* vol = nullptr;
    std::string path;
    std::unique_ptr<ImageDevice> device;  // outlives the volume: ntfs_umount closes it
    // The records of this run in the state directory; null when nothing is written to the image
    // (read-only, or an overlay).
    std::unique_ptr<RecordFiles> records;
    bool markedDirty = false;  // the run set the volume's dirty flag and must clear it
    bool keepDirty = false;    // ... unless a record it could not trust left the volume for Windows to check
    // A move whose record could not be written was abandoned after the library had made it in memory
    // (nothing of it reached the volume): the library's view of the volume is no longer what the device
    // holds, so nothing of that view may be written back (see Release).
    bool abandoned = false;
    std::string stopReason;  // why moves were stopped before the run's end (a record could not be written)
    bool oneWriteSwitch = true;  // see MountOptions
    std::uint64_t serial = 0;
    std::vector<std::string> notices;
    NtfsImageFileSystem::MoveCounters counters;
};

struct NtfsImageFileSystem::State {
    std::map<wchar_t, Image> images;
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uintptr_t next = 4;
    bool stopAfterMove = false;  // a move could not be recorded: no further one may start

    // The runlist of the stream last asked about, kept between requests so that a request costs what
    // it asks for, not a parse of every attribute extent of the file. Only a move writes a runlist here:
    // a move of this stream replaces it (or drops it on a failure), mounting and unmounting drop it.
    struct CachedRuns {
        wchar_t letter = 0;
        std::uint64_t mref = 0;
        Name stream;
        std::vector<ImageRun> runs;
        bool valid = false;
    } cached;
    // The stream's runs, from the cache or read (and kept); `ok` false when they cannot be read whole.
    const std::vector<ImageRun>& RunsOf(wchar_t letter, const HandleEntry& file, ntfs_attr* na, bool& ok) {
        ok = true;
        if (cached.valid && cached.letter == letter && cached.mref == file.mref &&
            cached.stream == file.stream)
            return cached.runs;
        cached.valid = false;
        cached.runs = ReadRuns(na, &ok);
        if (ok) {
            cached.letter = letter;
            cached.mref = file.mref;
            cached.stream = file.stream;
            cached.valid = true;
        }
        return cached.runs;
    }

    fs::RawHandle Add(HandleEntry entry) {
        const std::uintptr_t value = next;
        next += 4;
        handles.emplace(value, std::move(entry));
        return reinterpret_cast<fs::RawHandle>(value);
    }
    HandleEntry* Get(fs::RawHandle handle) {
        auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == handles.end() ? nullptr : &it->second;
    }
    ntfs_volume* Volume(wchar_t letter) {
        auto it = images.find(Letter(letter));
        return it == images.end() ? nullptr : it->second.vol;
    }

    // Resolves a volume-relative path to an MFT reference and stream; a Win32 error when it fails.
    std::uint32_t Resolve(ntfs_volume* vol, const std::wstring& relative, std::uint64_t& mref, Name& stream,
                          bool* system = nullptr) {
        if (relative.size() > 2 && relative[0] == L'\\' && relative[1] == L'/')
            return ResolveRecord(vol, relative.substr(2), mref, stream, system);
        std::vector<std::wstring> parts;
        std::wstring streamName;
        if (!SplitPath(relative, parts, streamName))
            return fs::kErrorPathNotFound;
        std::uint64_t current = FILE_root;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            Inode dir(ntfs_inode_open(vol, current));
            if (!dir)
                return fs::kErrorPathNotFound;
            if (!(dir->mrec->flags & MFT_RECORD_IS_DIRECTORY))
                return fs::kErrorPathNotFound;
            const Name name = ToName(parts[i]);
            // The exact name first: another name differing only in case may stand in the same folder.
            NVolSetCaseSensitive(vol);
            u64 found = ntfs_inode_lookup_by_name(dir.get(), name.data(), static_cast<int>(name.size()));
            NVolClearCaseSensitive(vol);
            if (found == static_cast<u64>(-1))
                found = ntfs_inode_lookup_by_name(dir.get(), name.data(), static_cast<int>(name.size()));
            if (found == static_cast<u64>(-1))
                return i + 1 == parts.size() ? fs::kErrorFileNotFound : fs::kErrorPathNotFound;
            current = found;  // with its sequence number, so a reused record is not taken for the file
            if (system != nullptr && MREF(found) == FILE_Extend)
                *system = true;
        }
        mref = current;
        if (system != nullptr && MREF(current) < FILE_first_user)
            *system = true;
        stream = ToName(streamName);
        if (!stream.empty()) {
            Inode ni(ntfs_inode_open(vol, mref));
            if (!ni || !ntfs_attr_exist(ni.get(), AT_DATA, stream.data(), static_cast<u32>(stream.size())))
                return fs::kErrorFileNotFound;
        }
        return fs::kErrorSuccess;
    }

    // "N" or "N:STREAM": the base record N in use, with its current sequence number.
    static std::uint32_t ResolveRecord(ntfs_volume* vol, const std::wstring& text, std::uint64_t& mref,
                                       Name& stream, bool* system) {
        std::uint64_t record = 0;
        std::size_t i = 0;
        for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9' && i < 12; ++i)
            record = record * 10 + static_cast<std::uint64_t>(text[i] - L'0');
        if (i == 0 || (i < text.size() && text[i] != L':'))
            return fs::kErrorPathNotFound;
        if (static_cast<s64>(record) >= vol->mft_na->initialized_size / vol->mft_record_size)
            return fs::kErrorFileNotFound;
        Inode ni(ntfs_inode_open(vol, record));
        if (!ni || (ni->mrec->flags & MFT_RECORD_IN_USE) == 0 || ni->mrec->base_mft_record != 0)
            return fs::kErrorFileNotFound;
        mref = MK_MREF(record, le16_to_cpu(ni->mrec->sequence_number));
        if (system != nullptr && (record < FILE_first_user || InSystemFolder(vol, ni.get())))
            *system = true;
        stream = i < text.size() ? ToName(text.substr(i + 1)) : Name{};
        if (i < text.size() && stream.empty())
            return fs::kErrorPathNotFound;
        if (!stream.empty() &&
            !ntfs_attr_exist(ni.get(), AT_DATA, stream.data(), static_cast<u32>(stream.size())))
            return fs::kErrorFileNotFound;
        return fs::kErrorSuccess;
    }

    // True when a folder above the file is a system folder ($Extend and the folders below it).
    static bool InSystemFolder(ntfs_volume* vol, ntfs_inode* ni) {
        std::uint64_t parent = ParentOf(ni);
        for (int depth = 0; depth < 256 && parent != 0 && parent != FILE_root; ++depth) {
            if (parent < FILE_first_user)
                return true;
            Inode dir(ntfs_inode_open(vol, parent));
            if (!dir)
                return false;
            parent = ParentOf(dir.get());
        }
        return false;
    }

    // The folder that holds the file's first long name (its first name when it has only a short one).
    static std::uint64_t ParentOf(ntfs_inode* ni, std::wstring* name = nullptr) {
        std::uint64_t parent = 0;
        ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        bool haveLong = false;
        while (ctx != nullptr &&
               ntfs_attr_lookup(AT_FILE_NAME, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
            if (ctx->attr->non_resident)
                continue;
            const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
                reinterpret_cast<const std::uint8_t*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
            const bool isLong = fn->file_name_type != FILE_NAME_DOS;
            if (parent != 0 && (haveLong || !isLong))
                continue;
            parent = MREF(le64_to_cpu(fn->parent_directory));
            haveLong = isLong;
            if (name != nullptr)
                *name = FromName(reinterpret_cast<const ntfschar*>(reinterpret_cast<const std::uint8_t*>(fn) +
                                                                   sizeof(FILE_NAME_ATTR)),
                                 fn->file_name_length);
        }
        if (ctx != nullptr)
            ntfs_attr_put_search_ctx(ctx);
        return parent;
    }

    // Opens the handle's data stream. Null when the file has gone (`gone`) or has no such stream.
    static Attr OpenData(ntfs_inode* ni, const Name& stream) {
        ntfschar* name = stream.empty() ? AT_UNNAMED : const_cast<ntfschar*>(stream.data());
        return Attr(ntfs_attr_open(ni, AT_DATA, name, static_cast<u32>(stream.size())));
    }

    fs::NtStatus VolumeData(ntfs_volume* vol, void* out, std::uint32_t outLength, std::uint32_t& bytes);
    fs::NtStatus Bitmap(ntfs_volume* vol, const void* in, std::uint32_t inLength, void* out,
                        std::uint32_t outLength, std::uint32_t& bytes);
    fs::NtStatus Retrieval(ntfs_volume* vol, const HandleEntry& file, const void* in, std::uint32_t inLength,
                           void* out, std::uint32_t outLength, std::uint32_t& bytes);
    fs::NtStatus Move(Image& image, const HandleEntry& file, const fs::MOVE_FILE_DATA& move);
    Image* Find(wchar_t letter) {
        auto it = images.find(Letter(letter));
        return it == images.end() ? nullptr : &it->second;
    }
};

// Free clusters counted in $Bitmap, 64 clusters a word.
static std::int64_t CountFree(ntfs_volume* vol) {
    const std::int64_t bytes = (vol->nr_clusters + 7) / 8;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(bytes));
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, bytes, bits.data()) != bytes)
        return 0;
    std::int64_t used = 0;
    std::int64_t full = vol->nr_clusters / 8;
    std::int64_t i = 0;
    for (; i + 8 <= full; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bits.data() + i, 8);
        used += __builtin_popcountll(word);
    }
    for (; i < full; ++i)
        used += __builtin_popcount(bits[static_cast<std::size_t>(i)]);
    for (std::int64_t lcn = full * 8; lcn < vol->nr_clusters; ++lcn)
        used += (bits[static_cast<std::size_t>(lcn / 8)] >> (lcn % 8)) & 1;
    return vol->nr_clusters - used;
}

// True when every cluster of the range is free in $Bitmap.
static bool RangeFree(ntfs_volume* vol, std::int64_t lcn, std::int64_t count) {
    if (count == 0)
        return true;
    const std::int64_t first = lcn / 8, last = (lcn + count - 1) / 8;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(last - first + 1));
    const auto length = static_cast<s64>(bits.size());
    if (ntfs_attr_pread(vol->lcnbmp_na, first, length, bits.data()) != length)
        return false;
    for (std::int64_t c = lcn; c < lcn + count; ++c)
        if ((bits[static_cast<std::size_t>(c / 8 - first)] >> (c % 8)) & 1)
            return false;
    return true;
}

fs::NtStatus NtfsImageFileSystem::State::VolumeData(ntfs_volume* vol, void* out, std::uint32_t outLength,
                                                    std::uint32_t& bytes) {
    if (outLength < sizeof(fs::NTFS_VOLUME_DATA_BUFFER))
        return fs::kStatusBufferTooSmall;
    NTFS_BOOT_SECTOR boot{};
    if (ntfs_pread(vol->dev, 0, sizeof boot, &boot) != static_cast<s64>(sizeof boot))
        return fs::kStatusUnsuccessful;
    fs::NTFS_VOLUME_DATA_BUFFER data{};
    data.VolumeSerialNumber = static_cast<std::int64_t>(le64_to_cpu(boot.volume_serial_number));
    data.NumberSectors = sle64_to_cpu(boot.number_of_sectors);
    data.TotalClusters = vol->nr_clusters;
    data.FreeClusters = CountFree(vol);
    data.TotalReserved = 0;
    data.BytesPerSector = vol->sector_size;
    data.BytesPerCluster = vol->cluster_size;
    data.BytesPerFileRecordSegment = vol->mft_record_size;
    data.ClustersPerFileRecordSegment =
        vol->cluster_size >= vol->mft_record_size ? 0 : vol->mft_record_size / vol->cluster_size;
    data.MftValidDataLength = vol->mft_na->initialized_size;
    data.MftStartLcn = vol->mft_lcn;
    data.Mft2StartLcn = vol->mftmirr_lcn;
    data.MftZoneStart = vol->mft_zone_start;
    data.MftZoneEnd = std::max<std::int64_t>(vol->mft_zone_start, vol->mft_zone_end - 1);
    std::memcpy(out, &data, sizeof data);
    bytes = sizeof data;
    return fs::kStatusSuccess;
}

fs::NtStatus NtfsImageFileSystem::State::Bitmap(ntfs_volume* vol, const void* in, std::uint32_t inLength,
                                                void* out, std::uint32_t outLength, std::uint32_t& bytes) {
    if (inLength < sizeof(fs::STARTING_LCN_INPUT_BUFFER))
        return fs::kStatusInvalidParameter;
    std::int64_t start = 0;
    std::memcpy(&start, in, sizeof start);
    if (start < 0 || start >= vol->nr_clusters)
        return fs::kStatusInvalidParameter;
    if (outLength < fs::kVolumeBitmapHeaderSize)
        return fs::kStatusBufferTooSmall;
    start &= ~static_cast<std::int64_t>(7);
    const std::int64_t size = vol->nr_clusters - start;
    const auto need = static_cast<std::uint64_t>((size + 7) / 8);
    const std::uint64_t copy = std::min<std::uint64_t>(need, outLength - fs::kVolumeBitmapHeaderSize);
    auto* bits = static_cast<std::uint8_t*>(out) + fs::kVolumeBitmapHeaderSize;
    if (copy != 0 &&
        ntfs_attr_pread(vol->lcnbmp_na, start / 8, static_cast<s64>(copy), bits) != static_cast<s64>(copy))
        return fs::kStatusUnsuccessful;
    if (copy == need && size % 8 != 0)
        bits[copy - 1] &= static_cast<std::uint8_t>((1u << (size % 8)) - 1);
    Put(out, 0, start);
    Put(out, 8, size);
    bytes = static_cast<std::uint32_t>(fs::kVolumeBitmapHeaderSize + copy);
    return copy < need ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
}

fs::NtStatus NtfsImageFileSystem::State::Retrieval(ntfs_volume* vol, const HandleEntry& file, const void* in,
                                                   std::uint32_t inLength, void* out, std::uint32_t outLength,
                                                   std::uint32_t& bytes) {
    if (inLength < sizeof(fs::STARTING_VCN_INPUT_BUFFER))
        return fs::kStatusInvalidParameter;
    if (outLength < sizeof(fs::RETRIEVAL_POINTERS_BUFFER))
        return fs::kStatusBufferTooSmall;
    std::int64_t vcn = 0;
    std::memcpy(&vcn, in, sizeof vcn);
    if (vcn < 0)
        return fs::kStatusInvalidParameter;
    if (file.isVolume)
        return fs::kStatusEndOfFile;
    Inode ni(ntfs_inode_open(vol, file.mref));
    if (!ni)
        return fs::kStatusFileDeleted;
    Attr na = OpenData(ni.get(), file.stream);
    if (!na)
        return fs::kStatusEndOfFile;
    bool mapped = true;
    const std::vector<ImageRun>& runs = RunsOf(file.letter, file, na.get(), mapped);
    if (!mapped)
        return fs::kStatusUnsuccessful;
    if (vcn >= RunsEnd(runs))
        return fs::kStatusEndOfFile;
    auto run = std::upper_bound(runs.begin(), runs.end(), vcn,
                                [](std::int64_t v, const ImageRun& r) { return v < r.vcn + r.length; });
    const auto first = static_cast<std::size_t>(run - runs.begin());
    const std::size_t room = (outLength - fs::kRetrievalHeaderSize) / fs::kRetrievalPairSize;
    const std::size_t count = std::min(room, runs.size() - first);
    std::memset(out, 0, fs::kRetrievalHeaderSize);
    Put(out, 0, static_cast<std::uint32_t>(count));
    Put(out, 8, runs[first].vcn);
    for (std::size_t i = 0; i < count; ++i) {
        const ImageRun& r = runs[first + i];
        const std::size_t at = fs::kRetrievalHeaderSize + i * fs::kRetrievalPairSize;
        Put(out, at, r.vcn + r.length);
        Put(out, at + 8, r.lcn);
    }
    bytes = static_cast<std::uint32_t>(fs::kRetrievalHeaderSize + count * fs::kRetrievalPairSize);
    return first + count < runs.size() ? fs::kStatusBufferOverflow : fs::kStatusSuccess;
}

// Writes a runlist into the attribute (a fresh array the attribute owns) and its mapping pairs from the
// attribute extent holding `fromVcn` on: the pairs before it are unchanged and stay as they are.
static int WriteRunlist(ntfs_attr* na, const std::vector<ImageRun>& runs, std::int64_t fromVcn) {
    const std::size_t n = runs.size();
    auto* rl = static_cast<runlist_element*>(std::calloc(n + 1, sizeof(runlist_element)));
    if (rl == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        rl[i].vcn = runs[i].vcn;
        rl[i].lcn = runs[i].lcn < 0 ? static_cast<LCN>(LCN_HOLE) : runs[i].lcn;
        rl[i].length = runs[i].length;
    }
    rl[n].vcn = RunsEnd(runs);
    rl[n].lcn = static_cast<LCN>(LCN_ENOENT);
    rl[n].length = 0;
    std::free(na->rl);
    na->rl = rl;
    NAttrSetRunlistDirty(na);
    NAttrSetFullyMapped(na);
    return ntfs_attr_update_mapping_pairs(na, fromVcn);
}

// The first VCN whose run differs between two runlists of one stream (both start at VCN 0).
static std::int64_t FirstChange(const std::vector<ImageRun>& a, const std::vector<ImageRun>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (!(a[i] == b[i]))
            return std::min(a[i].vcn, b[i].vcn);
    return n == 0 ? 0 : (n < a.size() ? a[n].vcn : n < b.size() ? b[n].vcn : RunsEnd(a));
}

// Copies `count` clusters from `from` to `to` through the device.
static bool CopyClusters(ntfs_volume* vol, std::int64_t from, std::int64_t to, std::int64_t count,
                         std::vector<std::uint8_t>& buffer) {
    const std::int64_t chunk = std::max<std::int64_t>(1, kCopyChunkBytes / vol->cluster_size);
    buffer.resize(static_cast<std::size_t>(std::min(chunk, count) * vol->cluster_size));
    for (std::int64_t done = 0; done < count;) {
        const std::int64_t n = std::min(chunk, count - done);
        if (ntfs_cluster_read(vol, from + done, n, buffer.data()) != n)
            return false;
        if (ntfs_cluster_write(vol, to + done, n, buffer.data()) != n)
            return false;
        done += n;
    }
    return true;
}

// ---- Writing a move so that no interruption loses or changes data ----
//
// libntfs-3g writes what a runlist change touches in an order of its own: ntfs_attr_update_mapping_pairs
// frees an extent record it no longer needs (ntfs_mft_record_free writes it at once) while the base
// record whose attribute list still names it is written only when the inode is synced or closed, and
// clearing the old clusters in $Bitmap would reach the device before the inode that stops using them.
// Cut off between those writes, the volume has a file that names a freed record, or clusters that it
// uses and $Bitmap calls free. So none of the library's metadata writes of a move reach the device when
// it makes them: the device captures them (ImageDevice::BeginCapture) and the move writes them itself,
// in an order that is safe at every instant, after recording them outside the volume:
//   1. The move record (Intent) in the state directory, flushed with its directory. Nothing is on the
//      volume yet.
//   2. The data copied into the target clusters, which $Bitmap still shows free, and flushed. Cut off
//      here, nothing refers to those clusters: nothing to undo, nothing leaked.
//   3. The library does its work on the captured device: target clusters marked used, the new runlist
//      written (extent records allocated or freed, attribute list rewritten), old clusters cleared, the
//      inode synced and closed. Reads see the captured writes; the device has not changed.
//   4. The move record (Committed) with every captured unit's bytes before and after, flushed. From here
//      the next run can finish the move by writing the after-images again.
//   5. The units written in three flushed steps (see UnitKind): the union of old and new bitmaps and
//      any record coming into use; then the file's records; then the bitmaps as they end and the records
//      released. At no step is a cluster or record in use marked free, and an old cluster or extent record
//      is released only once the records that stopped using it are durable.
//   6. The move record removed (directory flushed): only after the last write of the move is durable.
// Where the move changes a file's base record together with its extent records or attribute list, 3's
// units are first rearranged so that one write of the base record switches the file (OneWriteSwitch):
// the new extent records and list go to free records and clusters in 5's first step. Where that cannot
// be arranged, a cut between 5's writes of several records of one file can leave them disagreeing until
// the next run, which finishes them from the committed record.

namespace {

// Where a non-resident attribute's bytes lie on the device.
struct ByteRun {
    std::int64_t offset, length, position;  // device offset, bytes, offset within the attribute
};

std::vector<ByteRun> DeviceRuns(ntfs_volume* vol, ntfs_attr* na) {
    std::vector<ByteRun> out;
    if (na == nullptr || !NAttrNonResident(na) || ntfs_attr_map_whole_runlist(na) != 0 || na->rl == nullptr)
        return out;
    for (const runlist_element* rl = na->rl; rl->length != 0; ++rl)
        if (rl->lcn >= 0)
            out.push_back(
                {rl->lcn * vol->cluster_size, rl->length * vol->cluster_size, rl->vcn * vol->cluster_size});
    return out;
}

const ByteRun* FindRun(const std::vector<ByteRun>& runs, std::int64_t offset) {
    for (const ByteRun& r : runs)
        if (offset >= r.offset && offset < r.offset + r.length)
            return &r;
    return nullptr;
}

bool RecordInUse(const std::vector<std::uint8_t>& unit) {
    if (unit.size() < 0x18 || std::memcmp(unit.data(), "FILE", 4) != 0)
        return false;
    std::uint16_t flags = 0;
    std::memcpy(&flags, unit.data() + 0x16, 2);
    return (le16_to_cpu(flags) & 0x0001) != 0;
}

// Sorts the captured units into the steps that write them (see UnitKind).
std::vector<RecordUnit> Classify(ntfs_volume* vol, std::vector<CapturedUnit> captured) {
    const std::vector<ByteRun> bitmap = DeviceRuns(vol, vol->lcnbmp_na);
    const std::vector<ByteRun> mftBitmap = DeviceRuns(vol, vol->mftbmp_na);
    const std::vector<ByteRun> mft = DeviceRuns(vol, vol->mft_na);
    std::vector<RecordUnit> units;
    std::map<std::int64_t, std::vector<std::size_t>> records;  // record number -> its units
    std::map<std::int64_t, UnitKind> recordKind;
    for (CapturedUnit& c : captured) {
        RecordUnit u;
        u.offset = c.offset;
        u.before = std::move(c.before);
        u.after = std::move(c.after);
        if (FindRun(bitmap, u.offset) != nullptr || FindRun(mftBitmap, u.offset) != nullptr) {
            u.kind = UnitKind::Bitmap;
        } else if (const ByteRun* r = FindRun(mft, u.offset)) {
            const std::int64_t position = r->position + (u.offset - r->offset);
            const std::int64_t record = position / vol->mft_record_size;
            records[record].push_back(units.size());
            if (position % vol->mft_record_size == 0) {
                const bool was = RecordInUse(u.before), is = RecordInUse(u.after);
                recordKind[record] = !was && is   ? UnitKind::NewRecord
                                     : was && !is ? UnitKind::FreedRecord
                                                  : UnitKind::Other;
            }
        }
        units.push_back(std::move(u));
    }
    for (const auto& [record, members] : records) {
        auto kind = recordKind.find(record);
        if (kind != recordKind.end())
            for (std::size_t i : members)
                units[i].kind = kind->second;
    }
    return units;
}

// Writes the units in their three steps, each flushed before the next. `read` gives a unit's current
// bytes (for the union of bitmaps). Neighbouring units of a step go in one write, so that a record (two
// units of 512 bytes) is never written in halves that a kill could separate.
template <typename Read, typename Write, typename Flush>
bool WriteUnits(const std::vector<RecordUnit>& units, Read read, Write write, Flush flush) {
    std::int64_t start = -1;
    std::vector<std::uint8_t> pending;
    bool any = false;
    auto put = [&](std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
        if (start >= 0 && offset == start + static_cast<std::int64_t>(pending.size())) {
            pending.insert(pending.end(), bytes.begin(), bytes.end());
            return true;
        }
        if (start >= 0 && !write(start, pending))
            return false;
        start = offset;
        pending = bytes;
        any = true;
        return true;
    };
    auto step = [&] {
        if (start >= 0 && !write(start, pending))
            return false;
        start = -1;
        pending.clear();
        const bool flushNeeded = any;
        any = false;
        return !flushNeeded || flush();
    };
    // Units come sorted by offset.
    std::vector<std::uint8_t> current(ImageDevice::kUnit);
    for (const RecordUnit& u : units) {
        if (u.kind == UnitKind::Bitmap) {
            if (!read(u.offset, current))
                return false;
            for (std::size_t i = 0; i < current.size(); ++i)
                current[i] = static_cast<std::uint8_t>(current[i] | u.after[i]);
            if (!put(u.offset, current))
                return false;
        } else if (u.kind == UnitKind::NewRecord && !put(u.offset, u.after)) {
            return false;
        }
    }
    if (!step())
        return false;
    for (const RecordUnit& u : units)
        if (u.kind == UnitKind::Other && !put(u.offset, u.after))
            return false;
    if (!step())
        return false;
    for (const RecordUnit& u : units)
        if ((u.kind == UnitKind::Bitmap || u.kind == UnitKind::FreedRecord) && !put(u.offset, u.after))
            return false;
    return step();
}

}  // namespace

// ---- One write that switches a file to its new extent records ----
//
// A move of a file with an attribute list may change its base record, its attribute list (which extent
// record holds which VCNs, from which VCN on) and extent records (their mapping pairs and ranges)
// together. No order of those writes keeps the file readable in between: the list and the extents'
// ranges must agree, and a kill or a power cut can fall between two writes. So the changed extent
// records are not rewritten in place: their new contents go into free MFT records, and the list, pointed
// at those, into the base record (a resident list) or into free clusters (a list of its own clusters,
// whose runlist in the base record then names them). All of that is written in the first step, taken
// into use but named by nothing yet; the one write of the base record in the second step then switches
// the file from the old extent records and list clusters to the new ones; the old ones are released in
// the third step, once that base record is durable. A record fits in one page, so not even a kill can
// split its write. When this cannot be arranged (no free record or clusters, a list in several runs, a
// runlist that does not fit where the old one was), the units stay as the library wrote them, and a cut
// between their writes is repaired by the next run.
namespace {

constexpr std::int64_t kUnitSize = ImageDevice::kUnit;

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(Le16(p)) | (static_cast<std::uint32_t>(Le16(p + 2)) << 16);
}
std::uint64_t Le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Le32(p)) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}
void PutLe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The next sequence number of a record (0 is never used).
std::uint16_t NextSequence(std::uint16_t sequence) {
    return sequence == 0xFFFF || sequence == 0 ? 1 : static_cast<std::uint16_t>(sequence + 1);
}

// The runs of a non-resident attribute record's mapping pairs; false when they cannot be read or hold a
// hole.
bool DecodePairs(const std::uint8_t* attribute, std::uint32_t length, std::vector<ImageRun>& runs) {
    std::uint32_t at = Le16(attribute + 0x20);
    std::int64_t vcn = 0, lcn = 0;
    runs.clear();
    while (at < length && attribute[at] != 0) {
        const int lengthBytes = attribute[at] & 0x0F, lcnBytes = attribute[at] >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || lcnBytes == 0 || lcnBytes > 8 ||
            at + 1 + lengthBytes + lcnBytes > length)
            return false;
        std::uint64_t count = 0, delta = 0;
        for (int i = lengthBytes - 1; i >= 0; --i)
            count = (count << 8) | attribute[at + 1 + i];
        for (int i = lcnBytes - 1; i >= 0; --i)
            delta = (delta << 8) | attribute[at + 1 + lengthBytes + i];
        if (lcnBytes < 8 && (attribute[at + lengthBytes + lcnBytes] & 0x80))  // a negative LCN delta
            delta -= std::uint64_t{1} << (8 * lcnBytes);
        lcn += static_cast<std::int64_t>(delta);
        if (count == 0 || count > (std::uint64_t{1} << 62) || lcn < 0)
            return false;
        runs.push_back({vcn, lcn, static_cast<std::int64_t>(count)});
        vcn += static_cast<std::int64_t>(count);
        at += 1 + lengthBytes + lcnBytes;
    }
    return !runs.empty();
}

// The fewest bytes that hold `v` as a signed little-endian number.
int SignedBytes(std::int64_t v) {
    int n = 1;
    while (n < 8 && (v < -(std::int64_t{1} << (8 * n - 1)) || v >= (std::int64_t{1} << (8 * n - 1))))
        ++n;
    return n;
}

class OneWriteSwitch {
  public:
    OneWriteSwitch(ntfs_volume* vol, ImageDevice& device, std::vector<RecordUnit>& units)
        : vol_(vol), device_(device), units_(units), work_(units) {
        recordSize_ = vol->mft_record_size;
        mft_ = DeviceRuns(vol, vol->mft_na);
        bitmap_ = DeviceRuns(vol, vol->lcnbmp_na);
        mftBitmap_ = DeviceRuns(vol, vol->mftbmp_na);
        for (std::size_t i = 0; i < units.size(); ++i)
            if (const ByteRun* r = FindRun(mft_, units[i].offset))
                byRecord_[(r->position + (units[i].offset - r->offset)) / recordSize_].push_back(i);
    }

    bool Run(std::int64_t base);

  private:
    std::int64_t OffsetOf(std::int64_t record) const {
        const std::int64_t position = record * recordSize_;
        for (const ByteRun& r : mft_)
            if (position >= r.position && position + recordSize_ <= r.position + r.length)
                return r.offset + (position - r.position);
        return -1;
    }
    // Bytes of the device before the move (`after` false) or after it, as the library left them.
    bool Bytes(std::int64_t offset, std::int64_t length, bool after, std::vector<std::uint8_t>& bytes) {
        bytes.assign(static_cast<std::size_t>(length), 0);
        if (offset < 0 || !device_.Read(offset, bytes.data(), length))
            return false;
        for (const RecordUnit& u : units_)
            if (u.offset >= offset && u.offset + kUnitSize <= offset + length)
                std::memcpy(bytes.data() + (u.offset - offset), (after ? u.after : u.before).data(),
                            kUnitSize);
        return true;
    }
    // Units that write `bytes` at `offset` (those that change something), replacing what the units there
    // did; unit-aligned.
    bool Place(std::int64_t offset, const std::vector<std::uint8_t>& bytes, UnitKind kind) {
        for (std::size_t at = 0; at < bytes.size(); at += kUnitSize) {
            const std::int64_t unitAt = offset + static_cast<std::int64_t>(at);
            replaced_.insert(unitAt);
            RecordUnit unit;
            unit.offset = unitAt;
            unit.kind = kind;
            unit.before.resize(kUnitSize);
            if (!device_.Read(unitAt, unit.before.data(), kUnitSize))
                return false;
            unit.after.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + kUnitSize));
            if (unit.after != unit.before)
                placed_.push_back(std::move(unit));
        }
        return true;
    }
    // Sets or clears a bit of a bitmap (clusters or MFT records) in the after-image of its unit.
    bool SetBit(const std::vector<ByteRun>& runs, std::int64_t bit, bool used) {
        const std::int64_t position = bit / 8;
        for (const ByteRun& r : runs) {
            if (position < r.position || position >= r.position + r.length)
                continue;
            const std::int64_t at = r.offset + (position - r.position), unitAt = at / kUnitSize * kUnitSize;
            RecordUnit* unit = nullptr;
            for (RecordUnit& u : work_)
                if (u.offset == unitAt)
                    unit = &u;
            if (unit == nullptr) {
                RecordUnit fresh;
                fresh.offset = unitAt;
                fresh.kind = UnitKind::Bitmap;
                fresh.before.resize(kUnitSize);
                if (!device_.Read(unitAt, fresh.before.data(), kUnitSize))
                    return false;
                fresh.after = fresh.before;
                work_.push_back(std::move(fresh));
                unit = &work_.back();
            }
            if (unit->kind != UnitKind::Bitmap)
                return false;
            std::uint8_t& byte = unit->after[static_cast<std::size_t>(at - unitAt)];
            const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
            byte = used ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
            return true;
        }
        return false;
    }
    // The byte of a bitmap (clusters or MFT records) at `position`, as the union of before and after the
    // move: a bit clear in it is free throughout. 0xFF when it cannot be read.
    std::uint8_t UsedByte(const std::vector<ByteRun>& runs, std::int64_t position) {
        for (const ByteRun& r : runs) {
            if (position < r.position || position >= r.position + r.length)
                continue;
            const std::int64_t at = r.offset + (position - r.position);
            // The device read a block at a time: a search may look at many bytes.
            const std::int64_t block = std::max(r.offset, at / 4096 * 4096);
            auto cached = blocks_.find(block);
            if (cached == blocks_.end()) {
                const std::int64_t length =
                    std::min<std::int64_t>(4096 - block % 4096, r.offset + r.length - block);
                std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
                if (!device_.Read(block, bytes.data(), length))
                    return 0xFF;
                cached = blocks_.emplace(block, std::move(bytes)).first;
            }
            if (at - block >= static_cast<std::int64_t>(cached->second.size()))
                return 0xFF;
            std::uint8_t used = cached->second[static_cast<std::size_t>(at - block)];
            for (const RecordUnit& u : work_)
                if (at >= u.offset && at < u.offset + kUnitSize)
                    used = static_cast<std::uint8_t>(used | u.after[static_cast<std::size_t>(at - u.offset)]);
            return used;
        }
        return 0xFF;
    }
    // True when the bit is clear both before and after the move.
    bool Free(const std::vector<ByteRun>& runs, std::int64_t bit) {
        return (UsedByte(runs, bit / 8) >> (bit % 8) & 1) == 0;
    }
    // A run of `count` clusters free before and after the move, searched from `near` on (and round).
    std::int64_t FreeClusters(std::int64_t count, std::int64_t near) {
        const std::int64_t total = vol_->nr_clusters;
        std::int64_t run = 0, start = 0, lcn = near % total;
        for (std::int64_t looked = 0; looked < total + count;) {
            if (lcn >= total) {
                lcn = 0;
                run = 0;
            }
            const std::uint8_t used = UsedByte(bitmap_, lcn / 8);
            if (used == 0xFF) {  // eight clusters in use (or past the end)
                looked += 8 - lcn % 8;
                lcn = (lcn / 8 + 1) * 8;
                run = 0;
                continue;
            }
            if ((used >> (lcn % 8)) & 1) {
                run = 0;
            } else {
                if (run == 0)
                    start = lcn;
                if (++run == count)
                    return start;
            }
            ++lcn;
            ++looked;
        }
        return -1;
    }

    ntfs_volume* vol_;
    ImageDevice& device_;
    std::vector<RecordUnit>& units_;
    std::vector<RecordUnit> work_;  // the units with the bitmaps' changes; replaces units_ on success
    std::vector<RecordUnit> placed_;
    std::set<std::int64_t> replaced_;
    std::int64_t recordSize_ = 0;
    std::vector<ByteRun> mft_, bitmap_, mftBitmap_;
    std::map<std::int64_t, std::vector<std::size_t>> byRecord_;
    std::map<std::int64_t, std::vector<std::uint8_t>> blocks_;  // device blocks read by Free
};

bool OneWriteSwitch::Run(std::int64_t base) {
    // $MFT's own record changes when the library extended $MFT in this move: the records it added exist
    // only once that record is written, a write of its own; such a move is left as it is.
    if (recordSize_ % kUnitSize != 0 || recordSize_ > 4096 || OffsetOf(base) < 0 ||
        byRecord_.count(FILE_MFT) != 0)
        return false;
    auto it = byRecord_.find(base);
    if (it != byRecord_.end())
        for (std::size_t i : it->second)
            if (units_[i].kind != UnitKind::Other)
                return false;
    // The extent records of the file that stay in use and change.
    std::vector<std::int64_t> changed;
    for (const auto& [record, members] : byRecord_) {
        if (record == base || record < FILE_first_user || units_[members[0]].kind != UnitKind::Other)
            continue;  // records coming into use or released are written before or after the base already
        std::vector<std::uint8_t> after;
        // The record's own number (at 0x2C) exists from NTFS 3.1 on, where the update sequence follows it.
        if (!Bytes(OffsetOf(record), recordSize_, true, after) || std::memcmp(after.data(), "FILE", 4) != 0 ||
            Le16(after.data() + 4) < 0x30 ||
            static_cast<std::int64_t>(MREF(Le64(after.data() + 0x20))) != base)
            return false;  // another file's record changed too: leave the units as they are
        changed.push_back(record);
    }
    // The base record after the move, its update sequence undone, and its attribute list.
    std::vector<std::uint8_t> baseAfter;
    if (!Bytes(OffsetOf(base), recordSize_, true, baseAfter))
        return false;
    auto* header = reinterpret_cast<NTFS_RECORD*>(baseAfter.data());
    if (ntfs_mst_post_read_fixup(header, static_cast<u32>(recordSize_)) != 0)
        return false;
    std::uint8_t* attribute = nullptr;
    std::uint32_t attributeLength = 0;
    for (std::uint32_t at = Le16(baseAfter.data() + 0x14); at + 8 <= recordSize_;) {
        const std::uint32_t type = Le32(baseAfter.data() + at), length = Le32(baseAfter.data() + at + 4);
        if (type == 0xFFFFFFFFu || length < 0x18 || at + length > recordSize_)
            break;
        if (type == 0x20) {  // $ATTRIBUTE_LIST
            attribute = baseAfter.data() + at;
            attributeLength = length;
            break;
        }
        at += length;
    }
    if (attribute == nullptr)
        return false;
    const bool resident = attribute[8] == 0;
    std::vector<std::uint8_t> listBytes;  // a non-resident list's content after the move
    std::vector<ImageRun> listRuns, listRunsBefore;
    std::int64_t listLength = 0;
    std::uint8_t* list = nullptr;
    const std::int64_t cluster = vol_->cluster_size;
    bool listChanged = false;
    if (resident) {
        listLength = Le32(attribute + 0x10);
        if (Le16(attribute + 0x14) + listLength > attributeLength)
            return false;
        list = attribute + Le16(attribute + 0x14);
        if (changed.empty())
            return false;  // the base record alone: one write already
    } else {
        if (attributeLength < 0x40 || !DecodePairs(attribute, attributeLength, listRuns))
            return false;
        listLength = static_cast<std::int64_t>(Le64(attribute + 0x30));
        // The list's clusters before the move, from the base record as it is on the device.
        std::vector<std::uint8_t> baseBefore;
        if (!Bytes(OffsetOf(base), recordSize_, false, baseBefore) ||
            ntfs_mst_post_read_fixup(reinterpret_cast<NTFS_RECORD*>(baseBefore.data()),
                                     static_cast<u32>(recordSize_)) != 0)
            return false;
        for (std::uint32_t at = Le16(baseBefore.data() + 0x14); at + 8 <= recordSize_;) {
            const std::uint32_t type = Le32(baseBefore.data() + at),
                                length = Le32(baseBefore.data() + at + 4);
            if (type == 0xFFFFFFFFu || length < 0x18 || at + length > recordSize_)
                break;
            if (type == 0x20 &&
                (baseBefore[at + 8] == 0 || !DecodePairs(baseBefore.data() + at, length, listRunsBefore)))
                return false;
            at += length;
        }
        if (listRunsBefore.empty())
            return false;
        // Its content after the move; and whether the move wrote to its clusters.
        for (const ImageRun& r : listRuns) {
            std::vector<std::uint8_t> piece;
            if (!Bytes(r.lcn * cluster, r.length * cluster, true, piece))
                return false;
            listBytes.insert(listBytes.end(), piece.begin(), piece.end());
            for (const RecordUnit& u : units_)
                listChanged =
                    listChanged || (u.offset >= r.lcn * cluster && u.offset < (r.lcn + r.length) * cluster);
        }
        if (listLength > static_cast<std::int64_t>(listBytes.size()))
            return false;
        list = listBytes.data();
        if (changed.empty() && !listChanged)
            return false;  // the base record alone: one write already
    }
    // Free records for the extent records' new contents: free in $MFT's bitmap before and after, in
    // the initialized part of $MFT, past the records the volume keeps for itself, not touched by the move.
    const std::int64_t records = vol_->mft_na->initialized_size / recordSize_;
    std::map<std::int64_t, std::int64_t> shadowOf;
    std::int64_t candidate = 24;
    for (std::int64_t record : changed) {
        for (; candidate < records; ++candidate)
            if (byRecord_.count(candidate) == 0 && OffsetOf(candidate) >= 0 && Free(mftBitmap_, candidate))
                break;
        if (candidate >= records)
            return false;
        shadowOf[record] = candidate++;
    }
    // The new extent records, each with its number and a new sequence number; the list pointed at them.
    std::map<std::int64_t, std::uint16_t> sequenceOf;
    for (const auto& [record, shadow] : shadowOf) {
        std::vector<std::uint8_t> now, after;
        if (!Bytes(OffsetOf(shadow), recordSize_, false, now) ||
            !Bytes(OffsetOf(record), recordSize_, true, after))
            return false;
        const std::uint16_t sequence =
            NextSequence(std::memcmp(now.data(), "FILE", 4) == 0 ? Le16(now.data() + 0x10) : 0);
        sequenceOf[record] = sequence;
        // Header fields, away from the sectors' last two bytes: the update sequence stays valid.
        PutLe(after.data() + 0x10, sequence, 2);
        PutLe(after.data() + 0x2C, static_cast<std::uint64_t>(shadow), 4);
        if (!Place(OffsetOf(shadow), after, UnitKind::NewRecord) || !SetBit(mftBitmap_, shadow, true))
            return false;
    }
    for (std::int64_t at = 0; at + 0x1A <= listLength;) {
        std::uint8_t* entry = list + at;
        const std::uint16_t length = Le16(entry + 4);
        if (length < 0x1A || at + length > listLength)
            return false;
        auto shadow = shadowOf.find(static_cast<std::int64_t>(MREF(Le64(entry + 0x10))));
        if (shadow != shadowOf.end())
            PutLe(entry + 0x10,
                  MK_MREF(static_cast<std::uint64_t>(shadow->second), sequenceOf[shadow->first]), 8);
        at += length;
    }
    if (!resident) {
        // The list into free clusters of one run, its runlist in the base record naming them; the
        // clusters it had before and those the library gave it are released.
        const std::int64_t count = static_cast<std::int64_t>(listBytes.size()) / cluster;
        const std::int64_t lcn = FreeClusters(count, listRunsBefore[0].lcn);
        if (lcn < 0)
            return false;
        const int lengthBytes = SignedBytes(count), lcnBytes = SignedBytes(lcn);
        const std::uint32_t pairs = Le16(attribute + 0x20);
        if (pairs + 2u + static_cast<std::uint32_t>(lengthBytes + lcnBytes) > attributeLength)
            return false;  // the runlist would not fit where the old one is
        std::memset(attribute + pairs, 0, attributeLength - pairs);
        attribute[pairs] = static_cast<std::uint8_t>(lengthBytes | (lcnBytes << 4));
        PutLe(attribute + pairs + 1, static_cast<std::uint64_t>(count), lengthBytes);
        PutLe(attribute + pairs + 1 + lengthBytes, static_cast<std::uint64_t>(lcn), lcnBytes);
        PutLe(attribute + 0x18, static_cast<std::uint64_t>(count - 1), 8);  // highest VCN
        if (!Place(lcn * cluster, listBytes, UnitKind::NewRecord))
            return false;
        for (std::int64_t c = 0; c < count; ++c)
            if (!SetBit(bitmap_, lcn + c, true))
                return false;
        for (const std::vector<ImageRun>* runs : {&listRuns, &listRunsBefore})
            for (const ImageRun& r : *runs)
                for (std::int64_t c = 0; c < r.length; ++c) {
                    if (!SetBit(bitmap_, r.lcn + c, false))
                        return false;
                    // What the library wrote into the list's clusters is not written.
                    for (std::int64_t u = 0; u < cluster; u += kUnitSize)
                        replaced_.insert((r.lcn + c) * cluster + u);
                }
    }
    if (ntfs_mst_pre_write_fixup(header, static_cast<u32>(recordSize_)) != 0 ||
        !Place(OffsetOf(base), baseAfter, UnitKind::Other))
        return false;
    // The old extent records released: the in-use flag cleared and the sequence number advanced, as the
    // library frees a record (header fields in the first sector: the update sequence stays valid).
    for (const auto& [record, shadow] : shadowOf) {
        std::vector<std::uint8_t> freed;
        if (!Bytes(OffsetOf(record), recordSize_, false, freed))
            return false;
        PutLe(freed.data() + 0x10, NextSequence(Le16(freed.data() + 0x10)), 2);
        PutLe(freed.data() + 0x16, Le16(freed.data() + 0x16) & ~0x0001u, 2);
        if (!Place(OffsetOf(record), freed, UnitKind::FreedRecord) || !SetBit(mftBitmap_, record, false))
            return false;
    }
    std::vector<RecordUnit> out = std::move(placed_);
    for (RecordUnit& u : work_)
        if (replaced_.count(u.offset) == 0)
            out.push_back(std::move(u));
    std::sort(out.begin(), out.end(),
              [](const RecordUnit& a, const RecordUnit& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < out.size(); ++i)
        if (out[i].offset == out[i - 1].offset)
            return false;
    units_ = std::move(out);
    return true;
}

}  // namespace

fs::NtStatus NtfsImageFileSystem::State::Move(Image& image, const HandleEntry& file,
                                              const fs::MOVE_FILE_DATA& move) {
    ntfs_volume* vol = image.vol;
    // After a (simulated) power cut nothing more happens, in the state directory either.
    if (image.device->PowerCut())
        return fs::kStatusUnsuccessful;
    Inode ni(ntfs_inode_open(vol, file.mref));
    if (!ni)
        return fs::kStatusFileDeleted;
    if (move.StartingVcn < 0 || move.StartingLcn < 0 || move.ClusterCount == 0)
        return fs::kStatusInvalidParameter;
    if (file.system || NVolReadOnly(vol))
        return fs::kStatusAccessDenied;
    Attr na = OpenData(ni.get(), file.stream);
    if (!na || !NAttrNonResident(na.get()))
        return fs::kStatusInvalidParameter;  // no allocation: every VCN lies past its end
    bool mapped = true;
    const std::vector<ImageRun> runs = RunsOf(file.letter, file, na.get(), mapped);
    if (!mapped)
        return fs::kStatusUnsuccessful;
    const std::int64_t end = RunsEnd(runs);
    if (move.StartingVcn >= end)
        return fs::kStatusInvalidParameter;
    std::int64_t vStart = move.StartingVcn;
    std::int64_t vEnd = std::min<std::int64_t>(end, vStart + static_cast<std::int64_t>(move.ClusterCount));
    const std::int64_t unit = na->compression_block_clusters;
    if ((na->data_flags & (ATTR_COMPRESSION_MASK | ATTR_IS_SPARSE)) != 0 && unit > 1) {
        vStart = vStart / unit * unit;
        vEnd = std::min(end, (vEnd + unit - 1) / unit * unit);
    }
    // The allocated pieces of the range, in VCN order, and the new runlist with them laid from the target.
    std::vector<ClusterRange> pieces;
    std::vector<ImageRun> moved;
    std::int64_t clusters = 0;
    for (const ImageRun& r : runs) {
        const std::int64_t a = std::max(r.vcn, vStart), b = std::min(r.vcn + r.length, vEnd);
        if (r.lcn < 0 || a >= b) {
            moved.push_back(r);
            continue;
        }
        if (r.vcn < a)
            moved.push_back({r.vcn, r.lcn, a - r.vcn});
        pieces.push_back({r.lcn + (a - r.vcn), b - a});
        moved.push_back({a, move.StartingLcn + clusters, b - a});
        clusters += b - a;
        if (b < r.vcn + r.length)
            moved.push_back({b, r.lcn + (b - r.vcn), r.vcn + r.length - b});
    }
    if (move.StartingLcn > vol->nr_clusters || clusters > vol->nr_clusters - move.StartingLcn)
        return fs::kStatusInvalidParameter;
    if (clusters == 0)
        return fs::kStatusSuccess;  // only holes in the range: nothing to carry
    if (!RangeFree(vol, move.StartingLcn, clusters))
        return fs::kStatusAlreadyCommitted;
    Normalize(moved);

    ImageDevice& device = *image.device;
    MoveRecord record;
    record.serial = image.serial;
    record.totalClusters = vol->nr_clusters;
    record.clusterSize = vol->cluster_size;
    record.image = image.records != nullptr ? image.records->RealImage() : image.path;
    record.file = ToUtf8(file.path);
    record.mref = file.mref;
    record.startVcn = vStart;
    record.targetLcn = move.StartingLcn;
    record.clusters = clusters;
    record.sources = pieces;
    // The data's hash, read before anything is written: the next run compares it with what the
    // clusters hold to know the volume is still the one this record describes.
    std::vector<std::uint8_t> buffer;
    const std::int64_t chunk = std::max<std::int64_t>(1, kCopyChunkBytes / vol->cluster_size);
    std::uint64_t hash = Fnv(nullptr, 0);
    for (const ClusterRange& p : pieces)
        for (std::int64_t done = 0; done < p.length;) {
            const std::int64_t n = std::min(chunk, p.length - done);
            buffer.resize(static_cast<std::size_t>(n * vol->cluster_size));
            if (ntfs_cluster_read(vol, p.lcn + done, n, buffer.data()) != n)
                return fs::kStatusUnsuccessful;
            hash = Fnv(buffer.data(), buffer.size(), hash);
            done += n;
        }
    record.dataHash = hash;
    const bool recorded = image.records != nullptr;
    if (recorded) {
        // 1. The intent, durable before the first write to the volume.
        record.phase = MoveRecord::Intent;
        if (const std::string error = image.records->Write(image.records->MovePath(), EncodeMove(record));
            !error.empty()) {
            // Without its record no move may start (a full disk under the state directory, say): this one
            // is refused before anything is written, and so is every later one.
            image.stopReason = "cannot record a move (" + error + "): no move was started after that";
            image.notices.push_back(image.stopReason);
            stopAfterMove = true;
            return fs::kStatusUnsuccessful;
        }
    }
    // The record goes once the move is durable or came to nothing; after a (simulated) power cut the
    // process is taken to be gone, so the record stays for the next run.
    auto forget = [&] {
        if (recorded && !device.PowerCut())
            image.records->Remove(image.records->MovePath());
    };
    // 2. The copy, into clusters $Bitmap shows free, made durable.
    std::int64_t target = move.StartingLcn;
    for (const ClusterRange& p : pieces) {
        if (!CopyClusters(vol, p.lcn, target, p.length, buffer)) {
            forget();
            return fs::kStatusUnsuccessful;
        }
        target += p.length;
    }
    if (!device.Flush()) {
        forget();
        return fs::kStatusUnsuccessful;
    }
    // 3. The library's metadata writes, captured. A failure puts the old runlist back and gives the
    // target back, also captured: what is written then is the file as it was.
    fs::NtStatus status = fs::kStatusSuccess;
    device.BeginCapture();
    if (ntfs_bitmap_set_run(vol->lcnbmp_na, move.StartingLcn, clusters) != 0) {
        status = fs::kStatusUnsuccessful;
    } else if (WriteRunlist(na.get(), moved, FirstChange(runs, moved)) != 0) {
        status = errno == ENOSPC ? fs::kStatusDiskFull : fs::kStatusUnsuccessful;
        WriteRunlist(na.get(), runs, FirstChange(runs, moved));
        ntfs_bitmap_clear_run(vol->lcnbmp_na, move.StartingLcn, clusters);
    } else {
        for (const ClusterRange& p : pieces)
            ntfs_bitmap_clear_run(vol->lcnbmp_na, p.lcn, p.length);
    }
    na.reset();
    if (ntfs_inode_close(ni.release()) != 0 && status == fs::kStatusSuccess)
        status = fs::kStatusUnsuccessful;
    // $MFT's own record changes when the library extended it for a new extent record.
    if (vol->mft_ni != nullptr && NInoDirty(vol->mft_ni))
        ntfs_inode_sync(vol->mft_ni);
    if (vol->lcnbmp_ni != nullptr && NInoDirty(vol->lcnbmp_ni))
        ntfs_inode_sync(vol->lcnbmp_ni);
    record.units = Classify(vol, device.EndCapture());
    // One write of the base record switches the file to its new extent records and list, if it can be
    // arranged (see OneWriteSwitch).
    if (image.oneWriteSwitch &&
        OneWriteSwitch(vol, device, record.units).Run(static_cast<std::int64_t>(MREF(file.mref))))
        ++image.counters.oneWriteSwitches;
    // The stream's runlist is now `moved`, or after a failure whatever the library left: read afresh.
    cached.valid = false;
    if (status == fs::kStatusSuccess) {
        cached.runs = std::move(moved);
        cached.valid = true;
    }
    ++image.counters.moves;
    for (const RecordUnit& u : record.units) {
        image.counters.recordsTaken += u.kind == UnitKind::NewRecord && u.offset % vol->mft_record_size == 0;
        image.counters.recordsReleased +=
            u.kind == UnitKind::FreedRecord && u.offset % vol->mft_record_size == 0;
    }
    if (device.PowerCut())
        return fs::kStatusUnsuccessful;
    // 4. The committed record: from here the next run finishes the move.
    if (recorded) {
        record.phase = MoveRecord::Committed;
        if (const std::string error = image.records->Write(image.records->MovePath(), EncodeMove(record));
            !error.empty()) {
            // Writing the units without this record would leave the intent in force, which tells the next
            // run that nothing was written: a cut in the middle would then go unrepaired. So the move is
            // abandoned: nothing of its metadata reaches the volume (the copy lies in clusters $Bitmap
            // still shows free), the intent, which now says exactly that, goes, and no further move
            // starts. The library's view holds the move and must never be written back (Release).
            image.abandoned = true;
            image.stopReason = "cannot record a move (" + error +
                               "): that move was abandoned before it changed the volume, and no move was "
                               "started after it";
            image.notices.push_back(image.stopReason);
            stopAfterMove = true;
            cached.valid = false;
            forget();
            return fs::kStatusUnsuccessful;
        }
    }
    // 5. The units, in their three flushed steps.
    const bool written = WriteUnits(
        record.units,
        [&](std::int64_t offset, std::vector<std::uint8_t>& bytes) {
            return device.Read(offset, bytes.data(), ImageDevice::kUnit);
        },
        [&](std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
            return device.Write(offset, bytes.data(), static_cast<std::int64_t>(bytes.size()));
        },
        [&] { return device.Flush(); });
    if (!written)
        return fs::kStatusUnsuccessful;  // the record stays: the next run finishes the move
    // 6. Done and durable: the record goes.
    forget();
    return status;
}

// ---------------------------------------------------------------------------------------------------

std::string MountedReason(const std::string& image) {
    char* real = realpath(image.c_str(), nullptr);
    if (real == nullptr)
        return image + ": " + std::strerror(errno);
    const std::string resolved = real;
    std::free(real);
    struct stat imageStat {};
    if (stat(resolved.c_str(), &imageStat) != 0)
        return image + ": " + std::strerror(errno);
    // A source in the mount table that is the image itself, the same block device, or a loop device
    // whose backing file is the image.
    std::ifstream mounts("/proc/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target;
        fields >> source >> target;
        if (source.empty() || source[0] != '/')
            continue;
        struct stat sourceStat {};
        if (stat(source.c_str(), &sourceStat) != 0)
            continue;
        const bool sameFile = sourceStat.st_dev == imageStat.st_dev && sourceStat.st_ino == imageStat.st_ino;
        const bool sameDevice = S_ISBLK(imageStat.st_mode) && S_ISBLK(sourceStat.st_mode) &&
                                sourceStat.st_rdev == imageStat.st_rdev;
        bool backing = false;
        if (!sameFile && !sameDevice && source.rfind("/dev/loop", 0) == 0) {
            std::ifstream file("/sys/block/" + source.substr(5) + "/loop/backing_file");
            std::string backingPath;
            std::getline(file, backingPath);
            backing = !backingPath.empty() && backingPath == resolved;
        }
        if (sameFile || sameDevice || backing)
            return image + " is mounted on " + target;
    }
    unsigned long flags = 0;
    if (ntfs_check_if_mounted(resolved.c_str(), &flags) == 0 && (flags & NTFS_MF_MOUNTED) != 0)
        return image + " is mounted";
    return {};
}

std::string ImageSizeReason(const std::string& image, std::int64_t volumeBytes) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return image + ": " + std::strerror(errno);
    struct stat st {};
    std::int64_t size = -1;
    if (fstat(fd, &st) == 0) {
        if (S_ISBLK(st.st_mode)) {
            std::uint64_t bytes = 0;
            if (ioctl(fd, BLKGETSIZE64, &bytes) == 0)
                size = static_cast<std::int64_t>(bytes);
        } else {
            size = st.st_size;
        }
    }
    close(fd);
    if (size < 0 || size >= volumeBytes)
        return {};
    return image + " is shorter than the NTFS volume on it (" + std::to_string(size) +
           " bytes, the volume needs " + std::to_string(volumeBytes) +
           "): a truncated copy or a partition smaller than its file system; "
           "nothing is read or written";
}

std::string MountFailureReason(const std::string& image, int error) {
    switch (error) {
        case EPERM:
            return image +
                   ": Windows is hibernated on this volume (or Fast Startup left it in use); it must not be "
                   "changed now. Boot Windows and shut it down fully (hold Shift while choosing Shut down), "
                   "or "
                   "disable Fast Startup in Windows, then try again";
        case EOPNOTSUPP:
            return image +
                   ": the volume's $LogFile is unclean: Windows did not shut down cleanly (Fast Startup does "
                   "this). Boot Windows and shut it down fully (hold Shift while choosing Shut down), or "
                   "disable "
                   "Fast Startup, then try again";
        case EBUSY:
            return image +
                   ": in use by another program (another run of kestrel-image holds it): try again when "
                   "that has ended";
        case EACCES:
        case EROFS:
            return image + ": read-only (" + std::strerror(error) + "): nothing can be moved on it";
        default:
            return image + ": cannot be opened as an NTFS volume (" + std::strerror(error) + ")";
    }
}

// ---- Recovery: what an interrupted run left ----

namespace {

struct BootFacts {
    std::uint64_t serial = 0;
    std::uint32_t clusterSize = 0;
    std::int64_t totalClusters = 0;
};

bool ReadBoot(int fd, BootFacts& facts) {
    NTFS_BOOT_SECTOR boot{};
    if (!FullRead(fd, 0, &boot, sizeof boot) || std::memcmp(&boot.oem_id, "NTFS    ", 8) != 0)
        return false;
    const std::uint32_t sector = le16_to_cpu(boot.bpb.bytes_per_sector);
    std::uint32_t perCluster = boot.bpb.sectors_per_cluster;
    if (perCluster > 0x80)
        perCluster = 1u << (256 - perCluster);
    if (sector == 0 || perCluster == 0)
        return false;
    facts.serial = le64_to_cpu(boot.volume_serial_number);
    facts.clusterSize = sector * perCluster;
    facts.totalClusters = sle64_to_cpu(boot.number_of_sectors) / perCluster;
    return true;
}

// The boot sector's facts of the image at `path`, opened for this read alone.
std::optional<BootFacts> ReadBootOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    BootFacts boot;
    const bool read = ReadBoot(fd, boot);
    ::close(fd);
    return read ? std::optional<BootFacts>(boot) : std::nullopt;
}

std::string Describe(const MoveRecord& r) {
    return (r.file.empty() ? "file record " + std::to_string(MREF(r.mref)) : r.file) + ", " +
           std::to_string(r.clusters) + " cluster(s) from VCN " + std::to_string(r.startVcn) + " to LCN " +
           std::to_string(r.targetLcn);
}

// Hash of the clusters, read raw. False when they cannot be read.
bool HashClusters(int fd, std::uint32_t clusterSize, const std::vector<ClusterRange>& ranges,
                  std::uint64_t& hash) {
    hash = Fnv(nullptr, 0);
    std::vector<std::uint8_t> buffer;
    for (const ClusterRange& r : ranges)
        for (std::int64_t done = 0; done < r.length;) {
            const std::int64_t n = std::min<std::int64_t>(
                r.length - done, std::max<std::int64_t>(1, kCopyChunkBytes / clusterSize));
            buffer.resize(static_cast<std::size_t>(n * clusterSize));
            if (!FullRead(fd, (r.lcn + done) * clusterSize, buffer.data(), buffer.size()))
                return false;
            hash = Fnv(buffer.data(), buffer.size(), hash);
            done += n;
        }
    return true;
}

// Finishes or discards the move an interrupted run recorded, on the raw image before the library reads
// it. Adds what it did to `notices`; empty when done, else why it could not be (the image or the state
// directory cannot be written), and the run must not go on. Interrupted itself anywhere, it is simply
// done again by the next run: the units are checked and written the same way, which is idempotent.
std::string FinishRecordedMove(int fd, const BootFacts& boot, const RecordFiles& files,
                               std::vector<std::string>& notices, bool& keepDirty) {
    const std::optional<std::string> bytes = files.Read(files.MovePath());
    if (!bytes)
        return {};
    const std::optional<MoveRecord> record = DecodeMove(*bytes);
    auto removed = [&](const std::string& error) {
        return error.empty() ? error
                             : "the record of the interrupted move cannot be removed (" + error +
                                   "); the state directory must be writable";
    };
    // `partly` when part of the move may be on this volume (a leak at most): it stays marked dirty for
    // Windows to check. A move recorded before its metadata was written, or one of another volume, left
    // nothing here to check. A file that is no record at all is put aside, not deleted.
    auto discard = [&](const std::string& why, bool partly) {
        keepDirty = keepDirty || partly;
        notices.push_back("found the record of an interrupted move (" + files.MovePath() + ") that " + why +
                          (record ? ": the record is discarded"
                                  : ": it is kept as " + files.MovePath() + ".unreadable and not applied") +
                          " and the volume left as it is" +
                          (partly ? ", marked dirty for Windows to check (chkdsk /f)" : ""));
        return removed(record ? files.Remove(files.MovePath()) : files.PutAside(files.MovePath()));
    };
    if (!record)
        return discard("cannot be read (cut short or altered)", true);
    if (record->serial != boot.serial || record->clusterSize != boot.clusterSize ||
        record->totalClusters != boot.totalClusters)
        return discard("describes another volume", false);
    if (record->phase == MoveRecord::Intent) {
        // Only free clusters were written: the file still has its old clusters and its old runlist.
        std::uint64_t hash = 0;
        if (!HashClusters(fd, boot.clusterSize, record->sources, hash) || hash != record->dataHash)
            return discard("does not match the volume any more (its data changed since)", false);
        notices.push_back("an interrupted move of " + Describe(*record) +
                          " had not changed the volume yet: nothing to undo, the file is as it was");
        return removed(files.Remove(files.MovePath()));
    }
    // Committed: the copy must be in place and every unit must hold its bytes from before, from after,
    // or (a bitmap) their union; anything else means the volume was changed since (checked, restored
    // from a copy ...) and the record must not be applied.
    std::uint64_t hash = 0;
    if (!HashClusters(fd, boot.clusterSize, {{record->targetLcn, record->clusters}}, hash) ||
        hash != record->dataHash)
        return discard("does not match the volume any more (the moved data is not where it says)", true);
    std::vector<std::uint8_t> current(ImageDevice::kUnit);
    for (const RecordUnit& u : record->units) {
        if (!FullRead(fd, u.offset, current.data(), current.size()))
            return discard("names places the volume does not have", true);
        bool matches = current == u.before || current == u.after;
        if (!matches && u.kind == UnitKind::Bitmap) {
            matches = true;
            for (std::size_t i = 0; i < current.size() && matches; ++i)
                matches = current[i] == (u.before[i] | u.after[i]);
        }
        if (!matches)
            return discard("does not match the volume any more (metadata at byte " +
                               std::to_string(u.offset) + " changed since)",
                           true);
    }
    const bool written = WriteUnits(
        record->units,
        [&](std::int64_t offset, std::vector<std::uint8_t>& out) {
            return FullRead(fd, offset, out.data(), out.size());
        },
        [&](std::int64_t offset, const std::vector<std::uint8_t>& in) {
            return FullWrite(fd, offset, in.data(), in.size());
        },
        [&] { return fsync(fd) == 0; });
    if (!written)
        return std::string("the interrupted move of ") + Describe(*record) +
               " cannot be finished: writing the image failed (" + std::strerror(errno) + ")";
    notices.push_back("finished the interrupted move of " + Describe(*record));
    return removed(files.Remove(files.MovePath()));
}

// Records of this volume (same serial number) kept under another path in the state directory, when this
// image has none of its own: the image was renamed or moved since its run was interrupted (the records
// are named after the path), or they belong to a copy of it. Those whose image is still there with this
// volume on it are that copy's and are left alone (named in `elsewhere`); records whose image has gone
// are taken over by this one when there is exactly one such set: the next steps check them against the
// volume as they check the image's own (applied only where the volume holds what they describe).
void TakeOverRecordsOfMovedImage(const RecordFiles& files, std::uint64_t serial,
                                 std::vector<std::string>& notices, std::string& elsewhere) {
    if (files.Read(files.RunPath()) || files.Read(files.MovePath()))
        return;
    std::vector<std::pair<std::string, std::string>> gone;  // records, their image
    for (const std::string& other : files.OtherPathsOfVolume()) {
        std::string recorded;
        if (const std::optional<std::string> run = files.Read(other + ".run"))
            if (const std::optional<RunRecord> r = DecodeRun(*run))
                recorded = r->image;
        if (recorded.empty())
            if (const std::optional<std::string> move = files.Read(other + ".move"))
                if (const std::optional<MoveRecord> m = DecodeMove(*move))
                    recorded = m->image;
        bool there = false;
        if (!recorded.empty() && recorded != files.RealImage()) {
            const std::optional<BootFacts> boot = ReadBootOf(recorded);
            there = boot && boot->serial == serial;
        }
        if (there)
            elsewhere += (elsewhere.empty() ? "" : ", ") + recorded;
        else
            gone.emplace_back(other, recorded.empty() ? "an unknown path" : recorded);
    }
    if (gone.size() == 1) {
        const std::string error = files.TakeOver(gone[0].first);
        notices.push_back("the records of an interrupted run on this volume were made for " + gone[0].second +
                          ", which no longer holds it (renamed or moved): " +
                          (error.empty() ? "taken over for " + files.RealImage()
                                         : "they cannot be taken over (" + error + ")"));
    } else if (gone.size() > 1) {
        notices.push_back("records of interrupted runs on copies of this volume were made for " +
                          std::to_string(gone.size()) +
                          " paths that no longer hold it; none is applied, since none can be told to be "
                          "this image's (they stay in " +
                          files.Directory() + ")");
    }
}

}  // namespace

std::string InterruptedRunNotice(const std::string& image, const std::string& stateDirectory) {
    const std::optional<BootFacts> boot = ReadBootOf(image);
    if (!boot)
        return {};
    const RecordFiles files(stateDirectory.empty() ? host::StateDirectory() : stateDirectory, boot->serial,
                            image);
    bool found = files.Read(files.RunPath()) || files.Read(files.MovePath());
    for (const std::string& other : files.OtherPathsOfVolume())
        found = found || files.Read(other + ".move") || files.Read(other + ".run");
    if (!found)
        return {};
    return image + ": a run of kestrel-image on this volume was interrupted (its record is in " +
           files.Directory() +
           "): what is seen now may show a move half done. Run kestrel-image defrag on it again before "
           "anything else writes to it; that run finishes or undoes the interrupted move and clears the "
           "dirty mark";
}

// The image's size against the volume its boot sector describes; empty when it holds the volume or the
// boot sector cannot be read (the library then says why it cannot open the volume).
static std::string ShortImageReason(const std::string& image) {
    const std::optional<BootFacts> boot = ReadBootOf(image);
    return boot ? ImageSizeReason(image, boot->totalClusters * static_cast<std::int64_t>(boot->clusterSize))
                : std::string();
}

NtfsImageFileSystem::NtfsImageFileSystem() : state_(std::make_unique<State>()) {}

NtfsImageFileSystem::~NtfsImageFileSystem() {
    std::lock_guard lock(mutex_);
    for (auto& [letter, image] : state_->images)
        Release(image);
}

// Writes everything back, clears the dirty mark once all else is durable, closes the volume and removes
// the run's record. False when the library or the device reported an error.
bool NtfsImageFileSystem::Release(Image& image) {
    ntfs_volume* vol = image.vol;
    bool ok = true;
    if (image.markedDirty) {
        // After an abandoned move the library's in-memory $MFT and bitmaps may hold that move: they are
        // not written. Every move before it is on the device; the dirty mark is cleared below (only
        // $Volume's record is written for it) and whatever the library writes while unmounting is
        // dropped.
        if (!image.abandoned)
            for (ntfs_inode* ni : {vol->mft_ni, vol->mftmirr_ni, vol->lcnbmp_ni})
                if (ni != nullptr && NInoDirty(ni) && ntfs_inode_sync(ni) != 0)
                    ok = false;
        ok = image.device->Flush() && ok;
        // Clean only when everything before is durable; if anything failed the mark stays, so that
        // Windows checks the volume.
        if (ok && !image.keepDirty)
            ok = ntfs_volume_write_flags(vol, static_cast<le16>(vol->flags & ~VOLUME_IS_DIRTY)) == 0 &&
                 image.device->Flush();
    }
    if (image.abandoned)
        image.device->BeginCapture();  // never ended: the device is closed with what it kept aside
    ok = ntfs_umount(vol, FALSE) == 0 && ok;
    image.vol = nullptr;
    if (image.records != nullptr && ok && !image.device->PowerCut())
        ok = image.records->Remove(image.records->RunPath()).empty();
    image.device.reset();
    return ok;
}

std::string NtfsImageFileSystem::Mount(wchar_t letter, const std::string& image, bool readOnly) {
    MountOptions options;
    options.readOnly = readOnly;
    return Mount(letter, image, options);
}

std::string NtfsImageFileSystem::Mount(wchar_t letter, const std::string& image,
                                       const MountOptions& options) {
    const wchar_t l = Letter(letter);
    if (l == 0)
        return "not a drive letter";
    if (std::string why = MountedReason(image); !why.empty())
        return why;
    // Refused before anything is read or written: clusters past the end would be lost.
    if (std::string why = ShortImageReason(image); !why.empty())
        return why;
    std::lock_guard lock(mutex_);
    if (state_->images.count(l) != 0)
        return "the drive letter is taken";
    const bool writes = !options.readOnly && options.policy != WritePolicy::Overlay;
    Image entry;
    entry.path = image;
    bool ourMark = false;
    int lockedFd = -1;
    std::string elsewhere;  // images that hold this volume too and have records of their own
    if (writes) {
        // What an interrupted run left is finished (or discarded) before the library reads the volume.
        const int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return MountFailureReason(image, errno);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return MountFailureReason(image, EBUSY);
        }
        BootFacts boot;
        if (!ReadBoot(fd, boot)) {
            ::close(fd);
            return image + ": cannot be opened as an NTFS volume (no NTFS boot sector)";
        }
        entry.serial = boot.serial;
        entry.records = std::make_unique<RecordFiles>(
            options.stateDirectory.empty() ? host::StateDirectory() : options.stateDirectory, boot.serial,
            image);
        if (options.recordSpace != 0)
            entry.records->SetSpaceLimit(options.recordSpace);
        entry.records->RemoveUnfinished();
        TakeOverRecordsOfMovedImage(*entry.records, boot.serial, entry.notices, elsewhere);
        const std::string unfinished =
            FinishRecordedMove(fd, boot, *entry.records, entry.notices, entry.keepDirty);
        if (const std::optional<std::string> run = entry.records->Read(entry.records->RunPath())) {
            ourMark = DecodeRun(*run).has_value();
            if (ourMark)
                entry.notices.push_back("the last run on " + image +
                                        " was interrupted; every move it completed is kept");
        }
        if (!unfinished.empty()) {
            ::close(fd);
            return image + ": " + unfinished;
        }
        // The run's record, before the library opens the volume for writing (which already writes to
        // it): without room for the records nothing is written at all.
        RunRecord run;
        run.serial = entry.serial;
        run.image = entry.records->RealImage();
        run.started = static_cast<std::int64_t>(std::time(nullptr));
        if (const std::string error = entry.records->Write(entry.records->RunPath(), EncodeRun(run));
            !error.empty()) {
            ::close(fd);
            return image + ": cannot record the run in the state directory (" + error +
                   "); nothing was written to the volume. Make room there, or choose another directory with "
                   "KESTREL_STATE_DIR";
        }
        lockedFd = fd;  // kept locked until the device has it: no other run can come in between
    }
    entry.device = std::make_unique<ImageDevice>(image, options.policy);
    ImageDevice& device = *entry.device;
    if (lockedFd >= 0)
        device.Adopt(lockedFd);
    if (device.Device() == nullptr)
        return image + ": " + std::strerror(errno);
    if (options.deviceHook)
        device.SetHook(options.deviceHook);
    ntfs_volume* vol =
        ntfs_device_mount(device.Device(), options.readOnly ? NTFS_MNT_RDONLY : NTFS_MNT_EXCLUSIVE);
    if (vol == nullptr) {
        const int error = errno;
        if (ntfs_device_free(device.Device()) != 0) {
            device.Close();
            ntfs_device_free(device.Device());
        }
        // The volume was not marked: a run's record written just before says nothing (one an earlier run
        // left stays, with its mark).
        if (entry.records != nullptr && !ourMark)
            entry.records->Remove(entry.records->RunPath());
        return MountFailureReason(image, error);
    }
    entry.vol = vol;
    // Names are looked up without regard to case, as Windows opens them.
    NVolClearCaseSensitive(vol);
    if (writes) {
        // A dirty volume that no run of ours marked may be damaged: Windows is to check it first.
        if ((vol->flags & VOLUME_IS_DIRTY) != 0 && !ourMark) {
            const std::string directory = entry.records->Directory();
            entry.records->Remove(entry.records->RunPath());  // written by this run, just before
            entry.records.reset();
            ntfs_umount(vol, FALSE);
            return image +
                   ": the volume is marked dirty, and no record of an interrupted run of kestrel-image " +
                   "on it is in " + directory +
                   (elsewhere.empty() ? std::string()
                                      : " for this path (there are records for " + elsewhere +
                                            ", which holds a copy of this volume: run kestrel-image on that "
                                            "one)") +
                   ". If kestrel-image was interrupted on it with another state directory "
                   "(KESTREL_STATE_DIR, another user's home), run it again with that one; otherwise let "
                   "Windows check the volume (chkdsk /f) first";
        }
        // The run's record is on the device (written before the library opened the volume); now the
        // dirty mark, durable before any move: a run cut off anywhere leaves a volume Windows checks,
        // and the record says the mark is ours.
        std::string error;
        if (ntfs_volume_write_flags(vol, static_cast<le16>(vol->flags | VOLUME_IS_DIRTY)) != 0 ||
            !device.Flush())
            error = "cannot mark the volume dirty";
        if (!error.empty()) {
            ntfs_umount(vol, FALSE);
            return image + ": " + error;
        }
        entry.markedDirty = true;
    }
    entry.oneWriteSwitch = options.oneWriteSwitch;
    state_->images[l] = std::move(entry);
    state_->cached.valid = false;
    return {};
}

ImageDevice* NtfsImageFileSystem::Device(wchar_t letter) {
    std::lock_guard lock(mutex_);
    Image* image = state_->Find(letter);
    return image == nullptr ? nullptr : image->device.get();
}

std::vector<std::string> NtfsImageFileSystem::Notices(wchar_t letter) {
    std::lock_guard lock(mutex_);
    Image* image = state_->Find(letter);
    return image == nullptr ? std::vector<std::string>{} : image->notices;
}

std::string NtfsImageFileSystem::StopReason(wchar_t letter) {
    std::lock_guard lock(mutex_);
    Image* image = state_->Find(letter);
    return image == nullptr ? std::string() : image->stopReason;
}

bool NtfsImageFileSystem::Unmount(wchar_t letter) {
    std::lock_guard lock(mutex_);
    const wchar_t l = Letter(letter);
    auto it = state_->images.find(l);
    if (it == state_->images.end())
        return false;
    const bool ok = Release(it->second);
    state_->images.erase(it);
    state_->cached.valid = false;
    for (auto h = state_->handles.begin(); h != state_->handles.end();)
        h = h->second.letter == l ? state_->handles.erase(h) : std::next(h);
    return ok;
}

fs::OpenResult NtfsImageFileSystem::OpenVolume(const std::wstring& devicePath) {
    if (devicePath.size() != 6 || devicePath.compare(0, 4, L"\\\\.\\") != 0 || devicePath[5] != L':' ||
        Letter(devicePath[4]) == 0)
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    std::lock_guard lock(mutex_);
    const wchar_t l = Letter(devicePath[4]);
    if (state_->Volume(l) == nullptr)
        return {fs::kInvalidHandle, fs::kErrorFileNotFound};
    HandleEntry entry;
    entry.letter = l;
    entry.isVolume = true;
    return {state_->Add(std::move(entry)), fs::kErrorSuccess};
}

fs::OpenResult NtfsImageFileSystem::OpenFile(const std::wstring& path) {
    if (path.size() > kMaxPath)
        return {fs::kInvalidHandle, fs::kErrorFilenameExcedRange};
    if (path.size() < 7 || path.compare(0, 4, L"\\\\?\\") != 0 || Letter(path[4]) == 0 || path[5] != L':' ||
        path[6] != L'\\')
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    const std::wstring relative = path.substr(6);
    std::size_t nameStart = 0;
    for (std::size_t i = 1; i <= relative.size(); ++i) {
        if (i == relative.size() || relative[i] == L'\\') {
            if (i - nameStart - 1 > kMaxName)
                return {fs::kInvalidHandle, fs::kErrorFilenameExcedRange};
            nameStart = i;
        }
    }
    std::lock_guard lock(mutex_);
    const wchar_t l = Letter(path[4]);
    ntfs_volume* vol = state_->Volume(l);
    if (vol == nullptr)
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    HandleEntry entry;
    entry.letter = l;
    entry.path = relative;
    if (std::uint32_t error = state_->Resolve(vol, relative, entry.mref, entry.stream, &entry.system);
        error != 0)
        return {fs::kInvalidHandle, error};
    return {state_->Add(std::move(entry)), fs::kErrorSuccess};
}

void NtfsImageFileSystem::Close(fs::RawHandle handle) noexcept {
    std::lock_guard lock(mutex_);
    state_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
}

fs::NtStatus NtfsImageFileSystem::Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code,
                                          const void* in, std::uint32_t inLength, void* out,
                                          std::uint32_t outLength) {
    auto finish = [&io](fs::NtStatus status, std::uint32_t bytes) {
        io.Status = status;
        io.Information = bytes;
        return status;
    };
    std::lock_guard lock(mutex_);
    const HandleEntry* entry = state_->Get(handle);
    if (entry == nullptr)
        return finish(fs::kStatusInvalidHandle, 0);
    ntfs_volume* vol = state_->Volume(entry->letter);
    if (vol == nullptr)
        return finish(fs::kStatusInvalidHandle, 0);
    if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0))
        return finish(fs::kStatusInvalidParameter, 0);
    // A file that has gone answers so on every request.
    if (!entry->isVolume) {
        Inode ni(ntfs_inode_open(vol, entry->mref));
        if (!ni)
            return finish(fs::kStatusFileDeleted, 0);
    }
    std::uint32_t bytes = 0;
    fs::NtStatus status;
    switch (code) {
        case fs::kFsctlGetNtfsVolumeData:
            status = state_->VolumeData(vol, out, outLength, bytes);
            break;
        case fs::kFsctlGetVolumeBitmap:
            status = entry->isVolume ? state_->Bitmap(vol, in, inLength, out, outLength, bytes)
                                     : fs::kStatusInvalidParameter;
            break;
        case fs::kFsctlGetRetrievalPointers:
            status = state_->Retrieval(vol, *entry, in, inLength, out, outLength, bytes);
            break;
        case fs::kFsctlMoveFile: {
            if (!entry->isVolume || inLength < sizeof(fs::MOVE_FILE_DATA)) {
                status = fs::kStatusInvalidParameter;
                break;
            }
            fs::MOVE_FILE_DATA move{};
            std::memcpy(&move, in, sizeof move);
            const HandleEntry* target = state_->Get(move.FileHandle);
            if (target == nullptr) {
                status = fs::kStatusInvalidHandle;
                break;
            }
            if (target->isVolume || target->letter != entry->letter) {
                status = fs::kStatusInvalidParameter;
                break;
            }
            // After a stop request no move starts: the engine gives the file up where it is.
            status = StopRequested() || state_->stopAfterMove
                         ? fs::kStatusAccessDenied
                         : state_->Move(*state_->Find(entry->letter), *target, move);
            break;
        }
        default:
            status = fs::kStatusInvalidDeviceRequest;
            break;
    }
    if (status != fs::kStatusSuccess && status != fs::kStatusBufferOverflow)
        bytes = 0;
    return finish(status, bytes);
}

bool NtfsImageFileSystem::Wait(fs::RawHandle handle, std::uint32_t /*timeoutMs*/) {
    std::lock_guard lock(mutex_);
    return state_->Get(handle) != nullptr;
}

std::optional<std::uint64_t> NtfsImageFileSystem::FindFileSize(const std::wstring& path) {
    std::wstring p = path;
    if (p.compare(0, 4, L"\\\\?\\") == 0)
        p = p.substr(4);
    if (p.size() < 3 || Letter(p[0]) == 0 || p[1] != L':' || p[2] != L'\\')
        return std::nullopt;
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(p[0]);
    if (vol == nullptr)
        return std::nullopt;
    std::uint64_t mref = 0;
    Name stream;
    if (state_->Resolve(vol, p.substr(2), mref, stream) != 0)
        return std::nullopt;
    Inode ni(ntfs_inode_open(vol, mref));
    if (!ni)
        return std::nullopt;
    Attr na = State::OpenData(ni.get(), stream);
    if (!na)
        return std::nullopt;
    return static_cast<std::uint64_t>(na->data_size);
}

// ---- Inspection ----

namespace {

struct Listing {
    std::vector<std::pair<std::wstring, std::uint64_t>> entries;  // name, MFT reference
    std::vector<bool> directories;
};

int Collect(void* dirent, const ntfschar* name, const int nameLength, const int nameType, const s64 /*pos*/,
            const MFT_REF mref, const unsigned type) {
    auto* listing = static_cast<Listing*>(dirent);
    if (nameType == FILE_NAME_DOS)
        return 0;  // the short alias of a name listed under its long one
    const std::wstring text = FromName(name, nameLength);
    if (text == L"." || text == L"..")
        return 0;
    if (MREF(mref) < FILE_first_user)
        return 0;  // $MFT, $Bitmap, $Extend and the other system files
    if (type != NTFS_DT_DIR && type != NTFS_DT_REG)
        return 0;
    listing->entries.emplace_back(text, mref);
    listing->directories.push_back(type == NTFS_DT_DIR);
    return 0;
}

}  // namespace

std::vector<std::wstring> NtfsImageFileSystem::RegularFiles(wchar_t letter) {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> files;
    ntfs_volume* vol = state_->Volume(letter);
    if (vol == nullptr)
        return files;
    std::vector<std::pair<std::wstring, std::uint64_t>> folders{{L"", FILE_root}};
    while (!folders.empty()) {
        auto [prefix, mref] = folders.back();
        folders.pop_back();
        Inode dir(ntfs_inode_open(vol, mref));
        if (!dir)
            continue;
        Listing listing;
        s64 pos = 0;
        ntfs_readdir(dir.get(), &pos, &listing, Collect);
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            // An index entry whose record has been freed or reused by another file (its sequence number
            // differs) names nothing; a damaged folder must not make the walk work on a stranger.
            if (!Inode(ntfs_inode_open(vol, listing.entries[i].second)))
                continue;
            const std::wstring path = prefix + L"\\" + listing.entries[i].first;
            if (listing.directories[i])
                folders.emplace_back(path, listing.entries[i].second);
            else
                files.push_back(path);
        }
    }
    return files;
}

std::vector<ImageRun> NtfsImageFileSystem::Runs(wchar_t letter, const std::wstring& path) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    std::uint64_t mref = 0;
    Name stream;
    if (vol == nullptr || state_->Resolve(vol, path, mref, stream) != 0)
        return {};
    Inode ni(ntfs_inode_open(vol, mref));
    if (!ni)
        return {};
    Attr na = State::OpenData(ni.get(), stream);
    return na ? ReadRuns(na.get()) : std::vector<ImageRun>{};
}

int NtfsImageFileSystem::Fragments(wchar_t letter, const std::wstring& path) {
    return CountFragments(Runs(letter, path));
}

std::vector<std::wstring> NtfsImageFileSystem::Streams(wchar_t letter, const std::wstring& path) {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> names;
    ntfs_volume* vol = state_->Volume(letter);
    std::uint64_t mref = 0;
    Name stream;
    if (vol == nullptr || state_->Resolve(vol, path, mref, stream) != 0)
        return names;
    Inode ni(ntfs_inode_open(vol, mref));
    if (!ni)
        return names;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni.get(), nullptr);
    if (ctx == nullptr)
        return names;
    while (ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
        const ATTR_RECORD* a = ctx->attr;
        if (a->name_length == 0 || (a->non_resident && sle64_to_cpu(a->lowest_vcn) != 0))
            continue;  // the unnamed stream, or a later extent of a stream already listed
        const auto* name = reinterpret_cast<const ntfschar*>(reinterpret_cast<const std::uint8_t*>(a) +
                                                             le16_to_cpu(a->name_offset));
        names.push_back(FromName(name, a->name_length));
    }
    ntfs_attr_put_search_ctx(ctx);
    return names;
}

std::optional<NtfsImageFileSystem::Kind> NtfsImageFileSystem::FileKind(wchar_t letter,
                                                                       const std::wstring& path) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    std::uint64_t mref = 0;
    Name stream;
    if (vol == nullptr || state_->Resolve(vol, path, mref, stream) != 0)
        return std::nullopt;
    Inode ni(ntfs_inode_open(vol, mref));
    if (!ni)
        return std::nullopt;
    Attr na = State::OpenData(ni.get(), stream);
    if (!na)
        return std::nullopt;
    Kind kind;
    kind.compressed = (na->data_flags & ATTR_COMPRESSION_MASK) != 0;
    kind.sparse = (na->data_flags & ATTR_IS_SPARSE) != 0;
    kind.resident = !NAttrNonResident(na.get());
    kind.attributeList = NInoAttrList(ni.get());
    return kind;
}

NtfsImageFileSystem::MoveCounters NtfsImageFileSystem::Counters(wchar_t letter) {
    std::lock_guard lock(mutex_);
    Image* image = state_->Find(letter);
    return image == nullptr ? MoveCounters{} : image->counters;
}

bool NtfsImageFileSystem::VolumeDirty(wchar_t letter) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    return vol != nullptr && (vol->flags & VOLUME_IS_DIRTY) != 0;
}

std::int64_t NtfsImageFileSystem::FreeClusters(wchar_t letter) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    return vol == nullptr ? 0 : CountFree(vol);
}

std::size_t NtfsImageFileSystem::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return state_->handles.size();
}

std::wstring NtfsImageFileSystem::RecordPath(std::uint64_t record, const std::wstring& stream) {
    return L"\\/" + std::to_wstring(record) + (stream.empty() ? L"" : L":" + stream);
}

namespace {

bool Ambiguous(const std::wstring& name) {
    return name.find_first_of(L":\\") != std::wstring::npos;
}

// Adds the file's unnamed data and its named streams. A path with a name holding ':' or '\\' cannot be
// typed back as a path (`ambiguous`): the record form is shown with it.
void AddStreams(ntfs_inode* ni, std::uint64_t record, const std::wstring& display, bool ambiguous,
                std::vector<ImageFile>& out) {
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (ctx == nullptr)
        return;
    std::wstring shown = display;
    if (ambiguous)
        shown += L" [#" + std::to_wstring(record) + L"]";
    bool unnamed = false;
    std::vector<std::wstring> named;
    while (ntfs_attr_lookup(AT_DATA, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
        const ATTR_RECORD* a = ctx->attr;
        if (a->non_resident && sle64_to_cpu(a->lowest_vcn) != 0)
            continue;  // a later extent of a stream already seen
        if (a->name_length == 0) {
            unnamed = true;
            continue;
        }
        const auto* name = reinterpret_cast<const ntfschar*>(reinterpret_cast<const std::uint8_t*>(a) +
                                                             le16_to_cpu(a->name_offset));
        named.push_back(FromName(name, a->name_length));
    }
    ntfs_attr_put_search_ctx(ctx);
    if (unnamed)
        out.push_back({NtfsImageFileSystem::RecordPath(record), shown, record});
    for (const std::wstring& n : named)
        out.push_back({NtfsImageFileSystem::RecordPath(record, n), shown + L":" + n, record});
}

}  // namespace

std::vector<ImageFile> NtfsImageFileSystem::Files(wchar_t letter, const std::wstring& folder) {
    std::lock_guard lock(mutex_);
    std::vector<ImageFile> out;
    ntfs_volume* vol = state_->Volume(letter);
    if (vol == nullptr)
        return out;
    std::uint64_t mref = 0;
    Name stream;
    bool system = false;
    if (!folder.empty() && state_->Resolve(vol, folder, mref, stream, &system) != 0)
        return out;
    // The root folder stands for every file of the volume: the listing by record below leaves the
    // system files out, which a walk of the root's names would meet.
    if (!folder.empty() && !(MREF(mref) == FILE_root && stream.empty())) {
        if (system || !stream.empty())
            return out;
        // Shown below the folder as named: its path, or "#N" for a folder named by its record.
        std::wstring top = folder.size() > 1 && folder[1] == L'/' ? L"#" + folder.substr(2) : folder;
        while (top.size() > 1 && top.back() == L'\\')
            top.pop_back();
        if (top == L"\\")
            top.clear();
        struct Folder {
            std::wstring path;
            std::uint64_t mref;
            bool ambiguous;
        };
        std::vector<Folder> folders{{top, mref, false}};
        std::vector<bool> seen;
        while (!folders.empty()) {
            auto [prefix, dirRef, dirAmbiguous] = folders.back();
            folders.pop_back();
            Inode dir(ntfs_inode_open(vol, dirRef));
            if (!dir || (dir->mrec->flags & MFT_RECORD_IS_DIRECTORY) == 0)
                continue;
            Listing listing;
            s64 pos = 0;
            ntfs_readdir(dir.get(), &pos, &listing, Collect);
            for (std::size_t i = 0; i < listing.entries.size(); ++i) {
                const std::uint64_t record = MREF(listing.entries[i].second);
                Inode ni(ntfs_inode_open(vol, listing.entries[i].second));
                if (!ni || (record == FILE_Extend))
                    continue;
                const std::wstring path = prefix + L"\\" + listing.entries[i].first;
                const bool ambiguous = dirAmbiguous || Ambiguous(listing.entries[i].first);
                if (listing.directories[i]) {
                    folders.push_back({path, listing.entries[i].second, ambiguous});
                    continue;
                }
                if (record >= seen.size())
                    seen.resize(record + 1, false);
                if (seen[record])
                    continue;  // another name of a file already listed
                seen[record] = true;
                AddStreams(ni.get(), record, path, ambiguous, out);
            }
        }
        return out;
    }
    // The whole volume, by record: every base record in use beyond the system files.
    const s64 bitmapBytes = vol->mftbmp_na->data_size;
    std::vector<std::uint8_t> inUse(static_cast<std::size_t>(std::max<s64>(bitmapBytes, 0)));
    if (bitmapBytes > 0 && ntfs_attr_pread(vol->mftbmp_na, 0, bitmapBytes, inUse.data()) != bitmapBytes)
        return out;
    const std::uint64_t records = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(vol->mft_na->initialized_size / vol->mft_record_size), inUse.size() * 8);
    // A folder's path from the names up to the root (bounded, so a damaged loop ends), whether a name on
    // it holds ':' or '\\', and whether it lies in a system folder ($Extend and the folders below it).
    struct FolderPath {
        std::wstring path;
        bool ambiguous = false;
        bool system = false;
    };
    std::map<std::uint64_t, FolderPath> folderPaths{{FILE_root, {}}};
    std::function<FolderPath(std::uint64_t, int)> folderPath = [&](std::uint64_t dir, int depth) {
        if (auto it = folderPaths.find(dir); it != folderPaths.end())
            return it->second;
        std::wstring name = L"#" + std::to_wstring(dir);
        std::uint64_t parent = FILE_root;
        if (Inode ni(ntfs_inode_open(vol, dir)); ni) {
            std::wstring n;
            const std::uint64_t p = State::ParentOf(ni.get(), &n);
            if (p != 0 && !n.empty()) {
                parent = p;
                name = n;
            }
        }
        const FolderPath above =
            depth < 256 && parent != dir ? folderPath(parent, depth + 1) : FolderPath{L"\\?", true, true};
        const FolderPath path{above.path + L"\\" + name, above.ambiguous || Ambiguous(name),
                              above.system || dir < FILE_first_user};
        folderPaths[dir] = path;
        return path;
    };
    for (std::uint64_t record = FILE_first_user; record < records; ++record) {
        if (((inUse[record / 8] >> (record % 8)) & 1) == 0)
            continue;
        Inode ni(ntfs_inode_open(vol, record));
        if (!ni || (ni->mrec->flags & MFT_RECORD_IN_USE) == 0 || ni->mrec->base_mft_record != 0 ||
            (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0)
            continue;
        std::wstring name;
        const std::uint64_t parent = State::ParentOf(ni.get(), &name);
        if (parent == 0)
            continue;  // a record without a name: nothing a user made
        const FolderPath above = folderPath(parent, 0);
        if (above.system)
            continue;  // $Quota, $UsnJrnl, the files below $Extend\$RmMetadata ...
        AddStreams(ni.get(), record, above.path + L"\\" + name, above.ambiguous || Ambiguous(name), out);
    }
    return out;
}

NtfsImageFileSystem::PathKind NtfsImageFileSystem::KindOf(wchar_t letter, const std::wstring& path) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    std::uint64_t mref = 0;
    Name stream;
    bool system = false;
    if (vol == nullptr || state_->Resolve(vol, path, mref, stream, &system) != 0)
        return PathKind::Missing;
    if (system && !(MREF(mref) == FILE_root && stream.empty()))  // the root folder holds the user's files
        return PathKind::System;
    Inode ni(ntfs_inode_open(vol, mref));
    if (!ni)
        return PathKind::Missing;
    return stream.empty() && (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0 ? PathKind::Directory
                                                                              : PathKind::File;
}

bool NtfsImageFileSystem::ReadOnly(wchar_t letter) {
    std::lock_guard lock(mutex_);
    ntfs_volume* vol = state_->Volume(letter);
    return vol == nullptr || NVolReadOnly(vol);
}

VolumeFigures NtfsImageFileSystem::Figures(wchar_t letter) {
    std::lock_guard lock(mutex_);
    VolumeFigures f;
    ntfs_volume* vol = state_->Volume(letter);
    if (vol == nullptr)
        return f;
    f.clusterBytes = vol->cluster_size;
    f.totalClusters = vol->nr_clusters;
    const std::int64_t bytes = (vol->nr_clusters + 7) / 8;
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(bytes));
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, bytes, bits.data()) != bytes)
        return f;
    // Free runs, 64 clusters a word where a word is all free or all used.
    std::int64_t run = 0;
    auto endRun = [&] {
        if (run == 0)
            return;
        ++f.freeRuns;
        f.largestFreeRun = std::max(f.largestFreeRun, run);
        f.freeClusters += run;
        run = 0;
    };
    std::int64_t lcn = 0;
    while (lcn < vol->nr_clusters) {
        if (lcn % 64 == 0 && lcn + 64 <= vol->nr_clusters) {
            std::uint64_t word = 0;
            std::memcpy(&word, bits.data() + lcn / 8, 8);
            if (word == 0) {
                run += 64;
                lcn += 64;
                continue;
            }
            if (word == ~0ull) {
                endRun();
                lcn += 64;
                continue;
            }
        }
        if (((bits[static_cast<std::size_t>(lcn / 8)] >> (lcn % 8)) & 1) == 0)
            ++run;
        else
            endRun();
        ++lcn;
    }
    endRun();
    return f;
}

}  // namespace kestrel::ntfsimage
