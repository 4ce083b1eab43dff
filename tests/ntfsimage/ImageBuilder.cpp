// Building test images through libntfs-3g and asking the independent tools about them.
#include "tests/ntfsimage/ImageBuilder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/ntfsimage/NtfsLib.h"

extern "C" {
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/mst.h>
}

namespace kestrel::ntfsimage::test {

namespace {

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Unicode {
    ntfschar* name = nullptr;
    int length = 0;
    explicit Unicode(const std::string& text) { length = ntfs_mbstoucs(text.c_str(), &name); }
    ~Unicode() { std::free(name); }
    Unicode(const Unicode&) = delete;
    Unicode& operator=(const Unicode&) = delete;
    bool ok() const { return length > 0; }
};

void SplitParent(const std::string& path, std::string& parent, std::string& name) {
    const std::size_t slash = path.find_last_of('/');
    parent = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
}

}  // namespace

std::vector<std::uint8_t> Content(std::uint32_t seed, std::size_t length, bool compressible) {
    std::vector<std::uint8_t> bytes(length);
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ (std::uint64_t{seed} * 0x100000001B3ull);
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    if (!compressible) {
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<std::uint8_t>(next() >> 24);
        return bytes;
    }
    // Lines of text with a varying number in them: compresses well, and no two units are alike.
    std::size_t i = 0;
    while (i < length) {
        char line[64];
        const int n = std::snprintf(line, sizeof line, "line %llu of the compressible test text\n",
                                    static_cast<unsigned long long>(next() % 1000));
        for (int k = 0; k < n && i < length; ++k)
            bytes[i++] = static_cast<std::uint8_t>(line[k]);
    }
    return bytes;
}

std::uint64_t Hash(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001B3ull;
    }
    return h;
}

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string MakeImage(const std::string& path, int mib, int clusterBytes) {
    std::remove(path.c_str());
    const CommandResult made =
        RunCommand("truncate -s " + std::to_string(mib) + "M " + Quote(path) + " && mkntfs -F -Q -q -c " +
                   std::to_string(clusterBytes) + " -L kestrel " + Quote(path) + " 2>&1");
    if (made.status != 0)
        return "mkntfs failed: " + made.output;
    return {};
}

bool ReadWithNtfscat(const std::string& image, const std::string& path, const std::string& stream,
                     std::vector<std::uint8_t>& bytes) {
    // -f: a volume marked dirty (as a run that was cut off leaves it) is read all the same.
    std::string command = "ntfscat -q -f";
    if (!stream.empty())
        command += " -a 0x80 -n " + Quote(stream);
    command += " " + Quote(image) + " " + Quote(path) + " 2>/dev/null";
    const CommandResult result = RunCommand(command);
    bytes.assign(result.output.begin(), result.output.end());
    return result.status == 0;
}

CommandResult CheckWithNtfsresize(const std::string& image) {
    return RunCommand("ntfsresize -i -f " + Quote(image) + " 2>&1");
}

ClusterVerdict JudgeClusters(const CommandResult& check) {
    if (check.status == 0)
        return ClusterVerdict::Consistent;
    // ntfsresize lists each mismatch as "Cluster accounting failed at N (0x..): extra|missing cluster in
    // $Bitmap" and ends the accounting with "Totally N cluster accounting mismatches"; any other failure
    // (a record it cannot read, a damaged attribute list) ends it earlier.
    if (check.output.find("cluster accounting mismatches") == std::string::npos)
        return ClusterVerdict::Damage;
    std::size_t at = 0;
    while ((at = check.output.find("Cluster accounting failed", at)) != std::string::npos) {
        const std::size_t end = check.output.find('\n', at);
        if (check.output.substr(at, end - at).find("extra") == std::string::npos)
            return ClusterVerdict::Damage;
        at = end;
    }
    return ClusterVerdict::LeaksOnly;
}

ImageWriter::ImageWriter(const std::string& image) {
    vol_ = ntfs_mount(image.c_str(), NTFS_MNT_EXCLUSIVE);
    if (vol_ != nullptr)
        NVolSetCompression(vol_);
}

ImageWriter::~ImageWriter() {
    if (vol_ != nullptr)
        ntfs_umount(vol_, FALSE);
}

bool ImageWriter::MakeFolder(const std::string& path, bool compressed) {
    std::string parent, name;
    SplitParent(path, parent, name);
    ntfs_inode* dir = ntfs_pathname_to_inode(vol_, nullptr, parent.c_str());
    Unicode uname(name);
    if (dir == nullptr || !uname.ok()) {
        if (dir != nullptr)
            ntfs_inode_close(dir);
        return false;
    }
    ntfs_inode* ni =
        ntfs_create(dir, const_cpu_to_le32(0), uname.name, static_cast<u8>(uname.length), S_IFDIR);
    bool ok = ni != nullptr;
    if (ok && compressed) {
        ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
        NInoSetDirty(ni);
    }
    if (ni != nullptr)
        ok = ntfs_inode_close_in_dir(ni, dir) == 0 && ok;
    ntfs_inode_close(dir);
    return ok;
}

bool ImageWriter::CreateFile(const std::string& path) {
    std::string parent, name;
    SplitParent(path, parent, name);
    ntfs_inode* dir = ntfs_pathname_to_inode(vol_, nullptr, parent.c_str());
    Unicode uname(name);
    if (dir == nullptr || !uname.ok()) {
        if (dir != nullptr)
            ntfs_inode_close(dir);
        return false;
    }
    ntfs_inode* ni =
        ntfs_create(dir, const_cpu_to_le32(0), uname.name, static_cast<u8>(uname.length), S_IFREG);
    bool ok = ni != nullptr;
    if (ni != nullptr)
        ok = ntfs_inode_close_in_dir(ni, dir) == 0 && ok;
    ntfs_inode_close(dir);
    return ok;
}

bool ImageWriter::Write(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes,
                        const std::string& stream) {
    ntfs_inode* ni = ntfs_pathname_to_inode(vol_, nullptr, path.c_str());
    if (ni == nullptr)
        return false;
    ntfschar* name = AT_UNNAMED;
    int length = 0;
    std::unique_ptr<Unicode> uname;
    if (!stream.empty()) {
        uname = std::make_unique<Unicode>(stream);
        name = uname->name;
        length = uname->length;
        if (!ntfs_attr_exist(ni, AT_DATA, name, static_cast<u32>(length)) &&
            ntfs_attr_add(ni, AT_DATA, name, static_cast<u8>(length), nullptr, 0) != 0) {
            ntfs_inode_close(ni);
            return false;
        }
    }
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, name, static_cast<u32>(length));
    bool ok = na != nullptr;
    if (ok) {
        ok = ntfs_attr_pwrite(na, static_cast<s64>(offset), static_cast<s64>(bytes.size()), bytes.data()) ==
             static_cast<s64>(bytes.size());
        ok = ntfs_attr_pclose(na) == 0 && ok;
        ntfs_attr_close(na);
    }
    ok = ntfs_inode_close(ni) == 0 && ok;
    return ok;
}

bool ImageWriter::Delete(const std::string& path) {
    std::string parent, name;
    SplitParent(path, parent, name);
    ntfs_inode* dir = ntfs_pathname_to_inode(vol_, nullptr, parent.c_str());
    ntfs_inode* ni = dir == nullptr ? nullptr : ntfs_pathname_to_inode(vol_, dir, name.c_str());
    Unicode uname(name);
    if (dir == nullptr || ni == nullptr || !uname.ok()) {
        if (ni != nullptr)
            ntfs_inode_close(ni);
        if (dir != nullptr)
            ntfs_inode_close(dir);
        return false;
    }
    // ntfs_delete closes both inodes, whatever it answers.
    return ntfs_delete(vol_, path.c_str(), ni, dir, uname.name, static_cast<u8>(uname.length)) == 0;
}

bool ImageWriter::ClearClusterBit(std::int64_t lcn) {
    return ntfs_bitmap_clear_run(vol_->lcnbmp_na, lcn, 1) == 0;
}

bool ImageWriter::SetClusterBits(std::int64_t lcn, std::int64_t count) {
    return ntfs_bitmap_set_run(vol_->lcnbmp_na, lcn, count) == 0;
}

bool ImageWriter::MakeLogFileUnclean() {
    ntfs_inode* ni = ntfs_inode_open(vol_, FILE_LogFile);
    if (ni == nullptr)
        return false;
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    bool ok = na != nullptr;
    constexpr std::uint32_t kPage = 4096;
    if (ok) {
        std::vector<std::uint8_t> page(kPage, 0);
        auto* rp = reinterpret_cast<RESTART_PAGE_HEADER*>(page.data());
        rp->magic = magic_RSTR;
        rp->usa_ofs = cpu_to_le16(0x1e);
        rp->usa_count = cpu_to_le16(1 + kPage / NTFS_BLOCK_SIZE);
        rp->system_page_size = cpu_to_le32(kPage);
        rp->log_page_size = cpu_to_le32(kPage);
        rp->restart_area_offset = cpu_to_le16(0x30);
        rp->minor_ver = cpu_to_sle16(1);
        rp->major_ver = cpu_to_sle16(1);
        auto* ra = reinterpret_cast<RESTART_AREA*>(page.data() + 0x30);
        const std::uint64_t size = static_cast<std::uint64_t>(na->data_size);
        int bits = 0;
        for (std::uint64_t v = size; v != 0; v >>= 1)
            ++bits;
        ra->current_lsn = cpu_to_sle64(0x100000);
        ra->log_clients = cpu_to_le16(1);
        ra->client_free_list = LOGFILE_NO_CLIENT;
        ra->client_in_use_list = cpu_to_le16(0);  // a client still has the log open
        ra->flags = cpu_to_le16(0);               // and the volume is not marked clean
        ra->seq_number_bits = cpu_to_le32(static_cast<u32>(67 - bits));
        ra->client_array_offset = cpu_to_le16(sizeof(RESTART_AREA));
        ra->restart_area_length = cpu_to_le16(sizeof(RESTART_AREA) + sizeof(LOG_CLIENT_RECORD));
        ra->file_size = cpu_to_sle64(static_cast<s64>(size));
        ra->log_record_header_length = cpu_to_le16(0x30);
        ra->log_page_data_offset = cpu_to_le16(0x40);
        auto* client = reinterpret_cast<LOG_CLIENT_RECORD*>(page.data() + 0x30 + sizeof(RESTART_AREA));
        client->client_restart_lsn = cpu_to_sle64(0x100000);
        client->prev_client = LOGFILE_NO_CLIENT;
        client->next_client = LOGFILE_NO_CLIENT;
        client->client_name_length = cpu_to_le32(8);
        const char name[] = "NTFS";
        for (int i = 0; i < 4; ++i)
            client->client_name[i] = cpu_to_le16(static_cast<u16>(name[i]));
        ok = ntfs_mst_pre_write_fixup(reinterpret_cast<NTFS_RECORD*>(page.data()), kPage) == 0;
        // Both restart pages, as the log keeps them.
        for (s64 at : {s64{0}, s64{kPage}})
            ok = ok && ntfs_attr_pwrite(na, at, kPage, page.data()) == kPage;
        ntfs_attr_close(na);
    }
    return ntfs_inode_close(ni) == 0 && ok;
}

std::int64_t ImageWriter::FreeClusterFrom(std::int64_t lcn) {
    for (; lcn < vol_->nr_clusters; ++lcn) {
        std::uint8_t byte = 0;
        if (ntfs_attr_pread(vol_->lcnbmp_na, lcn / 8, 1, &byte) != 1)
            return -1;
        if (((byte >> (lcn % 8)) & 1) == 0)
            return lcn;
    }
    return -1;
}

std::vector<std::int64_t> ImageWriter::ExtentRecordsOf(const std::string& path) {
    std::vector<std::int64_t> records;
    ntfs_inode* ni = ntfs_pathname_to_inode(vol_, nullptr, path.c_str());
    if (ni == nullptr)
        return records;
    if (ntfs_inode_attach_all_extents(ni) == 0)
        for (int i = 0; i < ni->nr_extents; ++i)
            records.push_back(static_cast<std::int64_t>(ni->extent_nis[i]->mft_no));
    ntfs_inode_close(ni);
    return records;
}

std::int64_t ImageWriter::RecordOf(const std::string& path) {
    ntfs_inode* ni = ntfs_pathname_to_inode(vol_, nullptr, path.c_str());
    if (ni == nullptr)
        return -1;
    const auto record = static_cast<std::int64_t>(ni->mft_no);
    ntfs_inode_close(ni);
    return record;
}

bool ImageWriter::PointFirstRunAt(const std::string& path, std::int64_t lcn) {
    ntfs_inode* ni = ntfs_pathname_to_inode(vol_, nullptr, path.c_str());
    if (ni == nullptr)
        return false;
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    bool ok = na != nullptr && NAttrNonResident(na) && ntfs_attr_map_whole_runlist(na) == 0 &&
              na->rl != nullptr && na->rl[0].lcn >= 0;
    if (ok) {
        const LCN old = na->rl[0].lcn;
        const s64 length = na->rl[0].length;
        na->rl[0].lcn = lcn;
        NAttrSetRunlistDirty(na);
        ok = ntfs_attr_update_mapping_pairs(na, 0) == 0 &&
             ntfs_bitmap_clear_run(vol_->lcnbmp_na, old, length) == 0;
    }
    if (na != nullptr)
        ntfs_attr_close(na);
    return ntfs_inode_close(ni) == 0 && ok;
}

bool ImageWriter::EditRecord(std::int64_t record, void (*edit)(std::uint8_t*, std::uint32_t), bool raw) {
    const u32 size = vol_->mft_record_size;
    std::vector<std::uint8_t> bytes(size);
    auto* m = reinterpret_cast<MFT_RECORD*>(bytes.data());
    if (ntfs_mft_record_read(vol_, static_cast<MFT_REF>(record), m) != 0)
        return false;
    edit(bytes.data(), size);
    if (!raw)
        return ntfs_mft_record_write(vol_, static_cast<MFT_REF>(record), m) == 0;
    // Protect as on disk, then spoil one sector's check value: the record reads back torn.
    if (ntfs_mst_pre_write_fixup(reinterpret_cast<NTFS_RECORD*>(m), size) != 0)
        return false;
    bytes[510] ^= 0xFF;
    return ntfs_attr_pwrite(vol_->mft_na, record * size, size, bytes.data()) == static_cast<s64>(size);
}

bool FuseUsable() {
    const int fuse = open("/dev/fuse", O_RDWR);
    if (fuse < 0)
        return false;
    close(fuse);
    return RunCommand("command -v ntfs-3g >/dev/null").status == 0;
}

FuseWriter::FuseWriter(const std::string& image, const std::string& mountPoint, bool readOnly)
    : mountPoint_(mountPoint) {
    if (RunCommand("mkdir -p " + Quote(mountPoint)).status != 0)
        return;
    // The driver stays in the foreground as our child, so that the destructor can wait for it to have
    // written everything back: unmounting a FUSE file system returns before its driver has finished.
    driver_ = fork();
    if (driver_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("ntfs-3g", "ntfs-3g", "-o",
               readOnly ? "ro,no_detach,streams_interface=windows"
                        : "no_detach,compression,streams_interface=windows",
               image.c_str(), mountPoint.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (driver_ < 0)
        return;
    char* real = realpath(mountPoint.c_str(), nullptr);
    const std::string target = real != nullptr ? real : mountPoint;
    std::free(real);
    for (int i = 0; i < 500 && !mounted_; ++i) {
        if (waitpid(driver_, nullptr, WNOHANG) == driver_) {
            driver_ = -1;  // the driver gave up
            return;
        }
        mounted_ = RunCommand("grep -q ' " + target + " ' /proc/mounts").status == 0;
        if (!mounted_)
            usleep(20000);
    }
}

FuseWriter::~FuseWriter() {
    if (driver_ <= 0)
        return;
    if (mounted_)
        RunCommand("umount " + Quote(mountPoint_) + " 2>/dev/null || fusermount -u " + Quote(mountPoint_));
    else
        kill(driver_, SIGTERM);
    waitpid(driver_, nullptr, 0);
}

bool FuseWriter::MakeFolder(const std::string& path, bool compressed) {
    const std::string full = mountPoint_ + path;
    if (mkdir(full.c_str(), 0755) != 0)
        return false;
    if (!compressed)
        return true;
    // The folder's NTFS attributes, big-endian: directory and compressed.
    const std::uint8_t attributes[4] = {0x00, 0x00, 0x08, 0x10};
    return setxattr(full.c_str(), "system.ntfs_attrib_be", attributes, sizeof attributes, 0) == 0;
}

bool FuseWriter::CreateFile(const std::string& path) {
    const int fd = open((mountPoint_ + path).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd < 0)
        return false;
    return close(fd) == 0;
}

bool FuseWriter::Write(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes,
                       const std::string& stream) {
    const std::string full = mountPoint_ + path + (stream.empty() ? "" : ":" + stream);
    const int fd = open(full.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return close(fd) == 0 && done == bytes.size();
}

bool FuseWriter::Delete(const std::string& path) {
    return unlink((mountPoint_ + path).c_str()) == 0;
}

bool FuseWriter::Link(const std::string& existing, const std::string& path) {
    return link((mountPoint_ + existing).c_str(), (mountPoint_ + path).c_str()) == 0;
}

bool FuseWriter::Read(const std::string& path, const std::string& stream, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const std::string full = mountPoint_ + path + (stream.empty() ? "" : ":" + stream);
    const int fd = open(full.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    std::uint8_t buffer[1 << 16];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    close(fd);
    return n == 0;
}

bool ImageWriter::Link(const std::string& existing, const std::string& path) {
    std::string parent, name;
    SplitParent(path, parent, name);
    ntfs_inode* ni = ntfs_pathname_to_inode(vol_, nullptr, existing.c_str());
    ntfs_inode* dir = ntfs_pathname_to_inode(vol_, nullptr, parent.c_str());
    Unicode uname(name);
    bool ok = ni != nullptr && dir != nullptr && uname.ok() &&
              ntfs_link(ni, dir, uname.name, static_cast<u8>(uname.length)) == 0;
    if (ni != nullptr)
        ok = ntfs_inode_close(ni) == 0 && ok;
    if (dir != nullptr)
        ntfs_inode_close(dir);
    return ok;
}

std::int64_t ImageWriter::FreeClusters() {
    std::int64_t free = 0;
    for (std::int64_t lcn = 0; lcn < vol_->nr_clusters; lcn += 8) {
        std::uint8_t byte = 0;
        if (ntfs_attr_pread(vol_->lcnbmp_na, lcn / 8, 1, &byte) != 1)
            return -1;
        for (int bit = 0; bit < 8 && lcn + bit < vol_->nr_clusters; ++bit)
            free += ((byte >> bit) & 1) == 0;
    }
    return free;
}

}  // namespace kestrel::ntfsimage::test
