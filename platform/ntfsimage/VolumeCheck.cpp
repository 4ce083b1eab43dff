// The volume check: every MFT record read raw from $MFT in large chunks, each in-use record's attributes
// walked in the record itself (so an extent record contributes the runs it holds, and the attribute list
// of its base only has to agree with it), the runs sorted by LCN to find clusters referenced twice, then
// a bitmap of referenced clusters compared against $Bitmap 64 clusters a word.
#include "platform/ntfsimage/VolumeCheck.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "common/Utf16.h"
#include "platform/ntfsimage/NtfsImageFileSystem.h"
#include "platform/ntfsimage/NtfsLib.h"

extern "C" {
#include <ntfs-3g/mft.h>
#include <ntfs-3g/mst.h>
}

namespace kestrel::ntfsimage {

namespace {

constexpr std::size_t kRecordsPerRead = 256;

// One run of one attribute extent of one record.
struct Run {
    std::int64_t lcn;
    std::int64_t length;
    std::uint32_t record;
    std::uint32_t type;  // attribute type
};

enum class RecordState : std::uint8_t { Free, InUse, Unreadable };

struct RecordInfo {
    RecordState state = RecordState::Free;
    bool attributeList = false;
    std::uint16_t sequence = 0;
    std::uint64_t base = 0;  // MFT reference of the base record; 0 for a base record
};

struct VolumeCloser {
    void operator()(ntfs_volume* vol) const {
        if (vol != nullptr)
            ntfs_umount(vol, FALSE);
    }
};

std::string TypeName(std::uint32_t type) {
    switch (type) {
        case 0x10:
            return "$STANDARD_INFORMATION";
        case 0x20:
            return "$ATTRIBUTE_LIST";
        case 0x30:
            return "$FILE_NAME";
        case 0x80:
            return "$DATA";
        case 0x90:
            return "$INDEX_ROOT";
        case 0xA0:
            return "$INDEX_ALLOCATION";
        case 0xB0:
            return "$BITMAP";
        case 0xC0:
            return "$REPARSE_POINT";
        case 0x100:
            return "$LOGGED_UTILITY_STREAM";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "attribute 0x%X", type);
            return text;
        }
    }
}

bool Bit(const std::vector<std::uint8_t>& bits, std::int64_t i) {
    const auto byte = static_cast<std::size_t>(i / 8);
    return byte < bits.size() && ((bits[byte] >> (i % 8)) & 1) != 0;
}

void Note(CheckClass& c, std::int64_t count, std::size_t examples, const std::string& text) {
    c.count += count;
    ++c.instances;
    if (c.first.size() < examples)
        c.first.push_back(text);
}

// Sets bits [from, from + count) of a word bitmap.
void SetRange(std::vector<std::uint64_t>& words, std::int64_t from, std::int64_t count) {
    std::int64_t i = from;
    const std::int64_t end = from + count;
    while (i < end) {
        const auto w = static_cast<std::size_t>(i / 64);
        const int bit = static_cast<int>(i % 64);
        const std::int64_t n = std::min<std::int64_t>(64 - bit, end - i);
        const std::uint64_t mask = n == 64 ? ~0ull : ((1ull << n) - 1) << bit;
        words[w] |= mask;
        i += n;
    }
}

class Checker {
  public:
    Checker(ntfs_volume* vol, std::size_t examples, VolumeCheckReport& report)
        : vol_(vol), examples_(examples), report_(report) {}

    bool Check() {
        report_.clusterSize = vol_->cluster_size;
        report_.totalClusters = vol_->nr_clusters;
        if (!ReadBitmaps())
            return false;
        if (!ReadRecords())
            return false;
        CheckAttributeLists();
        DropOrphanRuns();
        CompareClusters();
        return true;
    }

  private:
    bool ReadBitmaps() {
        const std::int64_t bytes = (vol_->nr_clusters + 7) / 8;
        clusterBitmap_.assign(static_cast<std::size_t>(bytes), 0);
        const s64 got = ntfs_attr_pread(vol_->lcnbmp_na, 0, bytes, clusterBitmap_.data());
        if (got < 0) {
            report_.error = std::string("$Bitmap cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        if (got < bytes)
            Note(report_.unreadableRecords, 1, examples_,
                 "record 6 ($Bitmap): holds " + std::to_string(got * 8) + " bits for " +
                     std::to_string(vol_->nr_clusters) + " clusters");
        const s64 mftBytes = vol_->mftbmp_na->data_size;
        recordBitmap_.assign(static_cast<std::size_t>(std::max<s64>(mftBytes, 0)), 0);
        if (mftBytes > 0 && ntfs_attr_pread(vol_->mftbmp_na, 0, mftBytes, recordBitmap_.data()) != mftBytes) {
            report_.error = std::string("the bitmap of $MFT cannot be read (") + std::strerror(errno) + ")";
            return false;
        }
        return true;
    }

    bool ReadRecords() {
        const std::int64_t size = vol_->mft_record_size;
        const std::int64_t readable = vol_->mft_na->initialized_size / size;
        const std::int64_t total =
            std::max<std::int64_t>(readable, static_cast<std::int64_t>(recordBitmap_.size()) * 8);
        records_.assign(static_cast<std::size_t>(total), RecordInfo{});
        std::vector<std::uint8_t> chunk(kRecordsPerRead * static_cast<std::size_t>(size));
        for (std::int64_t first = 0; first < total; first += kRecordsPerRead) {
            const std::int64_t count = std::min<std::int64_t>(kRecordsPerRead, total - first);
            bool anyInUse = false;
            for (std::int64_t n = first; n < first + count && !anyInUse; ++n)
                anyInUse = Bit(recordBitmap_, n);
            if (!anyInUse)
                continue;
            std::int64_t got = 0;
            if (first < readable) {
                const std::int64_t want = std::min(count, readable - first) * size;
                got = ntfs_attr_pread(vol_->mft_na, first * size, want, chunk.data());
                got = got < 0 ? 0 : got / size;
            }
            for (std::int64_t i = 0; i < count; ++i) {
                const std::int64_t n = first + i;
                if (!Bit(recordBitmap_, n))
                    continue;
                if (i >= got) {
                    Unreadable(n, "marked in use in the bitmap of $MFT but past the readable part of $MFT");
                    continue;
                }
                Record(n, chunk.data() + i * size);
            }
        }
        return true;
    }

    void Unreadable(std::int64_t n, const std::string& why) {
        records_[static_cast<std::size_t>(n)].state = RecordState::Unreadable;
        Note(report_.unreadableRecords, 1, examples_, "record " + std::to_string(n) + ": " + why);
    }

    void Record(std::int64_t n, std::uint8_t* raw) {
        const auto size = static_cast<std::uint32_t>(vol_->mft_record_size);
        auto* m = reinterpret_cast<MFT_RECORD*>(raw);
        if (!ntfs_is_file_record(m->magic)) {
            Unreadable(n, "no record signature (it is in use in the bitmap of $MFT)");
            return;
        }
        if (ntfs_mst_post_read_fixup_warn(reinterpret_cast<NTFS_RECORD*>(m), size, FALSE) != 0) {
            Unreadable(n, "torn record (its update sequence does not match)");
            return;
        }
        if ((m->flags & MFT_RECORD_IN_USE) == 0)
            return;  // marked in use in the bitmap only: holds nothing
        RecordInfo& info = records_[static_cast<std::size_t>(n)];
        info.sequence = le16_to_cpu(m->sequence_number);
        info.base = le64_to_cpu(m->base_mft_record);
        ++report_.recordsInUse;
        const std::uint32_t used = le32_to_cpu(m->bytes_in_use);
        std::uint32_t offset = le16_to_cpu(m->attrs_offset);
        if (used > size || offset >= used) {
            Unreadable(n, "its attributes lie outside the record");
            return;
        }
        std::vector<Run> runs;
        while (true) {
            if (offset + 8 > used) {
                Unreadable(n, "its attributes run past the bytes in use");
                return;
            }
            auto* a = reinterpret_cast<ATTR_RECORD*>(raw + offset);
            if (a->type == AT_END)
                break;
            const std::uint32_t length = le32_to_cpu(a->length);
            const std::uint32_t type = le32_to_cpu(a->type);
            if (length < 24 || offset + length > used) {
                Unreadable(n, "attribute of bad length " + std::to_string(length) + " at offset " +
                                  std::to_string(offset));
                return;
            }
            if (a->type == AT_ATTRIBUTE_LIST)
                info.attributeList = true;
            if (a->non_resident) {
                if (length < 64 || le16_to_cpu(a->mapping_pairs_offset) >= length) {
                    Unreadable(n, TypeName(type) + " has a broken header");
                    return;
                }
                runlist_element* rl = ntfs_mapping_pairs_decompress(vol_, a, nullptr);
                if (rl == nullptr) {
                    Unreadable(n, TypeName(type) + " has a runlist that cannot be read");
                    return;
                }
                bool outside = false;
                for (const runlist_element* r = rl; r->length != 0; ++r) {
                    if (r->lcn < 0)
                        continue;  // a hole, or the part of the attribute held by another extent
                    if (r->lcn + r->length > vol_->nr_clusters) {
                        outside = true;
                        break;
                    }
                    runs.push_back({r->lcn, r->length, static_cast<std::uint32_t>(n), type});
                }
                std::free(rl);
                if (outside) {
                    Unreadable(n, TypeName(type) + " references clusters past the end of the volume");
                    return;
                }
            }
            offset += length;
        }
        info.state = RecordState::InUse;
        runs_.insert(runs_.end(), runs.begin(), runs.end());
    }

    // Every attribute list must name records that are in use, carry the sequence number it gives and
    // belong to this base record; every extent record must be named by its base's list.
    void CheckAttributeLists() {
        std::vector<bool> named(records_.size(), false);
        for (std::size_t n = 0; n < records_.size(); ++n) {
            const RecordInfo& info = records_[n];
            if (info.state != RecordState::InUse || info.base != 0 || !info.attributeList)
                continue;
            std::vector<std::uint8_t> list;
            if (!ReadAttributeList(n, list)) {
                Unreadable(static_cast<std::int64_t>(n), "its attribute list cannot be read");
                continue;
            }
            std::size_t at = 0;
            while (at + sizeof(ATTR_LIST_ENTRY) <= list.size()) {
                const auto* e = reinterpret_cast<const ATTR_LIST_ENTRY*>(list.data() + at);
                const std::size_t length = le16_to_cpu(e->length);
                if (length < sizeof(ATTR_LIST_ENTRY) || at + length > list.size()) {
                    Unreadable(static_cast<std::int64_t>(n), "its attribute list has a broken entry");
                    break;
                }
                const std::uint64_t ref = le64_to_cpu(e->mft_reference);
                const std::uint64_t target = MREF(ref);
                at += length;
                if (target == n)
                    continue;
                const std::string what = "its attribute list names record " + std::to_string(target) + " (" +
                                         TypeName(le32_to_cpu(e->type)) + ")";
                if (target >= records_.size() || records_[target].state == RecordState::Free) {
                    Unreadable(static_cast<std::int64_t>(n), what + ", which is not in use");
                    continue;
                }
                const RecordInfo& extent = records_[target];
                if (extent.state == RecordState::Unreadable)
                    continue;  // reported as itself
                if (extent.sequence != MSEQNO(ref)) {
                    Unreadable(static_cast<std::int64_t>(n),
                               what + " with sequence number " + std::to_string(MSEQNO(ref)) +
                                   ", but it has " + std::to_string(extent.sequence));
                    continue;
                }
                if (MREF(extent.base) != n) {
                    Unreadable(static_cast<std::int64_t>(n),
                               what + ", which belongs to record " + std::to_string(MREF(extent.base)));
                    continue;
                }
                named[target] = true;
            }
        }
        for (std::size_t n = 0; n < records_.size(); ++n) {
            RecordInfo& info = records_[n];
            if (info.state != RecordState::InUse || info.base == 0 || named[n])
                continue;
            orphans_.push_back(static_cast<std::uint32_t>(n));
            Note(report_.orphanRecords, 1, examples_,
                 "record " + std::to_string(n) + ": an extent of record " + std::to_string(MREF(info.base)) +
                     " that its attribute list does not name");
        }
    }

    bool ReadAttributeList(std::size_t n, std::vector<std::uint8_t>& list) {
        std::vector<std::uint8_t> raw(static_cast<std::size_t>(vol_->mft_record_size));
        auto* m = reinterpret_cast<MFT_RECORD*>(raw.data());
        if (ntfs_mft_record_read(vol_, n, m) != 0)
            return false;
        std::uint32_t offset = le16_to_cpu(m->attrs_offset);
        const std::uint32_t used = le32_to_cpu(m->bytes_in_use);
        while (offset + 8 <= used) {
            auto* a = reinterpret_cast<ATTR_RECORD*>(raw.data() + offset);
            if (a->type == AT_END)
                return false;
            if (a->type == AT_ATTRIBUTE_LIST) {
                if (!a->non_resident) {
                    const std::uint32_t length = le32_to_cpu(a->value_length);
                    const std::uint32_t at = le16_to_cpu(a->value_offset);
                    if (offset + at + length > used)
                        return false;
                    list.assign(raw.data() + offset + at, raw.data() + offset + at + length);
                    return true;
                }
                runlist_element* rl = ntfs_mapping_pairs_decompress(vol_, a, nullptr);
                if (rl == nullptr)
                    return false;
                const s64 size = sle64_to_cpu(a->data_size);
                bool ok = size >= 0 && size < (1 << 24);
                if (ok) {
                    list.resize(static_cast<std::size_t>(size));
                    ok = ntfs_rl_pread(vol_, rl, 0, size, list.data()) == size;
                }
                std::free(rl);
                return ok;
            }
            offset += le32_to_cpu(a->length);
        }
        return false;
    }

    void DropOrphanRuns() {
        if (orphans_.empty())
            return;
        std::sort(orphans_.begin(), orphans_.end());
        runs_.erase(std::remove_if(runs_.begin(), runs_.end(),
                                   [this](const Run& r) {
                                       return std::binary_search(orphans_.begin(), orphans_.end(), r.record);
                                   }),
                    runs_.end());
    }

    std::string Owner(const Run& r) {
        std::string text = "record " + std::to_string(r.record);
        const RecordInfo& info = records_[r.record];
        const std::uint64_t base = info.base != 0 ? MREF(info.base) : r.record;
        if (info.base != 0)
            text += " (extent of " + std::to_string(base) + ")";
        const std::string name = NameOf(base);
        if (!name.empty())
            text += " \"" + name + "\"";
        return text + " " + TypeName(r.type);
    }

    // The record's long name (not its short alias), for the instances shown.
    std::string NameOf(std::uint64_t record) {
        ntfs_inode* ni = ntfs_inode_open(vol_, record);
        if (ni == nullptr)
            return {};
        std::string name;
        ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
        while (ctx != nullptr &&
               ntfs_attr_lookup(AT_FILE_NAME, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
            const ATTR_RECORD* a = ctx->attr;
            if (a->non_resident)
                continue;
            const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
                reinterpret_cast<const std::uint8_t*>(a) + le16_to_cpu(a->value_offset));
            if (fn->file_name_type == FILE_NAME_DOS && !name.empty())
                continue;
            std::u16string u;
            for (int i = 0; i < fn->file_name_length; ++i)
                u.push_back(static_cast<char16_t>(le16_to_cpu(fn->file_name[i])));
            name = ToUtf8(FromUtf16(u));
            if (fn->file_name_type != FILE_NAME_DOS)
                break;
        }
        if (ctx != nullptr)
            ntfs_attr_put_search_ctx(ctx);
        ntfs_inode_close(ni);
        return name;
    }

    // The owners of a cluster, for the instances shown.
    std::string OwnersOf(std::int64_t lcn) {
        std::string text;
        for (const Run& r : runs_) {
            if (r.lcn > lcn)
                break;
            if (lcn < r.lcn + r.length)
                text += (text.empty() ? "" : ", ") + Owner(r);
        }
        return text;
    }

    static std::string Range(std::int64_t from, std::int64_t count) {
        return count == 1 ? "cluster " + std::to_string(from)
                          : "clusters " + std::to_string(from) + "-" + std::to_string(from + count - 1) +
                                " (" + std::to_string(count) + ")";
    }

    void CompareClusters() {
        std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.lcn < b.lcn; });
        const std::int64_t clusters = vol_->nr_clusters;
        std::vector<std::uint64_t> referenced(static_cast<std::size_t>((clusters + 63) / 64), 0);
        // Overlaps: the runs in LCN order, the furthest end seen so far and the end of what was counted.
        std::int64_t reach = 0, counted = 0;
        std::vector<std::pair<std::int64_t, std::int64_t>> twice;  // the instances shown
        for (const Run& r : runs_) {
            const std::int64_t end = r.lcn + r.length;
            if (r.lcn < reach) {
                const std::int64_t from = std::max(r.lcn, counted), to = std::min(end, reach);
                if (to > from) {
                    report_.referencedTwice.count += to - from;
                    ++report_.referencedTwice.instances;
                    if (twice.size() < examples_)
                        twice.emplace_back(from, to);
                    counted = to;
                }
            }
            reach = std::max(reach, end);
            SetRange(referenced, r.lcn, r.length);
        }
        for (const auto& [from, to] : twice)
            report_.referencedTwice.first.push_back(Range(from, to - from) + ": " + OwnersOf(from));
        // Referenced against marked, 64 clusters a word; the last word masked to the volume.
        const auto words = referenced.size();
        std::int64_t freeFrom = -1, leakFrom = -1;
        auto flush = [&](std::int64_t& from, std::int64_t at, bool isLeak) {
            if (from < 0)
                return;
            CheckClass& c = isLeak ? report_.leakedClusters : report_.referencedFree;
            c.count += at - from;
            ++c.instances;
            if (c.first.size() < examples_)
                c.first.push_back(Range(from, at - from) + (isLeak ? "" : ": " + OwnersOf(from)));
            from = -1;
        };
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t marked = 0;
            const std::size_t byte = w * 8;
            std::memcpy(&marked, clusterBitmap_.data() + byte,
                        std::min<std::size_t>(8, clusterBitmap_.size() - byte));
            marked = le64_to_cpu(marked);
            const std::int64_t inWord =
                std::min<std::int64_t>(64, clusters - static_cast<std::int64_t>(w) * 64);
            const std::uint64_t valid = inWord == 64 ? ~0ull : (1ull << inWord) - 1;
            marked &= valid;
            const std::uint64_t ref = referenced[w];
            report_.clustersMarkedUsed += __builtin_popcountll(marked);
            report_.clustersReferenced += __builtin_popcountll(ref);
            const std::uint64_t freeRef = ref & ~marked, leak = marked & ~ref;
            if (freeRef == 0 && leak == 0 && freeFrom < 0 && leakFrom < 0)
                continue;
            for (int b = 0; b < inWord; ++b) {
                const std::int64_t lcn = static_cast<std::int64_t>(w) * 64 + b;
                const bool f = ((freeRef >> b) & 1) != 0, l = ((leak >> b) & 1) != 0;
                if (f && freeFrom < 0)
                    freeFrom = lcn;
                else if (!f)
                    flush(freeFrom, lcn, false);
                if (l && leakFrom < 0)
                    leakFrom = lcn;
                else if (!l)
                    flush(leakFrom, lcn, true);
            }
        }
        flush(freeFrom, clusters, false);
        flush(leakFrom, clusters, true);
    }

    ntfs_volume* vol_;
    std::size_t examples_;
    VolumeCheckReport& report_;
    std::vector<std::uint8_t> clusterBitmap_;
    std::vector<std::uint8_t> recordBitmap_;
    std::vector<RecordInfo> records_;
    std::vector<Run> runs_;
    std::vector<std::uint32_t> orphans_;
};

void AppendClass(std::string& out, const char* title, const CheckClass& c, const char* unit) {
    char line[256];
    std::snprintf(line, sizeof line, "%s: %lld %s\n", title, static_cast<long long>(c.count), unit);
    out += line;
    for (const std::string& s : c.first)
        out += "  " + s + "\n";
    if (c.instances > static_cast<std::int64_t>(c.first.size()))
        out += "  ... and " + std::to_string(c.instances - static_cast<std::int64_t>(c.first.size())) +
               " more\n";
}

}  // namespace

int VolumeCheckReport::ExitCode() const {
    if (!error.empty())
        return 4;
    if (Damaged())
        return 3;
    return Leaks() ? 1 : 0;
}

VolumeCheckReport CheckVolume(const std::string& image, std::size_t examples) {
    VolumeCheckReport report;
    if (std::string why = MountedReason(image); !why.empty()) {
        report.error = why;
        return report;
    }
    // A run of kestrel-image that writes the image holds an exclusive lock on it; what a check saw in
    // the middle of its moves would be no verdict. The shared lock is held until the check has ended.
    const int lockFd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (lockFd >= 0 && flock(lockFd, LOCK_SH | LOCK_NB) != 0) {
        ::close(lockFd);
        report.error = MountFailureReason(image, EBUSY);
        return report;
    }
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0)
                ::close(fd);
        }
    } unlock{lockFd};
    std::unique_ptr<ntfs_volume, VolumeCloser> vol(ntfs_mount(image.c_str(), NTFS_MNT_RDONLY));
    if (!vol) {
        report.error = image + ": cannot be opened as an NTFS volume (" + std::strerror(errno) + ")";
        return report;
    }
    if (std::string why = ImageSizeReason(image, vol->nr_clusters * vol->cluster_size); !why.empty()) {
        report.error = why;
        return report;
    }
    Checker checker(vol.get(), examples, report);
    checker.Check();
    return report;
}

std::string FormatCheckReport(const std::string& image, const VolumeCheckReport& r) {
    if (!r.error.empty())
        return "kestrel-image: " + r.error + "\n";
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line,
                  "%s: %lld clusters of %lld bytes, %lld marked in use, %lld referenced; %lld MFT records in "
                  "use\n",
                  image.c_str(), static_cast<long long>(r.totalClusters),
                  static_cast<long long>(r.clusterSize), static_cast<long long>(r.clustersMarkedUsed),
                  static_cast<long long>(r.clustersReferenced), static_cast<long long>(r.recordsInUse));
    out += line;
    AppendClass(out, "clusters referenced but marked free (damage)", r.referencedFree, "clusters");
    AppendClass(out, "clusters referenced twice (damage)", r.referencedTwice, "clusters");
    AppendClass(out, "records in use but unreadable (damage)", r.unreadableRecords, "records");
    AppendClass(out, "clusters marked in use but referenced by nothing (leak)", r.leakedClusters, "clusters");
    AppendClass(out, "extent records that no file names (leak)", r.orphanRecords, "records");
    if (r.Damaged())
        out += "verdict: DAMAGED\n";
    else if (r.Leaks())
        out += "verdict: consistent, with leaked space\n";
    else
        out += "verdict: consistent\n";
    return out;
}

}  // namespace kestrel::ntfsimage
