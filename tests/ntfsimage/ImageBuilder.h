// Builds small NTFS images for the tests: a fresh volume made by mkntfs, written through libntfs-3g
// (files, folders, compressed folders, sparse ranges, named streams, deletions), and the independent
// tools' verdicts on the result (ntfscat for content, ntfsresize for the cluster accounting).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _ntfs_volume;

namespace kestrel::ntfsimage::test {

// The bytes of a test file: a pseudo-random sequence from `seed` (or, when `compressible`, short runs of
// repeated text that NTFS compression shrinks), the same for the same seed and length every time.
std::vector<std::uint8_t> Content(std::uint32_t seed, std::size_t length, bool compressible = false);
// 64-bit FNV-1a of bytes.
std::uint64_t Hash(const std::vector<std::uint8_t>& bytes);

// Runs a shell command; its exit status and standard output.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult RunCommand(const std::string& command);

// Creates a file of `mib` MiB at `path` and formats it with mkntfs (quick, clusters of `clusterBytes`,
// 4 KiB unless told). Empty on success, else what went wrong.
std::string MakeImage(const std::string& path, int mib, int clusterBytes = 4096);

// The content of a file's stream as ntfscat reads it from the image (unmounted), and whether it worked.
bool ReadWithNtfscat(const std::string& image, const std::string& path, const std::string& stream,
                     std::vector<std::uint8_t>& bytes);

// ntfsresize's full check of the runlists against $Bitmap: its exit status (0 = consistent) and output.
CommandResult CheckWithNtfsresize(const std::string& image);
// ntfsresize's verdict sorted: consistent; only clusters marked used that nothing references ("extra":
// a leak, harmless); or damage (a referenced cluster marked free, an unreadable record, anything else).
enum class ClusterVerdict { Consistent, LeaksOnly, Damage };
ClusterVerdict JudgeClusters(const CommandResult& ntfsresize);

// Writes files into an image. Paths are "/dir/file" (ASCII). Every method returns false when the
// writing failed.
class Writer {
  public:
    virtual ~Writer() = default;
    virtual bool ok() const = 0;
    // A folder; with `compressed`, files created in it are compressed.
    virtual bool MakeFolder(const std::string& path, bool compressed = false) = 0;
    virtual bool CreateFile(const std::string& path) = 0;
    // Writes bytes at an offset of the file's unnamed stream, or of the named stream (created when absent).
    virtual bool Write(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes,
                       const std::string& stream = "") = 0;
    virtual bool Delete(const std::string& path) = 0;
    // A second name (hard link) `path` for the file `existing`.
    virtual bool Link(const std::string& existing, const std::string& path) = 0;
};

// Writes through libntfs-3g directly; everything is written back when it is destroyed.
class ImageWriter : public Writer {
  public:
    explicit ImageWriter(const std::string& image);
    ~ImageWriter() override;
    ImageWriter(const ImageWriter&) = delete;
    ImageWriter& operator=(const ImageWriter&) = delete;

    bool ok() const override { return vol_ != nullptr; }
    bool MakeFolder(const std::string& path, bool compressed = false) override;
    bool CreateFile(const std::string& path) override;
    bool Write(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes,
               const std::string& stream = "") override;
    bool Delete(const std::string& path) override;
    bool Link(const std::string& existing, const std::string& path) override;
    // Free clusters of the volume.
    std::int64_t FreeClusters();
    // Marks one cluster free in $Bitmap behind every file's back (to prove that checks see it).
    bool ClearClusterBit(std::int64_t lcn);
    // Marks clusters in use in $Bitmap that nothing references (a leak).
    bool SetClusterBits(std::int64_t lcn, std::int64_t count);
    // Points the first run of `path`'s data at `lcn` and marks its old clusters free: damage that a
    // check must see when `lcn` belongs to another file.
    bool PointFirstRunAt(const std::string& path, std::int64_t lcn);
    // Writes a restart area into $LogFile as Windows leaves it when it did not shut down cleanly (Fast
    // Startup): a log client in use and the clean flag clear.
    bool MakeLogFileUnclean();
    // The first cluster at or after `lcn` that $Bitmap marks free, or -1.
    std::int64_t FreeClusterFrom(std::int64_t lcn);
    // The extent records of a file with an attribute list.
    std::vector<std::int64_t> ExtentRecordsOf(const std::string& path);
    // The MFT record number of a file, or -1.
    std::int64_t RecordOf(const std::string& path);
    // Rewrites MFT record `record` raw: `edit` gets the record with its update sequence removed (as the
    // library reads it) and the record's size; the fixups are applied again on writing, unless `raw`,
    // when the edited bytes are written as they are (a torn record).
    bool EditRecord(std::int64_t record, void (*edit)(std::uint8_t* record, std::uint32_t size),
                    bool raw = false);

  private:
    _ntfs_volume* vol_ = nullptr;
};

// True when this process can mount an image through FUSE (a usable /dev/fuse and the ntfs-3g driver).
bool FuseUsable();

// Writes through a FUSE mount of the ntfs-3g driver (with compression and Windows-style stream names)
// on `mountPoint`, with ordinary system calls; unmounted when it is destroyed, which returns once the
// driver has written everything back and ended.
class FuseWriter : public Writer {
  public:
    // With `readOnly`, the driver mounts read-only (and the writing methods fail): what a user who
    // mounts the image sees.
    FuseWriter(const std::string& image, const std::string& mountPoint, bool readOnly = false);
    ~FuseWriter() override;
    FuseWriter(const FuseWriter&) = delete;
    FuseWriter& operator=(const FuseWriter&) = delete;

    bool ok() const override { return mounted_; }
    bool MakeFolder(const std::string& path, bool compressed = false) override;
    bool CreateFile(const std::string& path) override;
    bool Write(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes,
               const std::string& stream = "") override;
    bool Delete(const std::string& path) override;
    bool Link(const std::string& existing, const std::string& path) override;
    // The content of a file's stream read through the mount; false when it cannot be read whole.
    bool Read(const std::string& path, const std::string& stream, std::vector<std::uint8_t>& bytes);

  private:
    std::string mountPoint_;
    int driver_ = -1;  // process id of the ntfs-3g driver
    bool mounted_ = false;
};

}  // namespace kestrel::ntfsimage::test
