// The engine on real NTFS: images made by mkntfs and written through libntfs-3g, the four requests
// answered by the image backend, the engine's compaction over fragmented, sparse, compressed, resident
// and attribute-list files and named streams, and the verdict of tools that share no code with either:
// ntfscat for every byte, ntfsresize for the runlists against $Bitmap.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/ntfsimage/MoveRecord.h"
#include "platform/ntfsimage/NtfsImageFileSystem.h"
#include "service/engine/DefragEngine.h"
#include "tests/ntfsimage/ImageBuilder.h"
#include "platform/ntfsimage/VolumeCheck.h"
#include "tools/image/ImageDefrag.h"

namespace kestrel::ntfsimage::test {
namespace {

constexpr std::size_t kCluster = 4096;
constexpr wchar_t kLetter = L'C';

// One stream written to the image and what it must hold.
struct Written {
    std::string path;    // "/dir/file"
    std::string stream;  // named stream, or empty
    std::vector<std::uint8_t> bytes;
};

class ImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kestrel-ntfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        image_ = dir_ + "/volume.img";
        state_ = dir_ + "/state";
        // The records of runs in progress go to the test's own directory, for the tool as well.
        setenv("KESTREL_STATE_DIR", (dir_ + "/state").c_str(), 1);
        ASSERT_EQ(MakeImage(image_, 64), "");
    }
    // KESTREL_KEEP_IMAGES=1 keeps the images for a look with kestrel-image or the ntfs tools.
    void TearDown() override {
        if (std::getenv("KESTREL_KEEP_IMAGES") != nullptr)
            std::printf("image kept: %s\n", image_.c_str());
        else
            RunCommand("rm -rf '" + dir_ + "'");
    }

    // Writes the streams side by side, one chunk of each per round, so that their clusters interleave
    // the way concurrent writers leave them on NTFS. `chunks` gives each stream's chunk in clusters.
    void WriteSideBySide(Writer& w, std::vector<Written>& files, const std::vector<std::size_t>& chunks) {
        std::vector<std::size_t> done(files.size(), 0);
        for (bool more = true; more;) {
            more = false;
            for (std::size_t i = 0; i < files.size(); ++i) {
                const std::vector<std::uint8_t>& all = files[i].bytes;
                if (done[i] >= all.size())
                    continue;
                const std::size_t n = std::min(chunks[i] * kCluster, all.size() - done[i]);
                std::vector<std::uint8_t> piece(all.begin() + static_cast<std::ptrdiff_t>(done[i]),
                                                all.begin() + static_cast<std::ptrdiff_t>(done[i] + n));
                ASSERT_TRUE(w.Write(files[i].path, done[i], piece, files[i].stream)) << files[i].path;
                done[i] += n;
                more = more || done[i] < all.size();
            }
        }
    }

    // The fragmented image: five files written side by side in chunks of 1 to 3 clusters, a file with
    // a named stream, a file of 400 one-cluster extents (an attribute list), a sparse file, a compressed
    // file, a resident and an empty file.
    // Written through a FUSE mount of the ntfs-3g driver where this process can mount one (unless
    // KESTREL_IMAGE_WRITER=library), else through the library directly.
    // With `hostile`, also a second name (hard link) of one of the fragmented files, and a filler file that
    // leaves about 5 % of the volume free, so that the engine works with little room.
    void BuildFragmentedImage(bool hostile = false) {
        const char* choice = std::getenv("KESTREL_IMAGE_WRITER");
        const bool fuse = FuseUsable() && (choice == nullptr || std::string(choice) != "library");
        std::unique_ptr<Writer> writer;
        if (fuse)
            writer = std::make_unique<FuseWriter>(image_, dir_ + "/write");
        else
            writer = std::make_unique<ImageWriter>(image_);
        Writer& w = *writer;
        ASSERT_TRUE(w.ok());
        std::printf("image written through %s\n", fuse ? "a FUSE mount of ntfs-3g" : "libntfs-3g");
        ASSERT_TRUE(w.MakeFolder("/frag"));
        ASSERT_TRUE(w.MakeFolder("/comp", true));
        std::vector<Written> side;
        std::vector<std::size_t> chunks;
        for (int i = 0; i < 5; ++i) {
            const std::string path = "/frag/f" + std::to_string(i) + ".bin";
            ASSERT_TRUE(w.CreateFile(path));
            side.push_back({path, "", Content(100 + i, (90 + 37 * i) * kCluster + 123 * i)});
            chunks.push_back(1 + i % 3);
        }
        ASSERT_TRUE(w.CreateFile("/streams.bin"));
        side.push_back({"/streams.bin", "", Content(200, 40 * kCluster)});
        chunks.push_back(2);
        side.push_back({"/streams.bin", "alt", Content(201, 50 * kCluster + 7)});
        chunks.push_back(3);
        ASSERT_TRUE(w.CreateFile("/comp/text.txt"));
        side.push_back({"/comp/text.txt", "", Content(300, 20 * 16 * kCluster, true)});
        chunks.push_back(16);
        WriteSideBySide(w, side, chunks);

        // Hundreds of extents: the file and one-cluster spacer files take turns, then the spacers go.
        ASSERT_TRUE(w.CreateFile("/big.bin"));
        ASSERT_TRUE(w.MakeFolder("/spacers"));
        Written bigFile{"/big.bin", "", Content(400, 1000 * kCluster)};
        const std::vector<std::uint8_t> spacer = Content(401, kCluster);
        for (std::size_t i = 0; i < 1000; ++i) {
            const std::vector<std::uint8_t> piece(
                bigFile.bytes.begin() + static_cast<std::ptrdiff_t>(i * kCluster),
                bigFile.bytes.begin() + static_cast<std::ptrdiff_t>((i + 1) * kCluster));
            ASSERT_TRUE(w.Write(bigFile.path, i * kCluster, piece));
            const std::string name = "/spacers/s" + std::to_string(i);
            ASSERT_TRUE(w.CreateFile(name));
            ASSERT_TRUE(w.Write(name, 0, spacer));
        }
        for (std::size_t i = 0; i < 1000; ++i)
            ASSERT_TRUE(w.Delete("/spacers/s" + std::to_string(i)));
        side.push_back(bigFile);

        // Sparse: data, a hole of 100 clusters, data again, written between other writes.
        ASSERT_TRUE(w.CreateFile("/sparse.bin"));
        Written sparse{"/sparse.bin", "", std::vector<std::uint8_t>(140 * kCluster, 0)};
        const std::vector<std::uint8_t> head = Content(500, 20 * kCluster),
                                        tail = Content(501, 20 * kCluster);
        ASSERT_TRUE(w.Write(sparse.path, 0, head));
        ASSERT_TRUE(w.CreateFile("/between.bin"));
        const std::vector<std::uint8_t> between = Content(502, 3 * kCluster);
        ASSERT_TRUE(w.Write("/between.bin", 0, between));
        ASSERT_TRUE(w.Write(sparse.path, 120 * kCluster, tail));
        std::copy(head.begin(), head.end(), sparse.bytes.begin());
        std::copy(tail.begin(), tail.end(), sparse.bytes.begin() + 120 * kCluster);
        side.push_back(sparse);
        side.push_back({"/between.bin", "", between});

        ASSERT_TRUE(w.CreateFile("/small.txt"));
        const std::vector<std::uint8_t> small = Content(600, 300);
        ASSERT_TRUE(w.Write("/small.txt", 0, small));
        side.push_back({"/small.txt", "", small});
        ASSERT_TRUE(w.CreateFile("/empty.bin"));
        side.push_back({"/empty.bin", "", {}});
        if (hostile) {
            ASSERT_TRUE(w.Link("/frag/f1.bin", "/f1.link"));
            side.push_back({"/f1.link", "", side[1].bytes});
        }
        written_ = side;
        if (hostile) {
            writer.reset();  // everything written back before the free space is counted
            const std::int64_t total = RunsEndOfVolume();
            const std::size_t cluster = ClusterBytes();
            Written fillFile{"/fill.bin", "", {}};
            {
                ImageWriter filler(image_);
                ASSERT_TRUE(filler.ok());
                const std::int64_t fill = filler.FreeClusters() - total / 20;
                ASSERT_TRUE(filler.CreateFile(fillFile.path));
                fillFile.bytes =
                    Content(700, static_cast<std::size_t>(std::max<std::int64_t>(fill, 0)) * cluster);
                // In pieces of 1 MiB, until the library finds no more room outside the zone it keeps for
                // $MFT: the file then holds what was written of its content.
                for (std::size_t at = 0; at < fillFile.bytes.size(); at += 1 << 20) {
                    const std::size_t n = std::min<std::size_t>(1 << 20, fillFile.bytes.size() - at);
                    const auto from = fillFile.bytes.begin() + static_cast<std::ptrdiff_t>(at);
                    if (!filler.Write(fillFile.path, at,
                                      std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(n))))
                        break;
                }
            }
            NtfsImageFileSystem fs;
            ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
            const std::optional<std::uint64_t> size = fs.FindFileSize(L"C:\\fill.bin");
            ASSERT_TRUE(size.has_value());
            fillFile.bytes.resize(static_cast<std::size_t>(*size));
            written_.push_back(std::move(fillFile));
            std::printf("nearly full: %lld of %lld clusters free\n",
                        static_cast<long long>(fs.Figures(kLetter).freeClusters),
                        static_cast<long long>(total));
        }
    }

    // The volume's clusters and their size, from the boot sector.
    std::int64_t RunsEndOfVolume() {
        NtfsImageFileSystem fs;
        EXPECT_EQ(fs.Mount(kLetter, image_, true), "");
        return fs.Figures(kLetter).totalClusters;
    }
    std::size_t ClusterBytes() {
        NtfsImageFileSystem fs;
        EXPECT_EQ(fs.Mount(kLetter, image_, true), "");
        return static_cast<std::size_t>(fs.Figures(kLetter).clusterBytes);
    }
    // The written streams that ntfscat does not read back byte for byte.
    int StreamsChanged() {
        int changed = 0;
        for (const Written& f : written_) {
            std::vector<std::uint8_t> bytes;
            changed += !ReadWithNtfscat(image_, f.path, f.stream, bytes) || Hash(bytes) != Hash(f.bytes);
        }
        return changed;
    }
    // The same through a read-only mount of the ntfs-3g driver (what a user who mounts the image sees);
    // -1 when it cannot be mounted.
    int StreamsChangedThroughFuse() {
        FuseWriter mount(image_, dir_ + "/look", true);
        if (!mount.ok())
            return -1;
        int changed = 0;
        for (const Written& f : written_) {
            std::vector<std::uint8_t> bytes;
            changed += !mount.Read(f.path, f.stream, bytes) || Hash(bytes) != Hash(f.bytes);
        }
        return changed;
    }

    // Every written stream read back by ntfscat must be byte for byte what was written.
    void ExpectContentIntact() {
        for (const Written& f : written_) {
            std::vector<std::uint8_t> bytes;
            ASSERT_TRUE(ReadWithNtfscat(image_, f.path, f.stream, bytes)) << f.path << ":" << f.stream;
            EXPECT_EQ(bytes.size(), f.bytes.size()) << f.path << ":" << f.stream;
            EXPECT_EQ(Hash(bytes), Hash(f.bytes)) << f.path << ":" << f.stream;
        }
    }

    void ExpectClustersAccounted() {
        const CommandResult check = CheckWithNtfsresize(image_);
        EXPECT_EQ(check.status, 0) << check.output;
    }

    // Records of runs and moves in the state directory (not what a write cut off before its rename left).
    int Records() const {
        int count = 0;
        if (DIR* d = opendir(state_.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                count += (name.size() > 4 && name.compare(name.size() - 4, 4, ".run") == 0) ||
                         (name.size() > 5 && name.compare(name.size() - 5, 5, ".move") == 0);
            }
            closedir(d);
        }
        return count;
    }
    // Files left in the state directory.
    int RecordsLeft() const {
        int count = 0;
        if (DIR* d = opendir(state_.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    ++count;
            closedir(d);
        }
        return count;
    }
    bool Dirty() {
        NtfsImageFileSystem fs;
        EXPECT_EQ(fs.Mount(kLetter, image_, true), "");
        const bool dirty = fs.VolumeDirty(kLetter);
        fs.Unmount(kLetter);
        return dirty;
    }
    // A file of `clusters` one-cluster extents (an attribute list): its clusters and one-cluster spacer
    // files take turns, then the spacers go.
    void WriteManyExtents(const std::string& path, std::size_t clusters, std::uint32_t seed,
                          std::size_t cluster) {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.CreateFile(path));
        ASSERT_TRUE(w.MakeFolder(path + ".spacers"));
        Written file{path, "", Content(seed, clusters * cluster)};
        // A spacer too small would stay resident in its MFT record and separate nothing.
        const std::vector<std::uint8_t> spacer = Content(seed + 1, std::max<std::size_t>(cluster, 2048));
        for (std::size_t i = 0; i < clusters; ++i) {
            const std::vector<std::uint8_t> piece(
                file.bytes.begin() + static_cast<std::ptrdiff_t>(i * cluster),
                file.bytes.begin() + static_cast<std::ptrdiff_t>((i + 1) * cluster));
            ASSERT_TRUE(w.Write(path, i * cluster, piece));
            const std::string name = path + ".spacers/s" + std::to_string(i);
            ASSERT_TRUE(w.CreateFile(name));
            ASSERT_TRUE(w.Write(name, 0, spacer));
        }
        for (std::size_t i = 0; i < clusters; ++i)
            ASSERT_TRUE(w.Delete(path + ".spacers/s" + std::to_string(i)));
        written_.push_back(file);
    }

    static std::wstring W(const std::string& path) {
        std::wstring w = FromUtf8(path);
        for (wchar_t& c : w)
            if (c == L'/')
                c = L'\\';
        return w;
    }

    std::string dir_;
    std::string image_;
    std::string state_;
    std::vector<Written> written_;
};

fs::NtStatus Request(fs::FileSystemControl& fs, fs::RawHandle h, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength,
                     std::uintptr_t* bytes = nullptr) {
    fs::IO_STATUS_BLOCK io{};
    const fs::NtStatus status = fs.Control(h, io, code, in, inLength, out, outLength);
    EXPECT_EQ(io.Status, status);
    if (bytes != nullptr)
        *bytes = io.Information;
    return status;
}

TEST_F(ImageTest, AnswersTheFourRequestsAsWindowsDoes) {
    BuildFragmentedImage();
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    const fs::FsHandle volume = fs.Own(fs.OpenVolume(L"\\\\.\\C:").handle);
    ASSERT_TRUE(volume.valid());

    // Volume data: the geometry mkntfs wrote, the free count of the bitmap, a zone inside the volume.
    fs::NTFS_VOLUME_DATA_BUFFER data{};
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlGetNtfsVolumeData, nullptr, 0, &data, sizeof data),
              fs::kStatusSuccess);
    EXPECT_EQ(data.BytesPerCluster, 4096u);
    EXPECT_EQ(data.TotalClusters,
              64 * 1024 * 1024 / 4096 - 1);  // the backup boot sector's cluster is not counted
    EXPECT_EQ(data.FreeClusters, fs.FreeClusters(kLetter));
    EXPECT_EQ(data.BytesPerFileRecordSegment, 1024u);
    EXPECT_LE(data.MftZoneStart, data.MftZoneEnd);
    EXPECT_LT(data.MftZoneEnd, data.TotalClusters);
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlGetNtfsVolumeData, nullptr, 0, &data, 95),
              fs::kStatusBufferTooSmall);
    std::printf(
        "volume: %lld clusters, %lld free, MFT at %lld (valid %lld bytes), mirror at %lld, zone %lld-%lld\n",
        static_cast<long long>(data.TotalClusters), static_cast<long long>(data.FreeClusters),
        static_cast<long long>(data.MftStartLcn), static_cast<long long>(data.MftValidDataLength),
        static_cast<long long>(data.Mft2StartLcn), static_cast<long long>(data.MftZoneStart),
        static_cast<long long>(data.MftZoneEnd));

    // The engine sizes its bitmap buffer from the size of $Bitmap, found without regard to case.
    const auto bitmapFile = fs.FindFileSize(L"C:\\$bitmap");
    ASSERT_TRUE(bitmapFile.has_value());
    EXPECT_GE(*bitmapFile, static_cast<std::uint64_t>(data.TotalClusters + 7) / 8);
    EXPECT_LT(*bitmapFile, static_cast<std::uint64_t>(data.TotalClusters + 7) / 8 + 8);

    // Bitmap: the start rounds down to a multiple of 8; a short buffer gets a partial answer; the bits
    // agree with the free count.
    std::vector<std::uint8_t> bitmap(16 + static_cast<std::size_t>(data.TotalClusters + 7) / 8);
    std::int64_t start = 13;
    std::uintptr_t bytes = 0;
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlGetVolumeBitmap, &start, 8, bitmap.data(),
                      static_cast<std::uint32_t>(bitmap.size()), &bytes),
              fs::kStatusSuccess);
    std::int64_t answeredStart = 0, size = 0;
    std::memcpy(&answeredStart, bitmap.data(), 8);
    std::memcpy(&size, bitmap.data() + 8, 8);
    EXPECT_EQ(answeredStart, 8);
    EXPECT_EQ(size, data.TotalClusters - 8);
    EXPECT_EQ(bytes, 16u + static_cast<std::uintptr_t>((size + 7) / 8));
    start = 0;
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlGetVolumeBitmap, &start, 8, bitmap.data(),
                      static_cast<std::uint32_t>(bitmap.size())),
              fs::kStatusSuccess);
    std::int64_t free = 0;
    for (std::int64_t lcn = 0; lcn < data.TotalClusters; ++lcn)
        free += (bitmap[16 + static_cast<std::size_t>(lcn / 8)] >> (lcn % 8) & 1) == 0;
    EXPECT_EQ(free, data.FreeClusters);
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlGetVolumeBitmap, &start, 8, bitmap.data(), 20, &bytes),
              fs::kStatusBufferOverflow);
    EXPECT_EQ(bytes, 20u);
    start = data.TotalClusters;
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlGetVolumeBitmap, &start, 8, bitmap.data(), 64),
              fs::kStatusInvalidParameter);

    // Retrieval: the answer begins at the run that holds the VCN; holes are LCN -1; paging overflows.
    const std::vector<ImageRun> runs = fs.Runs(kLetter, L"\\frag\\f2.bin");
    ASSERT_GT(runs.size(), 3u);
    const fs::FsHandle file = fs.Own(fs.OpenFile(L"\\\\?\\C:\\frag\\f2.bin").handle);
    ASSERT_TRUE(file.valid());
    std::vector<std::int64_t> answer(2 + 2 * runs.size());
    std::int64_t vcn = runs[2].vcn + runs[2].length - 1;  // the last VCN of the third run
    ASSERT_EQ(Request(fs, file.get(), fs::kFsctlGetRetrievalPointers, &vcn, 8, answer.data(),
                      static_cast<std::uint32_t>(answer.size() * 8), &bytes),
              fs::kStatusSuccess);
    EXPECT_EQ(answer[0] & 0xFFFFFFFF, static_cast<std::int64_t>(runs.size() - 2));
    EXPECT_EQ(answer[1], runs[2].vcn);
    EXPECT_EQ(answer[2], runs[2].vcn + runs[2].length);
    EXPECT_EQ(answer[3], runs[2].lcn);
    vcn = 0;
    EXPECT_EQ(Request(fs, file.get(), fs::kFsctlGetRetrievalPointers, &vcn, 8, answer.data(), 48, &bytes),
              fs::kStatusBufferOverflow);
    EXPECT_EQ(bytes, 48u);
    vcn = runs.back().vcn + runs.back().length;
    EXPECT_EQ(Request(fs, file.get(), fs::kFsctlGetRetrievalPointers, &vcn, 8, answer.data(), 64),
              fs::kStatusEndOfFile);
    const fs::FsHandle sparse = fs.Own(fs.OpenFile(L"\\\\?\\C:\\sparse.bin").handle);
    vcn = 50;  // inside the hole
    const fs::NtStatus holeStatus =
        Request(fs, sparse.get(), fs::kFsctlGetRetrievalPointers, &vcn, 8, answer.data(), 64);
    EXPECT_TRUE(holeStatus == fs::kStatusSuccess || holeStatus == fs::kStatusBufferOverflow) << holeStatus;
    EXPECT_EQ(answer[3], -1);
    EXPECT_LE(answer[1], 50);
    EXPECT_GT(answer[2], 50);
    for (const wchar_t* resident : {L"\\\\?\\C:\\small.txt", L"\\\\?\\C:\\empty.bin", L"\\\\?\\C:\\frag"}) {
        const fs::FsHandle h = fs.Own(fs.OpenFile(resident).handle);
        ASSERT_TRUE(h.valid());
        vcn = 0;
        EXPECT_EQ(Request(fs, h.get(), fs::kFsctlGetRetrievalPointers, &vcn, 8, answer.data(), 64),
                  fs::kStatusEndOfFile);
    }

    // Opens: Win32 errors for what is not there.
    EXPECT_EQ(fs.OpenFile(L"\\\\?\\C:\\frag\\nothing.bin").error, fs::kErrorFileNotFound);
    EXPECT_EQ(fs.OpenFile(L"\\\\?\\C:\\nowhere\\f.bin").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fs.OpenFile(L"\\\\?\\C:\\streams.bin:nothing").error, fs::kErrorFileNotFound);
    const fs::FsHandle upper = fs.Own(fs.OpenFile(L"\\\\?\\C:\\FRAG\\F2.BIN").handle);
    EXPECT_TRUE(upper.valid());
    const fs::FsHandle stream = fs.Own(fs.OpenFile(L"\\\\?\\C:\\streams.bin:alt:$DATA").handle);
    EXPECT_TRUE(stream.valid());

    // Moves that must be refused, each leaving the file as it was.
    fs::MOVE_FILE_DATA move{file.get(), 0, 0, 4};
    for (std::int64_t lcn = 0; lcn < data.TotalClusters; ++lcn)
        if (bitmap[16 + static_cast<std::size_t>(lcn / 8)] >> (lcn % 8) & 1) {
            move.StartingLcn = lcn + 1 < data.TotalClusters ? lcn : 0;
            break;
        }
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
              fs::kStatusAlreadyCommitted);
    move.StartingLcn = data.TotalClusters - 2;  // four clusters do not fit behind it
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
              fs::kStatusInvalidParameter);
    move.StartingVcn = runs.back().vcn + runs.back().length;
    move.StartingLcn = 100;
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
              fs::kStatusInvalidParameter);
    const fs::FsHandle small = fs.Own(fs.OpenFile(L"\\\\?\\C:\\small.txt").handle);
    const fs::FsHandle mft = fs.Own(fs.OpenFile(L"\\\\?\\C:\\$MFT").handle);
    ASSERT_TRUE(mft.valid());
    fs::MOVE_FILE_DATA residentMove{small.get(), 0, data.TotalClusters - 10, 1};
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &residentMove, sizeof residentMove, nullptr, 0),
              fs::kStatusInvalidParameter);
    fs::MOVE_FILE_DATA systemMove{mft.get(), 0, data.TotalClusters - 10, 1};
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &systemMove, sizeof systemMove, nullptr, 0),
              fs::kStatusAccessDenied);
    const fs::FsHandle quota = fs.Own(fs.OpenFile(L"\\\\?\\C:\\$Extend\\$Quota").handle);
    ASSERT_TRUE(quota.valid());
    systemMove.FileHandle = quota.get();
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &systemMove, sizeof systemMove, nullptr, 0),
              fs::kStatusAccessDenied);
    EXPECT_EQ(fs.Runs(kLetter, L"\\frag\\f2.bin"), runs);

    // A move into free clusters near the end: the VCNs land there, the old clusters are free again.
    const std::int64_t target = data.TotalClusters - 64;
    fs::MOVE_FILE_DATA good{file.get(), runs[1].vcn, target,
                            static_cast<std::uint32_t>(runs[1].length + runs[2].length)};
    const std::int64_t freeBefore = fs.FreeClusters(kLetter);
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &good, sizeof good, nullptr, 0),
              fs::kStatusSuccess);
    const std::vector<ImageRun> after = fs.Runs(kLetter, L"\\frag\\f2.bin");
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[1], (ImageRun{runs[1].vcn, target, runs[1].length + runs[2].length}));
    EXPECT_EQ(fs.FreeClusters(kLetter), freeBefore);
    EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &good, sizeof good, nullptr, 0),
              fs::kStatusAlreadyCommitted);  // its own clusters now

    // A compressed file moves in whole compression units: a request for one cluster inside the first
    // unit carries the unit's stored clusters, and the rest of the unit stays a hole.
    const std::vector<ImageRun> units = fs.Runs(kLetter, L"\\comp\\text.txt");
    ASSERT_GE(units.size(), 2u);
    ASSERT_EQ(units[1].lcn, -1);
    ASSERT_EQ(units[0].length + units[1].length, 16);
    const std::int64_t unitTarget = data.TotalClusters - 200;
    for (std::int64_t lcn = unitTarget; lcn < unitTarget + 16; ++lcn)
        ASSERT_EQ(bitmap[16 + static_cast<std::size_t>(lcn / 8)] >> (lcn % 8) & 1, 0);
    const fs::FsHandle compressed = fs.Own(fs.OpenFile(L"\\\\?\\C:\\comp\\text.txt").handle);
    fs::MOVE_FILE_DATA unitMove{compressed.get(), 5, unitTarget, 1};
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &unitMove, sizeof unitMove, nullptr, 0),
              fs::kStatusSuccess);
    const std::vector<ImageRun> movedUnits = fs.Runs(kLetter, L"\\comp\\text.txt");
    EXPECT_EQ(movedUnits[0], (ImageRun{0, unitTarget, units[0].length}));
    EXPECT_EQ(movedUnits[1], units[1]);
    EXPECT_EQ(movedUnits.size(), units.size());

    // A sparse file's range that spans its hole: only the stored clusters move, the hole stays.
    const std::vector<ImageRun> sparseRuns = fs.Runs(kLetter, L"\\sparse.bin");
    ASSERT_EQ(sparseRuns.size(), 3u);
    fs::MOVE_FILE_DATA sparseMove{sparse.get(), 0, unitTarget + 20, 140};
    ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &sparseMove, sizeof sparseMove, nullptr, 0),
              fs::kStatusSuccess);
    EXPECT_EQ(fs.Runs(kLetter, L"\\sparse.bin"),
              (std::vector<ImageRun>{{0, unitTarget + 20, 20}, {20, -1, 100}, {120, unitTarget + 40, 20}}));
    EXPECT_EQ(fs.Fragments(kLetter, L"\\sparse.bin"), 1);

    ASSERT_TRUE(fs.Unmount(kLetter));
    ExpectContentIntact();
    ExpectClustersAccounted();
}

TEST_F(ImageTest, EngineDefragmentsEveryKindOfFile) {
    BuildFragmentedImage();
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    // The image holds what the test means it to.
    const auto big = fs.FileKind(kLetter, L"\\big.bin");
    ASSERT_TRUE(big.has_value());
    EXPECT_TRUE(big->attributeList);
    EXPECT_GE(fs.Fragments(kLetter, L"\\big.bin"), 300);
    EXPECT_TRUE(fs.FileKind(kLetter, L"\\sparse.bin")->sparse);
    EXPECT_TRUE(fs.FileKind(kLetter, L"\\small.txt")->resident);
    const bool compressed = fs.FileKind(kLetter, L"\\comp\\text.txt")->compressed;
    EXPECT_TRUE(compressed);
    EXPECT_EQ(fs.Streams(kLetter, L"\\streams.bin"), std::vector<std::wstring>{L"alt"});

    std::map<std::wstring, int> before;
    const std::vector<std::wstring> files = FilesAndStreams(fs, kLetter);
    for (const std::wstring& f : files)
        before[f] = fs.Fragments(kLetter, f);
    EXPECT_GT(before[L"\\frag\\f0.bin"], 10);
    EXPECT_GT(before[L"\\streams.bin:alt"], 5);

    timing::ScopedTimeDivisor fast(1000);
    std::vector<FileOutcome> outcomes;
    const DefragSummary summary =
        DefragmentFiles(fs, kLetter, files, [&](const FileOutcome& o) { outcomes.push_back(o); });
    EXPECT_EQ(fs.OpenHandles(), 0u);
    for (const FileOutcome& o : outcomes) {
        EXPECT_FALSE(o.failed) << ToUtf8(o.path);
        EXPECT_EQ(o.fragmentsAfter, fs.Fragments(kLetter, o.path));
        EXPECT_LT(o.fragmentsAfter, o.fragmentsBefore) << ToUtf8(o.path);
    }
    // The plain files and streams end in one piece: the volume has room for each of them.
    for (const wchar_t* path :
         {L"\\frag\\f0.bin", L"\\frag\\f4.bin", L"\\streams.bin", L"\\streams.bin:alt", L"\\big.bin"})
        EXPECT_EQ(fs.Fragments(kLetter, path), 1) << ToUtf8(path);
    EXPECT_LT(summary.fragmentsAfter, summary.fragmentsBefore);
    EXPECT_GT(summary.clustersMoved, 0);
    std::printf(
        "image: %d files and streams, %d fragmented, %d improved; fragments %lld -> %lld; %lld "
        "clusters moved; %.2f s\n",
        summary.filesSeen, summary.filesWorked, summary.filesImproved,
        static_cast<long long>(summary.fragmentsBefore), static_cast<long long>(summary.fragmentsAfter),
        static_cast<long long>(summary.clustersMoved), summary.seconds);
    ASSERT_TRUE(fs.Unmount(kLetter));
    ExpectContentIntact();
    ExpectClustersAccounted();
}

// A crowded volume: after the fragmented files, fillers of 48 clusters take all the space and every
// other one is deleted again, so that no file larger than 48 clusters fits anywhere in one piece. The
// engine must gather pieces into the largest free runs, pass after pass, with the library allocating
// for the runlists (attribute lists, $MFT) under its feet.
TEST_F(ImageTest, EngineGathersPiecesOnACrowdedVolume) {
    BuildFragmentedImage();
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.MakeFolder("/fill"));
        const std::vector<std::uint8_t> filler = Content(700, 48 * kCluster);
        int made = 0;
        for (; made < 1000; ++made) {
            const std::string name = "/fill/x" + std::to_string(made);
            if (!w.CreateFile(name))
                break;
            if (!w.Write(name, 0, filler)) {
                ++made;  // the last one is partly written: it goes too
                break;
            }
        }
        ASSERT_GT(made, 100);
        for (int i = 0; i < made; i += 2)
            ASSERT_TRUE(w.Delete("/fill/x" + std::to_string(i)));
        if (made % 2 == 0) {
            ASSERT_TRUE(w.Delete("/fill/x" + std::to_string(made - 1)));
        }
    }
    ExpectClustersAccounted();
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    std::vector<std::wstring> files;
    for (const Written& f : written_)
        files.push_back(W(f.path) + (f.stream.empty() ? L"" : L":" + FromUtf8(f.stream)));
    timing::ScopedTimeDivisor fast(1000);
    std::vector<FileOutcome> outcomes;
    const DefragSummary summary =
        DefragmentFiles(fs, kLetter, files, [&](const FileOutcome& o) { outcomes.push_back(o); });
    for (const FileOutcome& o : outcomes) {
        EXPECT_FALSE(o.failed) << ToUtf8(o.path);
        EXPECT_LE(o.fragmentsAfter, o.fragmentsBefore) << ToUtf8(o.path);
    }
    EXPECT_LT(summary.fragmentsAfter, summary.fragmentsBefore);
    std::printf(
        "crowded image: %lld free clusters; %d fragmented, %d improved; fragments %lld -> %lld; %lld "
        "clusters moved; %.2f s\n",
        static_cast<long long>(fs.FreeClusters(kLetter)), summary.filesWorked, summary.filesImproved,
        static_cast<long long>(summary.fragmentsBefore), static_cast<long long>(summary.fragmentsAfter),
        static_cast<long long>(summary.clustersMoved), summary.seconds);
    ASSERT_TRUE(fs.Unmount(kLetter));
    ExpectContentIntact();
    ExpectClustersAccounted();
}

// Moves that split a file into hundreds of runs make the library add an attribute list (and take
// clusters for it and for $MFT with its own allocator) while the backend writes the runlist; then the
// engine brings the file back into one piece. The library's allocations must be accounted for.
TEST_F(ImageTest, MovesThatSplitAFileGrowAnAttributeList) {
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.CreateFile("/whole.bin"));
        written_.push_back({"/whole.bin", "", Content(800, 600 * kCluster)});
        ASSERT_TRUE(w.Write("/whole.bin", 0, written_.back().bytes));
    }
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    const std::vector<ImageRun> runs = fs.Runs(kLetter, L"\\whole.bin");
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_FALSE(fs.FileKind(kLetter, L"\\whole.bin")->attributeList);
    const fs::FsHandle volume = fs.Own(fs.OpenVolume(L"\\\\.\\C:").handle);
    const fs::FsHandle file = fs.Own(fs.OpenFile(L"\\\\?\\C:\\whole.bin").handle);
    // Every other cluster to every other cluster of a free area far behind the file: 300 separate runs.
    const std::int64_t area = runs[0].lcn + runs[0].length + 2000;
    for (std::int64_t i = 0; i < 300; ++i) {
        fs::MOVE_FILE_DATA move{file.get(), 2 * i, area + 2 * i, 1};
        ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
                  fs::kStatusSuccess)
            << "move " << i;
    }
    EXPECT_EQ(fs.Fragments(kLetter, L"\\whole.bin"), 600);
    EXPECT_TRUE(fs.FileKind(kLetter, L"\\whole.bin")->attributeList);
    const std::uint64_t splitSwitches = fs.Counters(kLetter).oneWriteSwitches;
    std::printf("one-write switches while splitting: %llu\n", static_cast<unsigned long long>(splitSwitches));
    ASSERT_TRUE(fs.Unmount(kLetter));
    ExpectContentIntact();
    ExpectClustersAccounted();

    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    timing::ScopedTimeDivisor fast(1000);
    const DefragSummary summary = DefragmentFiles(fs, kLetter, {L"\\whole.bin"}, nullptr);
    EXPECT_EQ(fs.Fragments(kLetter, L"\\whole.bin"), 1);
    std::printf("one-write switches while joining: %llu\n",
                static_cast<unsigned long long>(fs.Counters(kLetter).oneWriteSwitches));
    std::printf("%lld extents to %lld in %.3f s, %lld clusters moved\n",
                static_cast<long long>(summary.fragmentsBefore),
                static_cast<long long>(summary.fragmentsAfter), summary.seconds,
                static_cast<long long>(summary.clustersMoved));
    ASSERT_TRUE(fs.Unmount(kLetter));
    ExpectContentIntact();
    ExpectClustersAccounted();
}

// The bytes of a whole file (an image), hashed: proves that a command wrote nothing.
std::uint64_t FileHash(const std::string& path) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return 0;
    std::vector<std::uint64_t> block(1 << 17);
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size() * 8, file)) > 0) {
        std::fill(reinterpret_cast<std::uint8_t*>(block.data()) + n,
                  reinterpret_cast<std::uint8_t*>(block.data() + (n + 7) / 8), 0);
        for (std::size_t i = 0; i < (n + 7) / 8; ++i)
            h = (h ^ block[i]) * 0x100000001B3ull + (h >> 29);
        h ^= n;
    }
    std::fclose(file);
    return h;
}

// An overlay (the dry run's device) lets the volume be worked on as usual, every read seeing the writes,
// while not one byte reaches the image file.
TEST_F(ImageTest, AnOverlayKeepsEveryWriteOffTheImage) {
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.CreateFile("/whole.bin"));
        written_.push_back({"/whole.bin", "", Content(810, 300 * kCluster)});
        ASSERT_TRUE(w.Write("/whole.bin", 0, written_.back().bytes));
    }
    const std::uint64_t image = FileHash(image_);
    NtfsImageFileSystem fs;
    MountOptions options;
    options.policy = WritePolicy::Overlay;
    ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
    const std::vector<ImageRun> runs = fs.Runs(kLetter, L"\\whole.bin");
    ASSERT_EQ(runs.size(), 1u);
    {
        const fs::FsHandle volume = fs.Own(fs.OpenVolume(L"\\\\.\\C:").handle);
        const fs::FsHandle file = fs.Own(fs.OpenFile(L"\\\\?\\C:\\whole.bin").handle);
        for (std::int64_t i = 0; i < 150; ++i) {
            fs::MOVE_FILE_DATA move{file.get(), 2 * i, runs[0].lcn + runs[0].length + 1000 + 2 * i, 1};
            ASSERT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
                      fs::kStatusSuccess);
        }
    }
    // The mounted volume shows the moves (an attribute list grew), and the content reads back whole.
    EXPECT_EQ(fs.Fragments(kLetter, L"\\whole.bin"), 300);
    EXPECT_TRUE(fs.FileKind(kLetter, L"\\whole.bin")->attributeList);
    EXPECT_GT(fs.Device(kLetter)->OverlayBytes(), 0u);
    EXPECT_EQ(fs.Device(kLetter)->Writes(), 0u);
    ASSERT_TRUE(fs.Unmount(kLetter));
    EXPECT_EQ(FileHash(image_), image);
    ExpectContentIntact();
    ExpectClustersAccounted();
}

// ---- Interrupted runs: power cuts, records, the dirty mark, signals and kills ----

// The moves of the power-cut tests: a file of 600 one-cluster extents (an attribute list with extent
// records) joined 100 VCNs at a time into a free area, so that every move shrinks the mapping pairs and
// the library frees extent records. `cutAt`: the device event at which the power goes (0: never); with
// the Through policy everything written before it stays, as after a kill.
struct JoinRun {
    std::vector<std::vector<DeviceEvent>> events;  // per move
    std::vector<fs::NtStatus> statuses;
    NtfsImageFileSystem::MoveCounters counters;
};

JoinRun JoinExtents(const std::string& image, const std::string& state, std::int64_t area,
                    std::uint64_t cutAt, WritePolicy policy = WritePolicy::UntilFlush,
                    bool oneWriteSwitch = true) {
    JoinRun run;
    NtfsImageFileSystem fs;
    ImageDevice* device = nullptr;
    MountOptions options;
    options.oneWriteSwitch = oneWriteSwitch;
    options.policy = policy;
    options.stateDirectory = state;
    options.deviceHook = [&](const DeviceEvent& e) {
        if (!run.events.empty())
            run.events.back().push_back(e);
        if (e.index == cutAt && device != nullptr)
            device->CutPower();
    };
    EXPECT_EQ(fs.Mount(kLetter, image, options), "");
    device = fs.Device(kLetter);
    {
        const fs::FsHandle volume = fs.Own(fs.OpenVolume(L"\\\\.\\C:").handle);
        const fs::FsHandle file = fs.Own(fs.OpenFile(L"\\\\?\\C:\\joined.bin").handle);
        for (std::int64_t j = 0; j < 6; ++j) {
            run.events.emplace_back();
            fs::MOVE_FILE_DATA move{file.get(), 100 * j, area + 100 * j, 100};
            run.statuses.push_back(
                Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0));
        }
    }
    run.events.emplace_back();
    run.counters = fs.Counters(kLetter);
    fs.Unmount(kLetter);
    return run;
}

// A power cut at every flush of several moves of an attribute-list file, just before the flush and just
// after it, with every write not yet flushed lost (UntilFlush); and a cut at every write the moves make
// after their copy, with every earlier write kept (Through: what a kill leaves, the page cache surviving).
// The old order of writes lost the file when cut after the library wrote a freed extent record, and
// marked its old clusters free before the new runlist was written. Whatever a cut leaves must read back
// whole and mark no referenced cluster free; the next mount must finish or discard the move so that the
// volume is consistent, clean and without records.
TEST_F(ImageTest, APowerCutAnywhereInAMoveLosesNothing) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 600, 820, kCluster);
    const std::string pristine = dir_ + "/pristine.img";
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + pristine + "'").status, 0);
    std::int64_t area = 0;
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        ASSERT_TRUE(fs.FileKind(kLetter, L"\\joined.bin")->attributeList);
        for (const ImageRun& r : fs.Runs(kLetter, L"\\joined.bin"))
            area = std::max(area, r.lcn + r.length + 64);
    }
    int trials = 0, finished = 0, untouched = 0, mixed = 0;
    for (WritePolicy policy : {WritePolicy::UntilFlush, WritePolicy::Through}) {
        const bool power = policy == WritePolicy::UntilFlush;
        // A run without a cut: every move succeeds, each with its flushes, and the library releases extent
        // records on the way.
        ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status, 0);
        const JoinRun reference = JoinExtents(image_, state_, area, 0, policy);
        for (fs::NtStatus status : reference.statuses)
            ASSERT_EQ(status, fs::kStatusSuccess);
        EXPECT_EQ(reference.counters.moves, 6u);
        EXPECT_GT(reference.counters.recordsReleased, 0u);
        EXPECT_GT(reference.counters.oneWriteSwitches, 0u);
        // At the unmount everything is flushed first; then only the dirty flag is written ($Volume's
        // record and its mirror copy), and flushed.
        const std::vector<DeviceEvent>& unmount = reference.events.back();
        std::size_t firstFlush = unmount.size(), lastWrite = 0, writes = 0;
        for (std::size_t i = 0; i < unmount.size(); ++i) {
            if (unmount[i].kind == DeviceEvent::FlushEnd && firstFlush == unmount.size())
                firstFlush = i;
            if (unmount[i].kind == DeviceEvent::Write) {
                EXPECT_GT(i, firstFlush);
                lastWrite = i;
                ++writes;
            }
        }
        EXPECT_GE(writes, 1u);
        EXPECT_LE(writes, 2u);
        EXPECT_TRUE(std::any_of(unmount.begin() + static_cast<std::ptrdiff_t>(lastWrite), unmount.end(),
                                [](const DeviceEvent& e) { return e.kind == DeviceEvent::FlushEnd; }));
        ExpectContentIntact();
        EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
        EXPECT_EQ(RecordsLeft(), 0);
        EXPECT_FALSE(Dirty());

        for (std::size_t move : {0u, 5u}) {
            // Cut points: for a power cut every flush (before and after); for a kill every write that
            // reaches the device after the copy, those between two writes of the second step too (the
            // file's new extent records and list were written in the first step, and one write of its
            // base record switches to them).
            std::vector<std::pair<std::uint64_t, bool>> cuts;  // event, between two record writes
            int flushEnds = 0;
            bool inRecords = false;
            for (const DeviceEvent& e : reference.events[move]) {
                if (power ? e.kind != DeviceEvent::Write : flushEnds > 0 && !e.captured)
                    cuts.emplace_back(e.index, !power && e.kind == DeviceEvent::Write && inRecords);
                if (e.kind == DeviceEvent::FlushEnd)
                    ++flushEnds;
                inRecords = flushEnds == 2 && e.kind == DeviceEvent::Write && !e.captured;
            }
            if (!power && move != 0)
                cuts.resize(std::min<std::size_t>(cuts.size(), 4));
            ASSERT_GE(cuts.size(), 4u) << "move " << move;
            for (const auto& [cut, betweenRecords] : cuts) {
                SCOPED_TRACE(std::string(power ? "power cut" : "kill") + " in move " + std::to_string(move) +
                             " at device event " + std::to_string(cut));
                ASSERT_EQ(
                    RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status,
                    0);
                JoinExtents(image_, state_, area, cut, policy);
                ++trials;
                EXPECT_TRUE(Dirty());
                mixed += betweenRecords;
                // What the cut left: every byte readable, no referenced cluster free (a leak may remain).
                ExpectContentIntact();
                EXPECT_NE(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Damage);
                // The next run finishes or discards what the record describes.
                {
                    NtfsImageFileSystem fs;
                    MountOptions options;
                    options.stateDirectory = state_;
                    ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
                    for (const std::string& n : fs.Notices(kLetter)) {
                        finished += n.find("finished the interrupted move") != std::string::npos;
                        untouched += n.find("nothing to undo") != std::string::npos;
                        EXPECT_EQ(n.find("discarded"), std::string::npos) << n;
                    }
                    ASSERT_TRUE(fs.Unmount(kLetter));
                }
                ExpectContentIntact();
                EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
                EXPECT_EQ(RecordsLeft(), 0);
                EXPECT_FALSE(Dirty());
            }
        }
    }
    // Both kinds of record were met: moves cut before their metadata and moves cut while writing it.
    EXPECT_GT(finished, 0);
    EXPECT_GT(untouched, 0);
    std::printf(
        "%d cuts (%d between two record writes): %d moves finished by the next run, %d found nothing "
        "to undo\n",
        trials, mixed, finished, untouched);
}

// A record is read back only whole: a torn or altered file is no record at all (the next run then
// discards it and says so), and the files go to and leave the state directory durably.
TEST_F(ImageTest, MoveRecordsAreReadOnlyWhole) {
    MoveRecord r;
    r.phase = MoveRecord::Committed;
    r.serial = 0x1234567890abcdefull;
    r.totalClusters = 8192;
    r.clusterSize = 4096;
    r.image = image_;
    r.file = "\\dir\\f.bin";
    r.mref = (7ull << 48) | 42;
    r.startVcn = 100;
    r.targetLcn = 5000;
    r.clusters = 3;
    r.sources = {{10, 1}, {20, 2}};
    r.dataHash = 99;
    RecordUnit u;
    u.offset = 4096 * 6;
    u.kind = UnitKind::FreedRecord;
    u.before.assign(512, 1);
    u.after.assign(512, 2);
    r.units = {u, u};
    r.units[1].kind = UnitKind::Bitmap;
    r.units[1].offset += 512;
    const std::string bytes = EncodeMove(r);
    const std::optional<MoveRecord> back = DecodeMove(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->serial, r.serial);
    EXPECT_EQ(back->file, r.file);
    EXPECT_EQ(back->sources.size(), 2u);
    EXPECT_EQ(back->sources[1].length, 2);
    ASSERT_EQ(back->units.size(), 2u);
    EXPECT_EQ(back->units[1].kind, UnitKind::Bitmap);
    EXPECT_EQ(back->units[0].after, u.after);
    for (std::size_t at : {std::size_t{0}, std::size_t{9}, bytes.size() / 2, bytes.size() - 1}) {
        std::string altered = bytes;
        altered[at] = static_cast<char>(altered[at] ^ 0x10);
        EXPECT_FALSE(DecodeMove(altered).has_value()) << "byte " << at;
    }
    EXPECT_FALSE(DecodeMove(bytes.substr(0, bytes.size() - 100)).has_value());
    EXPECT_FALSE(DecodeRun(bytes).has_value());

    RecordFiles files(state_ + "/deeper", r.serial, image_);
    EXPECT_FALSE(files.Read(files.MovePath()).has_value());
    ASSERT_EQ(files.Write(files.MovePath(), bytes), "");
    EXPECT_EQ(files.Read(files.MovePath()), bytes);
    // Another path (a copy of the image) has records of its own.
    RecordFiles copy(state_ + "/deeper", r.serial, dir_ + "/copy.img");
    EXPECT_NE(copy.MovePath(), files.MovePath());
    ASSERT_EQ(RunCommand("touch '" + files.RunPath() + ".new'").status, 0);
    files.RemoveUnfinished();
    ASSERT_EQ(files.Remove(files.MovePath()), "");
    EXPECT_FALSE(files.Read(files.MovePath()).has_value());
    DIR* d = opendir((state_ + "/deeper").c_str());
    ASSERT_NE(d, nullptr);
    int left = 0;
    while (dirent* e = readdir(d))
        left += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(left, 0);
}

// A recorded move is finished only on the volume it describes: when what it says the clusters and
// records held is not there (the volume was checked or restored meanwhile), the record is discarded, the
// user told, and the volume left marked dirty for Windows to check. A dirty mark that no run of ours
// left is refused for writing; ours is not.
TEST_F(ImageTest, RecordsAndTheDirtyMarkAreTrustedOnlyWhenTheyMatch) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 600, 830, kCluster);
    std::int64_t area = 0;
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        for (const ImageRun& r : fs.Runs(kLetter, L"\\joined.bin"))
            area = std::max(area, r.lcn + r.length + 64);
    }
    const std::string pristine = dir_ + "/pristine.img";
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + pristine + "'").status, 0);
    const JoinRun reference = JoinExtents(image_, state_, area, 0);
    // The cut after the first of the three steps: the move is committed, the bitmaps hold the union.
    std::vector<std::uint64_t> flushEnds;
    for (const DeviceEvent& e : reference.events[0])
        if (e.kind == DeviceEvent::FlushEnd)
            flushEnds.push_back(e.index);
    ASSERT_GE(flushEnds.size(), 3u);
    ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status, 0);
    JoinExtents(image_, state_, area, flushEnds[1]);
    ASSERT_EQ(RecordsLeft(), 2);  // the run's and the move's
    // Our own dirty mark with its record is no reason to refuse; a copy of the state directory lets us
    // try both ways.
    ASSERT_EQ(RunCommand("cp -r '" + state_ + "' '" + dir_ + "/saved'").status, 0);
    // Someone wrote over the moved data: the record no longer describes this volume.
    {
        const int fd = open(image_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::vector<std::uint8_t> other = Content(831, kCluster);
        ASSERT_EQ(pwrite(fd, other.data(), other.size(), static_cast<off_t>(area * kCluster)),
                  static_cast<ssize_t>(other.size()));
        close(fd);
    }
    {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
        bool discarded = false;
        for (const std::string& n : fs.Notices(kLetter))
            discarded = discarded || (n.find("does not match") != std::string::npos &&
                                      n.find("discarded") != std::string::npos);
        EXPECT_TRUE(discarded);
        EXPECT_TRUE(fs.VolumeDirty(kLetter));
        ASSERT_TRUE(fs.Unmount(kLetter));
    }
    EXPECT_EQ(RecordsLeft(), 0);
    ExpectContentIntact();  // the record was not applied: the file still has its old runlist
    EXPECT_TRUE(Dirty()) << "a discarded record leaves the volume for Windows to check";
    // That dirty mark is no longer ours: writing is refused, reading is not.
    {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        const std::string refused = fs.Mount(kLetter, image_, options);
        EXPECT_NE(refused.find("marked dirty"), std::string::npos) << refused;
        EXPECT_EQ(fs.Mount(kLetter, image_, true), "");
    }
    // A move cut off before its metadata, whose file changed since: the record is discarded, and as
    // nothing of that move is on the volume, the volume is not left for Windows to check.
    std::vector<std::uint64_t> flushBegins;
    for (const DeviceEvent& e : reference.events[0])
        if (e.kind == DeviceEvent::FlushBegin)
            flushBegins.push_back(e.index);
    ASSERT_FALSE(flushBegins.empty());
    ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status, 0);
    JoinExtents(image_, state_, area, flushBegins[0]);  // the copy's flush: only the intent is recorded
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        const std::vector<ImageRun> runs = fs.Runs(kLetter, L"\\joined.bin");
        ASSERT_FALSE(runs.empty());
        ASSERT_TRUE(fs.Unmount(kLetter));
        const int fd = open(image_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::vector<std::uint8_t> other = Content(832, kCluster);
        ASSERT_EQ(pwrite(fd, other.data(), other.size(), static_cast<off_t>(runs[0].lcn * kCluster)),
                  static_cast<ssize_t>(other.size()));
        close(fd);
    }
    {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
        bool discarded = false;
        for (const std::string& n : fs.Notices(kLetter))
            discarded = discarded || n.find("discarded") != std::string::npos;
        EXPECT_TRUE(discarded);
        ASSERT_TRUE(fs.Unmount(kLetter));
    }
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(RecordsLeft(), 0);

    // The untouched cut image with its own records: accepted, finished, clean.
    ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status, 0);
    JoinExtents(image_, state_, area, flushEnds[1]);
    {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
        ASSERT_TRUE(fs.Unmount(kLetter));
    }
    ExpectContentIntact();
    EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(RecordsLeft(), 0);
}

// The set-up of the tests of interrupted runs below: a file of 600 one-cluster extents, the area its
// joined pieces go to, a copy of the image before any move, and the device events of an uninterrupted
// run of the moves (JoinExtents, kept in `reference`).
struct Interrupted {
    std::int64_t area = 0;
    std::string pristine;
    JoinRun reference;
};

// A move cut off (as by a kill: every write before the cut kept) at `cut`, from the pristine image and
// an empty state directory.
void CutMoves(const std::string& image, const std::string& state, const Interrupted& setup, std::uint64_t cut,
              bool oneWriteSwitch = true) {
    ASSERT_EQ(RunCommand("cp '" + setup.pristine + "' '" + image + "' && rm -rf '" + state + "'").status, 0);
    JoinExtents(image, state, setup.area, cut, WritePolicy::Through, oneWriteSwitch);
}

// A disk full under the state directory: a move whose intent cannot be recorded is not started; a move
// whose committed record cannot be written is abandoned before its metadata reaches the volume (the old
// code wrote it under the intent, which tells the next run that nothing was written: a cut there went
// unrepaired), and no later move starts. The run ends consistent and clean, the tool says why it stopped.
TEST_F(ImageTest, AMoveThatCannotBeRecordedIsNeitherStartedNorHalfWritten) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 600, 850, kCluster);
    std::vector<ImageRun> before;
    std::int64_t area = 0;
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        before = fs.Runs(kLetter, L"\\joined.bin");
        for (const ImageRun& r : before)
            area = std::max(area, r.lcn + r.length + 64);
    }
    const std::uint64_t untouched = FileHash(image_);
    char* real = realpath(image_.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::size_t runRecord = EncodeRun(RunRecord{0, real, 0}).size();
    std::free(real);
    // No room even for the run's record: refused before anything is written.
    {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        options.recordSpace = runRecord - 1;
        const std::string refused = fs.Mount(kLetter, image_, options);
        EXPECT_NE(refused.find("cannot record the run"), std::string::npos) << refused;
        EXPECT_EQ(FileHash(image_), untouched);
    }
    // Room for the run's record (and a move's intent, not its committed record); then room for the run's
    // record only.
    for (std::size_t space : {std::size_t{4096}, runRecord}) {
        SCOPED_TRACE("record space " + std::to_string(space));
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        options.recordSpace = space;
        bool watching = false;
        std::vector<DeviceEvent> writes;  // of the moves, not captured
        options.deviceHook = [&](const DeviceEvent& e) {
            if (watching && e.kind == DeviceEvent::Write && !e.captured)
                writes.push_back(e);
        };
        ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
        {
            const fs::FsHandle volume = fs.Own(fs.OpenVolume(L"\\\\.\\C:").handle);
            const fs::FsHandle file = fs.Own(fs.OpenFile(L"\\\\?\\C:\\joined.bin").handle);
            fs::MOVE_FILE_DATA move{file.get(), 0, area, 100};
            watching = true;
            EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &move, sizeof move, nullptr, 0),
                      fs::kStatusUnsuccessful);
            // Only the copy, into free clusters, may have reached the image (with room for the intent),
            // never the volume's metadata.
            if (space == runRecord)
                EXPECT_TRUE(writes.empty());
            else
                EXPECT_FALSE(writes.empty());
            for (const DeviceEvent& e : writes) {
                EXPECT_GE(e.offset, area * static_cast<std::int64_t>(kCluster));
                EXPECT_LE(e.offset + e.length, (area + 100) * static_cast<std::int64_t>(kCluster));
            }
            fs::MOVE_FILE_DATA next{file.get(), 100, area + 100, 100};
            EXPECT_EQ(Request(fs, volume.get(), fs::kFsctlMoveFile, &next, sizeof next, nullptr, 0),
                      fs::kStatusAccessDenied);
        }
        EXPECT_NE(fs.StopReason(kLetter).find("cannot record a move"), std::string::npos);
        EXPECT_EQ(fs.Runs(kLetter, L"\\joined.bin"), before);
        EXPECT_EQ(RecordsLeft(), 1);  // the run's own; the move left none
        ASSERT_TRUE(fs.Unmount(kLetter));
        EXPECT_EQ(RecordsLeft(), 0);
        EXPECT_FALSE(Dirty());
        ExpectContentIntact();
        EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
        NtfsImageFileSystem look;
        ASSERT_EQ(look.Mount(kLetter, image_, true), "");
        EXPECT_EQ(look.Runs(kLetter, L"\\joined.bin"), before);
    }
    // The tool: a run that could not record its moves says so and fails.
    ASSERT_EQ(RunCommand("rm -rf '" + state_ + "' && mkdir -p '" + state_ + "'").status, 0);
    {
        const std::uint64_t untouched = FileHash(image_);
        // A directory that cannot be created stands for one that cannot be written (root writes anywhere).
        const CommandResult refused =
            RunCommand("KESTREL_STATE_DIR='" + image_ + "/state' " + std::string(KESTREL_IMAGE_TOOL) +
                       " defrag '" + image_ + "' 2>&1");
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(refused.output.find("cannot record the run"), std::string::npos) << refused.output;
        EXPECT_EQ(FileHash(image_), untouched);
    }
}

// One run writes an image at a time: a second one (another process, or the same one twice) is refused,
// and so are a read-only look and a check while it writes (they would see its moves half done).
TEST_F(ImageTest, OneWriterAtATimeAndNoLookWhileItWrites) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 100, 860, kCluster);
    NtfsImageFileSystem first;
    MountOptions options;
    options.stateDirectory = state_;
    ASSERT_EQ(first.Mount(kLetter, image_, options), "");
    {
        NtfsImageFileSystem second;
        const std::string refused = second.Mount(kLetter, image_, options);
        EXPECT_NE(refused.find("in use by another program"), std::string::npos) << refused;
        const std::string look = second.Mount(kLetter, image_, true);
        EXPECT_NE(look.find("in use by another program"), std::string::npos) << look;
        const VolumeCheckReport report = CheckVolume(image_);
        EXPECT_NE(report.error.find("in use by another program"), std::string::npos) << report.error;
        EXPECT_EQ(report.ExitCode(), 4);
    }
    for (const char* command : {"defrag", "check", "analyze"}) {
        const CommandResult refused =
            RunCommand(std::string(KESTREL_IMAGE_TOOL) + " " + command + " '" + image_ + "' 2>&1");
        EXPECT_NE(refused.status, 0) << command;
        EXPECT_NE(refused.output.find("in use by another program"), std::string::npos) << refused.output;
    }
    EXPECT_EQ(RecordsLeft(), 1);  // the first run's, untouched by the refused ones
    ASSERT_TRUE(first.Unmount(kLetter));
    EXPECT_EQ(RecordsLeft(), 0);
    EXPECT_EQ(CheckVolume(image_).ExitCode(), 0);
    EXPECT_FALSE(Dirty());
}

// The records are named after the image's path. Renamed or moved after an interrupted run, the image
// takes its records over (they are checked against the volume as always); a copy that still holds the
// volume keeps its own, and another path is refused rather than given them. Without any record (the
// state directory deleted) a volume our run left dirty is refused with the reason and what to do; a
// record cut short or altered is put aside, not applied, and the volume left for Windows to check.
TEST_F(ImageTest, RecordsFollowARenamedImageAndNeverAnother) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 600, 870, kCluster);
    Interrupted setup;
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        for (const ImageRun& r : fs.Runs(kLetter, L"\\joined.bin"))
            setup.area = std::max(setup.area, r.lcn + r.length + 64);
    }
    setup.pristine = dir_ + "/pristine.img";
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + setup.pristine + "'").status, 0);
    setup.reference = JoinExtents(image_, state_, setup.area, 0, WritePolicy::Through);
    std::vector<std::uint64_t> flushEnds;
    for (const DeviceEvent& e : setup.reference.events[0])
        if (e.kind == DeviceEvent::FlushEnd)
            flushEnds.push_back(e.index);
    ASSERT_GE(flushEnds.size(), 3u);
    const std::uint64_t cut = flushEnds[1] + 1;  // the first write of the file's records
    auto mountNotices = [&](const std::string& image, std::string& error) {
        NtfsImageFileSystem fs;
        MountOptions options;
        options.stateDirectory = state_;
        error = fs.Mount(kLetter, image, options);
        std::string all;
        for (const std::string& n : fs.Notices(kLetter))
            all += n + "\n";
        if (error.empty()) {
            EXPECT_TRUE(fs.Unmount(kLetter));
        }
        return all;
    };
    const std::string moved = dir_ + "/moved.img";
    // Renamed: taken over and finished.
    CutMoves(image_, state_, setup, cut);
    ASSERT_EQ(RecordsLeft(), 2);
    ASSERT_EQ(rename(image_.c_str(), moved.c_str()), 0);
    {
        std::string error;
        const std::string notices = mountNotices(moved, error);
        EXPECT_EQ(error, "");
        EXPECT_NE(notices.find("taken over"), std::string::npos) << notices;
        EXPECT_NE(notices.find("finished the interrupted move"), std::string::npos) << notices;
    }
    ASSERT_EQ(rename(moved.c_str(), image_.c_str()), 0);
    ExpectContentIntact();
    EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(RecordsLeft(), 0);
    // Copied: the copy is refused (it names the image that has the records), the original finishes.
    CutMoves(image_, state_, setup, cut);
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + moved + "'").status, 0);
    {
        std::string error;
        mountNotices(moved, error);
        EXPECT_NE(error.find("marked dirty"), std::string::npos) << error;
        EXPECT_NE(error.find("holds a copy of this volume"), std::string::npos) << error;
        const std::string notices = mountNotices(image_, error);
        EXPECT_EQ(error, "");
        EXPECT_NE(notices.find("finished the interrupted move"), std::string::npos) << notices;
    }
    ExpectContentIntact();
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(RecordsLeft(), 0);
    // The state directory deleted: refused, the image not written, the reason and the way out named.
    CutMoves(image_, state_, setup, cut);
    ASSERT_EQ(RunCommand("rm -rf '" + state_ + "'").status, 0);
    {
        const std::uint64_t image = FileHash(image_);
        std::string error;
        mountNotices(image_, error);
        EXPECT_NE(error.find("marked dirty"), std::string::npos) << error;
        EXPECT_NE(error.find(state_), std::string::npos) << error;
        EXPECT_NE(error.find("KESTREL_STATE_DIR"), std::string::npos) << error;
        EXPECT_EQ(FileHash(image_), image);
    }
    // A record cut short: put aside for a person to see, not applied; the volume stays for Windows.
    CutMoves(image_, state_, setup, cut);
    {
        RecordFiles files(state_, 0, image_);
        DIR* d = opendir(state_.c_str());
        ASSERT_NE(d, nullptr);
        std::string move;
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).find(".move") != std::string::npos)
                move = state_ + "/" + e->d_name;
        closedir(d);
        ASSERT_FALSE(move.empty());
        ASSERT_EQ(truncate(move.c_str(), 100), 0);
        std::string error;
        const std::string notices = mountNotices(image_, error);
        EXPECT_EQ(error, "");
        EXPECT_NE(notices.find("cannot be read"), std::string::npos) << notices;
        EXPECT_NE(notices.find("chkdsk"), std::string::npos) << notices;
        EXPECT_EQ(access((move + ".unreadable").c_str(), F_OK), 0);
        EXPECT_TRUE(Dirty());
    }
}

// Where a move cannot switch a file in one write of its base record (no free record or clusters for the
// new extent records or list; turned off here to reach it), its records are written as the library left
// them, and a kill between the writes of the base record and an extent record leaves them disagreeing:
// no order of those writes keeps the file readable throughout (the attribute list and the extents'
// ranges change together). What a user then sees must send them to the repairing run: check reports
// the damage and says to run kestrel-image again, the volume is marked dirty. The repairing run finishes
// the move, also when it is itself cut off after any of its steps (it checks and writes the same units
// again).
TEST_F(ImageTest, AKillBetweenRecordWritesIsRepairedByTheNextRunEvenIfThatIsCut) {
    ASSERT_EQ(MakeImage(image_, 32), "");
    WriteManyExtents("/joined.bin", 600, 880, kCluster);
    Interrupted setup;
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
        for (const ImageRun& r : fs.Runs(kLetter, L"\\joined.bin"))
            setup.area = std::max(setup.area, r.lcn + r.length + 64);
    }
    setup.pristine = dir_ + "/pristine.img";
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + setup.pristine + "'").status, 0);
    setup.reference = JoinExtents(image_, state_, setup.area, 0, WritePolicy::Through, false);
    EXPECT_EQ(setup.reference.counters.oneWriteSwitches, 0u);
    // The writes of the second step (the file's records) of each move: a cut after the first of them.
    std::uint64_t cut = 0;
    for (const std::vector<DeviceEvent>& events : setup.reference.events) {
        int flushEnds = 0;
        std::vector<std::uint64_t> writes;
        for (const DeviceEvent& e : events) {
            flushEnds += e.kind == DeviceEvent::FlushEnd;
            if (flushEnds == 2 && e.kind == DeviceEvent::Write && !e.captured)
                writes.push_back(e.index);
        }
        if (writes.size() >= 2) {
            cut = writes[1];
            break;
        }
    }
    ASSERT_NE(cut, 0u) << "no move wrote its records in two writes";
    CutMoves(image_, state_, setup, cut, false);
    EXPECT_TRUE(Dirty());
    const std::string tool = KESTREL_IMAGE_TOOL;
    const CommandResult check = RunCommand(tool + " check '" + image_ + "' 2>&1");
    EXPECT_EQ(check.status, 3) << check.output;
    EXPECT_NE(check.output.find("Run kestrel-image defrag on it again"), std::string::npos) << check.output;
    const CommandResult analyze = RunCommand(tool + " analyze '" + image_ + "' 2>&1 >/dev/null");
    EXPECT_NE(analyze.output.find("Run kestrel-image defrag on it again"), std::string::npos)
        << analyze.output;
    // The record as the kill left it, and the image, to try the repairing run cut off at each step.
    const std::string savedState = dir_ + "/saved-state", cutImage = dir_ + "/cut.img";
    ASSERT_EQ(
        RunCommand("cp -r '" + state_ + "' '" + savedState + "' && cp '" + image_ + "' '" + cutImage + "'")
            .status,
        0);
    std::string move;
    for (const char* name : {".move"}) {
        DIR* d = opendir(state_.c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).find(name) != std::string::npos)
                move = e->d_name;
        closedir(d);
    }
    ASSERT_FALSE(move.empty());
    const std::optional<std::string> bytes = RecordFiles(state_, 0, image_).Read(state_ + "/" + move);
    ASSERT_TRUE(bytes.has_value());
    const std::optional<MoveRecord> record = DecodeMove(*bytes);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->phase, MoveRecord::Committed);
    // The repairing run cut off after its first step (bitmaps as the union, new records), after its second
    // (the file's records too), and after its last write but before the record went.
    for (int steps = 1; steps <= 3; ++steps) {
        SCOPED_TRACE("repairing run cut after step " + std::to_string(steps));
        ASSERT_EQ(RunCommand("cp '" + cutImage + "' '" + image_ + "' && rm -rf '" + state_ + "' && cp -r '" +
                             savedState + "' '" + state_ + "'")
                      .status,
                  0);
        const int fd = open(image_.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        for (const RecordUnit& u : record->units) {
            std::vector<std::uint8_t> unit(512);
            ASSERT_EQ(pread(fd, unit.data(), unit.size(), u.offset), 512);
            const bool first = u.kind == UnitKind::Bitmap || u.kind == UnitKind::NewRecord;
            if (first)
                for (std::size_t i = 0; i < unit.size(); ++i)
                    unit[i] = static_cast<std::uint8_t>(unit[i] | u.after[i]);
            if ((steps >= 2 && u.kind == UnitKind::Other) || steps == 3)
                unit = u.after;
            if (first || steps >= 2) {
                ASSERT_EQ(pwrite(fd, unit.data(), unit.size(), u.offset), 512);
            }
        }
        close(fd);
        if (steps >= 2)
            ExpectContentIntact();
        std::string notices;
        {
            NtfsImageFileSystem fs;
            MountOptions options;
            options.stateDirectory = state_;
            ASSERT_EQ(fs.Mount(kLetter, image_, options), "");
            for (const std::string& n : fs.Notices(kLetter))
                notices += n + "\n";
            ASSERT_TRUE(fs.Unmount(kLetter));
        }
        EXPECT_NE(notices.find("finished the interrupted move"), std::string::npos) << notices;
        ExpectContentIntact();
        EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
        EXPECT_EQ(RunCommand(tool + " check '" + image_ + "' >/dev/null 2>&1").status, 0);
        EXPECT_FALSE(Dirty());
        EXPECT_EQ(RecordsLeft(), 0);
    }
}

// The tool under a signal: started on a volume of many fragmented files, it is sent SIGINT (twice) or
// SIGTERM once it has finished a file. It must stop after the move under way with the summary so far,
// exit 130 / 143, and leave the volume consistent, clean and without records at once.
struct ToolRun {
    pid_t pid = -1;
    int out = -1;
};

ToolRun StartTool(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// Reads the tool's output until `lines` lines have come (or it ends); the output so far.
std::string ReadLines(int fd, int lines, std::string& all) {
    char c;
    int seen = 0;
    while (seen < lines && read(fd, &c, 1) == 1) {
        all.push_back(c);
        seen += c == '\n';
    }
    return all;
}

int Finish(ToolRun& run, std::string& all) {
    char buffer[4096];
    for (ssize_t n; (n = read(run.out, buffer, sizeof buffer)) > 0;)
        all.append(buffer, static_cast<std::size_t>(n));
    close(run.out);
    int status = 0;
    waitpid(run.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(ImageTest, ToolStopsCleanlyOnSigintAndSigterm) {
    ASSERT_EQ(MakeImage(image_, 32, 512), "");
    for (int i = 0; i < 4; ++i)
        WriteManyExtents("/f" + std::to_string(i) + ".bin", 700, 840 + 2 * i, 512);
    const std::string pristine = dir_ + "/pristine.img";
    ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + pristine + "'").status, 0);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP");
        ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "'").status, 0);
        ToolRun run = StartTool({KESTREL_IMAGE_TOOL, "defrag", "--verbose", image_});
        ASSERT_GT(run.pid, 0);
        std::string output;
        ReadLines(run.out, 1, output);  // the first file is done; the second is under way
        kill(run.pid, signal);
        if (signal == SIGINT)
            kill(run.pid, SIGINT);  // impatience changes nothing
        const int status = Finish(run, output);
        EXPECT_EQ(status, 128 + signal) << output;
        EXPECT_NE(output.find("files examined"), std::string::npos) << output;
        EXPECT_EQ(output.find("4 files examined"), std::string::npos) << "stopped before the end: " << output;
        ExpectContentIntact();
        EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
        EXPECT_EQ(RunCommand(std::string(KESTREL_IMAGE_TOOL) + " check '" + image_ + "' >/dev/null").status,
                  0);
        EXPECT_FALSE(Dirty());
        EXPECT_EQ(RecordsLeft(), 0);
    }
    // Output into a pipe whose reader has gone: the writes fail, the run goes on to its end (SIGPIPE
    // used to end it in the middle of a move, with the volume left dirty and a record behind).
    ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "'").status, 0);
    const CommandResult piped =
        RunCommand("bash -c '" + std::string(KESTREL_IMAGE_TOOL) + " defrag --verbose \"" + image_ +
                   "\" | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}'");
    EXPECT_EQ(piped.output, "0\n");
    ExpectContentIntact();
    EXPECT_EQ(RunCommand(std::string(KESTREL_IMAGE_TOOL) + " check '" + image_ + "' >/dev/null").status, 0);
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(RecordsLeft(), 0);
}

// Kills at seeded random instants of a defrag of every kind of file (attribute lists, compressed, sparse,
// named streams; with KESTREL_KILL_HOSTILE=1 also a hard link and a volume about 95 % full): SIGKILL,
// or SIGINT / SIGTERM (which stop after the move under way). Right after each kill every stream reads
// back whole and no referenced cluster is free (ntfsresize and kestrel-image check agree), except where
// the kill fell between two record writes of one file (a committed move record is then left, check
// reports the damage and says to run kestrel-image again); whenever a record is left, check says so.
// A check or analyze killed at a random instant leaves the image unchanged. Then the repairing run, in
// every second trial itself killed at a random instant of its first half (where it recovers), and a
// last run: after it the volume is consistent, clean and without records,
// every stream whole.
// KESTREL_KILL_TRIALS (default 3 per cluster size), KESTREL_KILL_SEED, KESTREL_KILL_CLUSTERS (default
// "4096,512"), KESTREL_KILL_SIGNALS (default "KILL"; "KILL,INT,TERM" takes turns), KESTREL_KILL_FUSE=1
// (read every stream through a read-only ntfs-3g mount right after each kill) set the campaign;
// scripts/image_kill.sh runs hundreds.
TEST_F(ImageTest, KillsAtRandomInstantsLoseNothing) {
    auto env = [](const char* name, const char* otherwise) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : otherwise);
    };
    auto list = [](const std::string& text) {
        std::vector<std::string> out;
        std::string item;
        for (char c : text + ",") {
            if (c != ',') {
                item += c;
            } else if (!item.empty()) {
                out.push_back(item);
                item.clear();
            }
        }
        return out;
    };
    const int trials = std::atoi(env("KESTREL_KILL_TRIALS", "3").c_str());
    std::mt19937 random(static_cast<std::uint32_t>(std::atol(env("KESTREL_KILL_SEED", "2026").c_str())));
    const bool hostile = env("KESTREL_KILL_HOSTILE", "0") == "1";
    const bool fuse = env("KESTREL_KILL_FUSE", "0") == "1" && FuseUsable();
    std::vector<int> signals;
    for (const std::string& name : list(env("KESTREL_KILL_SIGNALS", "KILL")))
        signals.push_back(name == "INT" ? SIGINT : name == "TERM" ? SIGTERM : SIGKILL);
    ASSERT_FALSE(signals.empty());
    const std::string tool = KESTREL_IMAGE_TOOL;
    const std::string runAgain = "Run kestrel-image defrag on it again";
    for (const std::string& clusterText : list(env("KESTREL_KILL_CLUSTERS", "4096,512"))) {
        const int cluster = std::atoi(clusterText.c_str());
        SCOPED_TRACE("clusters of " + clusterText + " bytes");
        // Per signal: kills; kills that left a move record (of them committed); after the kill: streams
        // unreadable (the record-write gap), damage, leaks, check's word; through ntfs-3g: streams changed;
        // repairing runs killed, of them with a move record left; moves finished by a later run.
        struct Figures {
            int kills = 0, insideMove = 0, committed = 0, stoppedCleanly = 0, gap = 0, leaked = 0, told = 0,
                withRecords = 0, fuseChanged = 0, fuseMounted = 0, repairKills = 0, repairInsideMove = 0,
                finished = 0, nothingToUndo = 0, lookKills = 0;
        };
        std::map<int, Figures> figures;
        written_.clear();
        ASSERT_EQ(MakeImage(image_, cluster >= 65536 ? 256 : 64, cluster), "");
        BuildFragmentedImage(hostile);
        const std::string pristine = dir_ + "/pristine.img";
        ASSERT_EQ(RunCommand("cp '" + image_ + "' '" + pristine + "'").status, 0);
        // The length of a whole run gives the range of the instants.
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(RunCommand(tool + " defrag '" + image_ + "' >/dev/null").status, 0);
        const double whole =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        auto killAt = [&](const std::vector<std::string>& args, double at, int signal) {
            ToolRun run = StartTool(args);
            EXPECT_GT(run.pid, 0);
            std::this_thread::sleep_for(std::chrono::duration<double>(at));
            kill(run.pid, signal);
            std::string output;
            return Finish(run, output);
        };
        auto moveRecord = [&](bool& committed) {
            bool found = false;
            committed = false;
            if (DIR* d = opendir(state_.c_str())) {
                while (dirent* e = readdir(d)) {
                    const std::string name = e->d_name;
                    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".move") != 0)
                        continue;
                    found = true;
                    const std::optional<std::string> bytes =
                        RecordFiles(state_, 0, image_).Read(state_ + "/" + name);
                    const std::optional<MoveRecord> record = bytes ? DecodeMove(*bytes) : std::nullopt;
                    committed = committed || (record && record->phase == MoveRecord::Committed);
                }
                closedir(d);
            }
            return found;
        };
        for (int t = 0; t < trials; ++t) {
            const int signal = signals[static_cast<std::size_t>(t) % signals.size()];
            Figures& f = figures[signal];
            ASSERT_EQ(RunCommand("cp '" + pristine + "' '" + image_ + "' && rm -rf '" + state_ + "'").status,
                      0);
            const double at = std::uniform_real_distribution<double>(0.0, whole)(random);
            SCOPED_TRACE("trial " + std::to_string(t) + ": signal " + std::to_string(signal) + " at " +
                         std::to_string(at) + " s of " + std::to_string(whole));
            const int status = killAt({tool, "defrag", "--verbose", image_}, at, signal);
            ++f.kills;
            bool committed = false;
            const bool inside = moveRecord(committed);
            f.insideMove += inside;
            f.committed += committed;
            f.withRecords += Records() > 0;
            if (signal != SIGKILL) {
                // Stopped after the move under way (or before the run began): nothing left to repair.
                EXPECT_TRUE(status == 128 + signal || status == 0) << status;
                EXPECT_EQ(RecordsLeft(), 0);
                f.stoppedCleanly += RecordsLeft() == 0 && !Dirty();
            }
            // What a user sees right after the kill.
            const int changed = StreamsChanged();
            const ClusterVerdict verdict = JudgeClusters(CheckWithNtfsresize(image_));
            const CommandResult check = RunCommand(tool + " check '" + image_ + "' 2>&1");
            const bool gap = changed != 0 || verdict == ClusterVerdict::Damage || check.status == 3;
            f.gap += gap;
            f.leaked += !gap && (verdict == ClusterVerdict::LeaksOnly || check.status == 1);
            if (gap) {
                // Only a kill between the record writes of a committed move leaves this, and check says
                // what to do.
                EXPECT_TRUE(committed) << check.output;
                EXPECT_EQ(check.status, 3) << check.output;
            } else {
                EXPECT_TRUE(check.status == 0 || check.status == 1) << check.output;
            }
            if (Records() > 0) {
                EXPECT_NE(check.output.find(runAgain), std::string::npos) << check.output;
                f.told += check.output.find(runAgain) != std::string::npos;
            }
            if (fuse) {
                const int fuseChanged = StreamsChangedThroughFuse();
                f.fuseMounted += fuseChanged >= 0;
                f.fuseChanged += fuseChanged > 0;
                if (!gap) {
                    EXPECT_LE(fuseChanged, 0) << "read through ntfs-3g";
                }
            }
            // A look (check or analyze) killed at a random instant leaves the image as it was, byte for byte.
            {
                const std::uint64_t before = FileHash(image_);
                const double soon = std::uniform_real_distribution<double>(0.0, whole / 4)(random);
                killAt({tool, t % 2 == 0 ? "check" : "analyze", image_}, soon, signal);
                ++f.lookKills;
                EXPECT_EQ(FileHash(image_), before);
            }
            std::string notices;
            if (t % 2 == 1) {
                // The repairing run killed too, mostly while it recovers or soon after.
                const double again = std::uniform_real_distribution<double>(0.0, whole / 2)(random);
                killAt({tool, "defrag", image_}, again,
                       signals[static_cast<std::size_t>(t / 2) % signals.size()]);
                ++f.repairKills;
                bool committedAgain = false;
                f.repairInsideMove += moveRecord(committedAgain);
            }
            // The last run (on one file that needs nothing) finishes what the kills left.
            const CommandResult next = RunCommand(tool + " defrag '" + image_ + "' /small.txt 2>&1");
            EXPECT_EQ(next.status, 0) << next.output;
            f.finished += next.output.find("finished the interrupted move") != std::string::npos;
            f.nothingToUndo += next.output.find("nothing to undo") != std::string::npos;
            EXPECT_EQ(next.output.find("discarded"), std::string::npos) << next.output;
            ExpectContentIntact();
            EXPECT_EQ(JudgeClusters(CheckWithNtfsresize(image_)), ClusterVerdict::Consistent);
            EXPECT_EQ(RunCommand(tool + " check '" + image_ + "' >/dev/null").status, 0);
            EXPECT_EQ(RunCommand("ntfsfix -n '" + image_ + "' >/dev/null 2>&1").status, 0);
            EXPECT_FALSE(Dirty());
            EXPECT_EQ(RecordsLeft(), 0);
        }
        for (const auto& [signal, f] : figures)
            std::printf(
                "clusters %s, SIG%s: %d kills, %d inside a move (%d committed); right after: %d with a "
                "stream unreadable or damage (record-write gap), %d with leaked clusters, %d of %d with "
                "records "
                "told to run again%s%s; %d repairing runs killed (%d inside a move); later runs finished %d "
                "moves, found %d with nothing to undo; after the last run all consistent and clean\n",
                clusterText.c_str(),
                signal == SIGKILL  ? "KILL"
                : signal == SIGINT ? "INT"
                                   : "TERM",
                f.kills, f.insideMove, f.committed, f.gap, f.leaked, f.told, f.withRecords,
                signal == SIGKILL ? "" : (", " + std::to_string(f.stoppedCleanly) + " stopped clean").c_str(),
                fuse ? (", ntfs-3g mounted " + std::to_string(f.fuseMounted) +
                        " and read a changed stream in " + std::to_string(f.fuseChanged))
                           .c_str()
                     : "",
                f.repairKills, f.repairInsideMove, f.finished, f.nothingToUndo);
        for (const auto& [signal, f] : figures)
            std::printf("clusters %s, SIG%s: %d checks or analyses killed, each left the image unchanged\n",
                        clusterText.c_str(),
                        signal == SIGKILL  ? "KILL"
                        : signal == SIGINT ? "INT"
                                           : "TERM",
                        f.lookKills);
    }
}

// A deliberately wrong bitmap is what the independent check must catch, or its verdict means nothing.
TEST_F(ImageTest, TheClusterCheckSeesABitmapThatLies) {
    BuildFragmentedImage();
    ExpectClustersAccounted();
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_), "");
    const std::vector<ImageRun> runs = fs.Runs(kLetter, L"\\frag\\f1.bin");
    ASSERT_FALSE(runs.empty());
    ASSERT_TRUE(fs.Unmount(kLetter));
    {
        // Clear the bit of the file's first cluster in $Bitmap, through the library's own bitmap code.
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.ClearClusterBit(runs[0].lcn));
    }
    EXPECT_NE(CheckWithNtfsresize(image_).status, 0);
}

// The volume check against images damaged on purpose, one class at a time, each on its own copy of a
// clean image written through ntfs-3g; ntfsresize must agree wherever it has a verdict.
TEST_F(ImageTest, VolumeCheckFindsEachClassOfDamage) {
    BuildFragmentedImage();
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        for (const char* name : {"/a.bin", "/b.bin"}) {
            ASSERT_TRUE(w.CreateFile(name));
            ASSERT_TRUE(w.Write(name, 0, Content(name[1], 4 * kCluster)));
        }
    }
    const std::string tool = KESTREL_IMAGE_TOOL;
    const VolumeCheckReport clean = CheckVolume(image_);
    ASSERT_EQ(clean.error, "");
    EXPECT_EQ(clean.ExitCode(), 0) << FormatCheckReport(image_, clean);
    EXPECT_GT(clean.recordsInUse, 16);
    EXPECT_EQ(clean.clustersMarkedUsed, clean.clustersReferenced);
    EXPECT_EQ(CheckWithNtfsresize(image_).status, 0);
    CommandResult cli = RunCommand(tool + " check '" + image_ + "'");
    EXPECT_EQ(cli.status, 0) << cli.output;
    EXPECT_NE(cli.output.find("verdict: consistent\n"), std::string::npos) << cli.output;

    int copies = 0;
    auto damaged = [&](const std::function<void(ImageWriter&)>& damage) {
        const std::string copy = dir_ + "/damaged" + std::to_string(copies++) + ".img";
        EXPECT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + copy + "'").status, 0);
        ImageWriter w(copy);
        EXPECT_TRUE(w.ok());
        damage(w);
        return copy;
    };
    auto contains = [](const std::vector<std::string>& lines, const std::string& text) {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    };

    // A leak: three clusters marked in use that nothing references. ntfsresize counts them too.
    std::int64_t leakAt = -1;
    const std::string leaky = damaged([&](ImageWriter& w) {
        leakAt = w.FreeClusterFrom(w.FreeClusterFrom(0) + 100);
        ASSERT_GE(leakAt, 0);
        ASSERT_TRUE(w.SetClusterBits(leakAt, 3));
    });
    VolumeCheckReport r = CheckVolume(leaky);
    EXPECT_EQ(r.ExitCode(), 1) << FormatCheckReport(leaky, r);
    EXPECT_EQ(r.leakedClusters.count, 3);
    EXPECT_TRUE(contains(r.leakedClusters.first, "clusters " + std::to_string(leakAt) + "-"));
    EXPECT_FALSE(r.Damaged());
    const CommandResult resize = CheckWithNtfsresize(leaky);
    EXPECT_NE(resize.status, 0);
    EXPECT_NE(resize.output.find("Totally 3 cluster accounting mismatches"), std::string::npos)
        << resize.output;
    EXPECT_EQ(RunCommand(tool + " check '" + leaky + "' >/dev/null").status, 1);

    // Referenced but free: the first cluster of a fragmented file.
    const std::string freed = damaged([&](ImageWriter&) {});
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, freed, true), "");
        const std::int64_t lcn = fs.Runs(kLetter, L"\\frag\\f1.bin").at(0).lcn;
        ASSERT_TRUE(fs.Unmount(kLetter));
        ImageWriter w(freed);
        ASSERT_TRUE(w.ClearClusterBit(lcn));
    }
    r = CheckVolume(freed);
    EXPECT_EQ(r.ExitCode(), 3) << FormatCheckReport(freed, r);
    EXPECT_EQ(r.referencedFree.count, 1);
    EXPECT_TRUE(contains(r.referencedFree.first, "\"f1.bin\" $DATA"));
    EXPECT_EQ(r.leakedClusters.count, 0);
    EXPECT_NE(CheckWithNtfsresize(freed).status, 0);
    EXPECT_EQ(RunCommand(tool + " check '" + freed + "' >/dev/null").status, 3);

    // Referenced twice: a.bin's runlist edited to point into b.bin's clusters (its own freed).
    const std::string shared = damaged([&](ImageWriter&) {});
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, shared, true), "");
        const std::vector<ImageRun> a = fs.Runs(kLetter, L"\\a.bin"), b = fs.Runs(kLetter, L"\\b.bin");
        ASSERT_TRUE(fs.Unmount(kLetter));
        ASSERT_EQ(a.size(), 1u);
        ASSERT_EQ(b.size(), 1u);
        ImageWriter w(shared);
        ASSERT_TRUE(w.PointFirstRunAt("/a.bin", b[0].lcn));
    }
    r = CheckVolume(shared);
    EXPECT_EQ(r.ExitCode(), 3) << FormatCheckReport(shared, r);
    EXPECT_EQ(r.referencedTwice.count, 4);
    EXPECT_TRUE(contains(r.referencedTwice.first, "\"a.bin\"") &&
                contains(r.referencedTwice.first, "\"b.bin\""))
        << FormatCheckReport(shared, r);
    EXPECT_EQ(r.referencedFree.count, 0);
    EXPECT_EQ(r.leakedClusters.count, 0);

    // Unreadable records: a torn record, and an extent record whose sequence number no longer matches
    // the attribute list of its base (what a freed and reused extent record looks like).
    const std::string torn = damaged([&](ImageWriter& w) {
        ASSERT_TRUE(w.EditRecord(
            w.RecordOf("/small.txt"), [](std::uint8_t*, std::uint32_t) {}, true));
    });
    r = CheckVolume(torn);
    EXPECT_EQ(r.ExitCode(), 3) << FormatCheckReport(torn, r);
    EXPECT_EQ(r.unreadableRecords.count, 1);
    EXPECT_TRUE(contains(r.unreadableRecords.first, "torn"));
    std::int64_t extent = -1;
    const std::string stale = damaged([&](ImageWriter& w) {
        const std::vector<std::int64_t> extents = w.ExtentRecordsOf("/big.bin");
        ASSERT_FALSE(extents.empty());
        extent = extents[0];
        ASSERT_TRUE(w.EditRecord(extent, [](std::uint8_t* m, std::uint32_t) { ++m[16]; }));
    });
    r = CheckVolume(stale);
    EXPECT_EQ(r.ExitCode(), 3) << FormatCheckReport(stale, r);
    EXPECT_GE(r.unreadableRecords.count, 1);
    EXPECT_TRUE(contains(r.unreadableRecords.first, "names record " + std::to_string(extent)));
    EXPECT_NE(CheckWithNtfsresize(stale).status, 0);
}

// 512-byte clusters (a bitmap of many bits per file), clean and leaky, with ntfsresize's verdict.
TEST_F(ImageTest, VolumeCheckOnSmallClusters) {
    ASSERT_EQ(MakeImage(image_, 64, 512), "");
    std::int64_t leakAt = -1;
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.MakeFolder("/d"));
        for (int i = 0; i < 40; ++i) {
            const std::string name = "/d/f" + std::to_string(i);
            ASSERT_TRUE(w.CreateFile(name));
            ASSERT_TRUE(w.Write(name, 0, Content(900 + i, 3000 + 977 * i)));
        }
        ASSERT_TRUE(w.Delete("/d/f7"));
    }
    VolumeCheckReport r = CheckVolume(image_);
    EXPECT_EQ(r.ExitCode(), 0) << FormatCheckReport(image_, r);
    EXPECT_EQ(r.clusterSize, 512);
    EXPECT_EQ(CheckWithNtfsresize(image_).status, 0);
    {
        ImageWriter w(image_);
        leakAt = w.FreeClusterFrom(1000);
        ASSERT_TRUE(w.SetClusterBits(leakAt, 70));
    }
    r = CheckVolume(image_);
    EXPECT_EQ(r.ExitCode(), 1) << FormatCheckReport(image_, r);
    EXPECT_EQ(r.leakedClusters.count, 70);
    const CommandResult resize = CheckWithNtfsresize(image_);
    EXPECT_NE(resize.output.find("Totally 70 cluster accounting mismatches"), std::string::npos)
        << resize.output;
}

// The value after "LABEL:" on a line of the text report.
std::string Field(const std::string& report, const std::string& label) {
    const std::size_t at = report.find("\n" + label + ":");
    if (at == std::string::npos)
        return {};
    std::size_t from = report.find_first_not_of(' ', at + label.size() + 2);
    return report.substr(from, report.find_first_of(" \n", from) - from);
}

TEST_F(ImageTest, ToolAnalyzesAsTextAndJson) {
    BuildFragmentedImage();
    const std::string tool = KESTREL_IMAGE_TOOL;
    const std::uint64_t unchanged = FileHash(image_);
    const CommandResult text = RunCommand(tool + " analyze '" + image_ + "'");
    ASSERT_EQ(text.status, 0) << text.output;
    const CommandResult json = RunCommand(tool + " analyze --json '" + image_ + "'");
    ASSERT_EQ(json.status, 0) << json.output;
    EXPECT_EQ(FileHash(image_), unchanged);

    // The figures, counted here from the backend's own answers.
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
    const std::vector<std::wstring> files = FilesAndStreams(fs, kLetter);
    int fragmented = 0, fragments = 0, worst = 0;
    for (const std::wstring& f : files) {
        const int n = fs.Fragments(kLetter, f);
        fragments += n;
        fragmented += n > 1 ? 1 : 0;
        worst = std::max(worst, n);
    }
    const std::int64_t freeClusters = fs.FreeClusters(kLetter);
    ASSERT_TRUE(fs.Unmount(kLetter));
    const std::string report = "\n" + text.output;
    EXPECT_EQ(Field(report, "files and streams"), std::to_string(files.size())) << text.output;
    EXPECT_EQ(Field(report, "fragmented"), std::to_string(fragmented));
    EXPECT_EQ(Field(report, "fragments"), std::to_string(fragments));
    EXPECT_EQ(Field(report, "free space"), std::to_string(freeClusters));
    EXPECT_NE(text.output.find("\n  " + std::string(9 - std::to_string(worst).size(), ' ') +
                               std::to_string(worst) + " "),
              std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("\\big.bin\n"), std::string::npos);

    // The JSON parses and says the same.
    if (RunCommand("command -v python3 >/dev/null").status != 0)
        GTEST_SKIP() << "no python3 to parse the JSON with";
    const std::string jsonFile = dir_ + "/analysis.json";
    FILE* out = std::fopen(jsonFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fputs(json.output.c_str(), out);
    std::fclose(out);
    const CommandResult parsed = RunCommand(
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
        "print(d[\"files_examined\"], d[\"fragmented_files\"], d[\"total_fragments\"], d[\"free_clusters\"], "
        "d[\"free_runs\"], d[\"largest_free_run\"], \"%.2f\" % d[\"fragmented_share_percent\"], "
        "d[\"worst\"][0][\"fragments\"], d[\"worst\"][0][\"path\"])' '" +
        jsonFile + "'");
    ASSERT_EQ(parsed.status, 0) << json.output;
    const std::string share = Field(report, "fragmented share");
    EXPECT_EQ(parsed.output, std::to_string(files.size()) + " " + std::to_string(fragmented) + " " +
                                 std::to_string(fragments) + " " + std::to_string(freeClusters) + " " +
                                 Field(report, "free runs") + " " + Field(report, "largest free run") + " " +
                                 share + " " + std::to_string(worst) + " \\big.bin\n");

    // A folder stands for the files below it, named by path or by record; the root folder for every file.
    const CommandResult root = RunCommand(tool + " analyze '" + image_ + "' /");
    EXPECT_EQ(Field("\n" + root.output, "files and streams"), std::to_string(files.size())) << root.output;
    const CommandResult folder = RunCommand(tool + " analyze '" + image_ + "' /frag");
    EXPECT_EQ(Field("\n" + folder.output, "files and streams"), "5") << folder.output;
    EXPECT_NE(folder.output.find("  \\frag\\f0.bin\n"), std::string::npos) << folder.output;
    std::string record;
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        record = "#" + std::to_string(w.RecordOf("/frag"));
    }
    const CommandResult byRecord = RunCommand(tool + " analyze '" + image_ + "' '" + record + "'");
    EXPECT_EQ(Field("\n" + byRecord.output, "files and streams"), "5") << byRecord.output;
    EXPECT_NE(byRecord.output.find("  " + record + "\\f0.bin\n"), std::string::npos) << byRecord.output;
}

// A stop request ends the run at a move boundary: the file under way keeps its completed moves, later
// files are untouched, and the volume is consistent at once. The command line's --time-limit is that
// request on a timer.
TEST_F(ImageTest, DefragStopsWhenAskedAndAtTheTimeLimit) {
    BuildFragmentedImage();
    const std::string frozen = dir_ + "/frozen.img";
    ASSERT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + frozen + "'").status, 0);
    {
        NtfsImageFileSystem fs;
        ASSERT_EQ(fs.Mount(kLetter, image_), "");
        const std::vector<std::wstring> files = FilesAndStreams(fs, kLetter);
        std::map<std::wstring, int> before;
        for (const std::wstring& f : files)
            before[f] = fs.Fragments(kLetter, f);
        timing::ScopedTimeDivisor fast(1000);
        std::vector<FileOutcome> outcomes;
        const DefragSummary summary = DefragmentFiles(fs, kLetter, files, [&](const FileOutcome& o) {
            outcomes.push_back(o);
            fs.RequestStop();
        });
        EXPECT_TRUE(summary.stopped);
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_LT(outcomes[0].fragmentsAfter, outcomes[0].fragmentsBefore);
        int untouched = 0;
        for (const std::wstring& f : files)
            if (f != outcomes[0].path && before[f] > 1) {
                EXPECT_EQ(fs.Fragments(kLetter, f), before[f]) << ToUtf8(f);
                ++untouched;
            }
        EXPECT_GT(untouched, 3);
        ASSERT_TRUE(fs.Unmount(kLetter));
    }
    EXPECT_EQ(CheckVolume(image_).ExitCode(), 0);
    ExpectContentIntact();

    const std::string tool = KESTREL_IMAGE_TOOL;
    const CommandResult limited = RunCommand(tool + " defrag --time-limit 0.000001 '" + frozen + "'");
    EXPECT_EQ(limited.status, 0) << limited.output;
    EXPECT_NE(limited.output.find("stopped at the time limit of 1e-06 s after "), std::string::npos)
        << limited.output;
    EXPECT_NE(limited.output.find("fragmented share"), std::string::npos) << limited.output;
    const VolumeCheckReport r = CheckVolume(frozen);
    EXPECT_EQ(r.ExitCode(), 0) << FormatCheckReport(frozen, r);
    EXPECT_EQ(CheckWithNtfsresize(frozen).status, 0);
    EXPECT_EQ(RunCommand(tool + " defrag --time-limit 0 '" + frozen + "' 2>/dev/null").status, 2);
}

// A dry run works the whole plan over an overlay of the volume's writes: the image stays byte for byte
// as it was, and what it reports is what the real run then does, file for file, down to the free runs
// the moves leave.
TEST_F(ImageTest, DryRunWritesNothingAndForetellsTheRealRun) {
    BuildFragmentedImage();
    const std::string tool = KESTREL_IMAGE_TOOL;
    // The report without its timing (the seconds differ from run to run).
    auto plan = [](std::string out) {
        for (std::size_t at = out.find(" clusters moved; "); at != std::string::npos;
             at = out.find(" clusters moved; ", at + 1))
            out.erase(at + 15, out.find('\n', at) - at - 15);
        const std::size_t dry = out.find("dry run: ");
        return dry == std::string::npos ? out : out.substr(0, dry);
    };
    const std::uint64_t before = FileHash(image_);
    const CommandResult dry = RunCommand(tool + " defrag --dry-run --verbose '" + image_ + "'");
    ASSERT_EQ(dry.status, 0) << dry.output;
    EXPECT_EQ(FileHash(image_), before) << "a dry run wrote to the image";
    EXPECT_NE(dry.output.find("dry run: this is what defrag would do; nothing was written"),
              std::string::npos);
    EXPECT_NE(dry.output.find("\\big.bin: "), std::string::npos) << dry.output;
    const CommandResult real = RunCommand(tool + " defrag --verbose '" + image_ + "'");
    ASSERT_EQ(real.status, 0) << real.output;
    EXPECT_NE(FileHash(image_), before);
    EXPECT_EQ(plan(dry.output), plan(real.output));
    ExpectContentIntact();
    EXPECT_EQ(CheckVolume(image_).ExitCode(), 0);
}

// Names that the path forms cannot say: two names differing only in case, a name holding ':' and one
// holding '\'. The exact name wins, the record form reaches every file, and a run over the whole
// volume (by record) defragments them all.
TEST_F(ImageTest, ToolReachesEveryNameAFileCanHave) {
    const std::vector<std::string> names = {"/Case.txt", "/case.txt", "/a:b", "/x\\y"};
    std::vector<std::int64_t> records;
    std::string tops;
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        std::vector<std::size_t> chunks;
        for (std::size_t i = 0; i < names.size(); ++i) {
            ASSERT_TRUE(w.CreateFile(names[i])) << names[i];
            written_.push_back({names[i], "", Content(1000 + static_cast<std::uint32_t>(i), 30 * kCluster)});
            chunks.push_back(1);
        }
        // A system file below $Extend, as Windows keeps its transaction logs there: never to be moved.
        ASSERT_TRUE(w.MakeFolder("/$Extend/$RmMetadata"));
        ASSERT_TRUE(w.CreateFile("/$Extend/$RmMetadata/$Tops"));
        written_.push_back({"/$Extend/$RmMetadata/$Tops", "", Content(1100, 30 * kCluster)});
        chunks.push_back(1);
        WriteSideBySide(w, written_, chunks);
        for (const std::string& n : names)
            records.push_back(w.RecordOf(n));
        tops = "#" + std::to_string(w.RecordOf("/$Extend/$RmMetadata/$Tops"));
    }
    ASSERT_EQ(std::set<std::int64_t>(records.begin(), records.end()).size(), names.size());
    ASSERT_NE(tops, "#-1");
    const std::string tool = KESTREL_IMAGE_TOOL;
    const std::string image = " '" + image_ + "' ";
    auto runsOf = [&](const std::string& path) {
        const CommandResult map = RunCommand(tool + " map" + image + "'" + path + "'");
        EXPECT_EQ(map.status, 0) << path << ": " << map.output;
        return map.output.substr(map.output.find('\n'));
    };
    auto fragmentsOf = [&](std::size_t i) {
        NtfsImageFileSystem fs;
        EXPECT_EQ(fs.Mount(kLetter, image_, true), "");
        const int n =
            fs.Fragments(kLetter, NtfsImageFileSystem::RecordPath(static_cast<std::uint64_t>(records[i])));
        EXPECT_TRUE(fs.Unmount(kLetter));
        return n;
    };
    // Each name of the pair maps its own file, the one its record holds.
    EXPECT_EQ(runsOf("/Case.txt"), runsOf("#" + std::to_string(records[0])));
    EXPECT_EQ(runsOf("/case.txt"), runsOf("#" + std::to_string(records[1])));
    EXPECT_NE(runsOf("/Case.txt"), runsOf("/case.txt"));
    for (std::size_t i = 0; i < names.size(); ++i)
        ASSERT_GT(fragmentsOf(i), 10) << names[i];
    // "/a:b" is the stream b of a file a, which does not exist.
    EXPECT_EQ(RunCommand(tool + " map" + image + "/a:b 2>/dev/null").status, 1);

    CommandResult run = RunCommand(tool + " defrag" + image + "/case.txt");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(fragmentsOf(1), 1);
    EXPECT_GT(fragmentsOf(0), 10);

    const CommandResult analysis = RunCommand(tool + " analyze" + image);
    EXPECT_NE(analysis.output.find("\\a:b [#" + std::to_string(records[2]) + "]\n"), std::string::npos)
        << analysis.output;
    EXPECT_NE(analysis.output.find("\\x\\y [#" + std::to_string(records[3]) + "]\n"), std::string::npos);

    EXPECT_EQ(Field("\n" + analysis.output, "files and streams"), "4") << analysis.output;
    const std::string topsRuns = runsOf(tops);
    run = RunCommand(tool + " defrag" + image + "'" + tops + "' 2>&1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find(tops + ": a system file"), std::string::npos) << run.output;

    run = RunCommand(tool + " defrag" + image + "--quiet");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(runsOf(tops), topsRuns);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(fragmentsOf(i), 1) << names[i];
        const CommandResult cat = RunCommand("ntfscat -i " + std::to_string(records[i]) + image);
        EXPECT_EQ(Hash(std::vector<std::uint8_t>(cat.output.begin(), cat.output.end())),
                  Hash(written_[i].bytes))
            << names[i];
    }
    EXPECT_EQ(CheckVolume(image_).ExitCode(), 0);
}

// What must not be written is refused with the reason, and left byte for byte as it was: an image
// shorter than its volume, an image the user may not write, a hibernated Windows volume, system files.
TEST_F(ImageTest, ToolRefusesWhatItMustNotWrite) {
    BuildFragmentedImage();
    const std::string tool = KESTREL_IMAGE_TOOL;
    auto refused = [&](const std::string& image, const std::string& args, const std::string& reason,
                       int status = 1) {
        const std::uint64_t before = FileHash(image);
        const CommandResult r = RunCommand(tool + " defrag '" + image + "' " + args + " 2>&1");
        EXPECT_EQ(r.status, status) << r.output;
        EXPECT_NE(r.output.find(reason), std::string::npos) << r.output;
        EXPECT_EQ(FileHash(image), before) << args;
    };
    refused(image_, "'$MFT'", "$MFT: a system file of the volume");
    refused(image_, "/frag/f1.bin /\\$Bitmap", "$Bitmap: a system file of the volume");
    refused(image_, "/frag/none.bin", "/frag/none.bin: no such file");

    for (const char* keep : {"60", "99.99"}) {
        const std::string shorter = dir_ + "/shorter.img";
        ASSERT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + shorter + "'").status, 0);
        const long long size = 64LL * 1024 * 1024 * std::stod(keep) / 100;
        ASSERT_EQ(RunCommand("truncate -s " + std::to_string(size) + " '" + shorter + "'").status, 0);
        refused(shorter, "", "is shorter than the NTFS volume on it");
        EXPECT_EQ(RunCommand(tool + " check '" + shorter + "' 2>/dev/null").status, 4);
    }

    // Read-only: for root, through an unprivileged user, since root may write any file.
    const std::string readOnly = dir_ + "/readonly.img";
    ASSERT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + readOnly + "' && chmod 444 '" + readOnly +
                         "' && chmod 755 '" + dir_ + "'")
                  .status,
              0);
    const bool root = geteuid() == 0;
    if (!root || RunCommand("command -v setpriv >/dev/null").status == 0) {
        const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        const std::uint64_t before = FileHash(readOnly);
        const CommandResult r = RunCommand(as + tool + " defrag '" + readOnly + "' 2>&1");
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("read-only"), std::string::npos) << r.output;
        EXPECT_EQ(FileHash(readOnly), before);
        EXPECT_EQ(RunCommand(as + tool + " analyze '" + readOnly + "' >/dev/null").status, 0);
    }

    // An unclean $LogFile: what Fast Startup leaves.
    const std::string unclean = dir_ + "/unclean.img";
    ASSERT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + unclean + "'").status, 0);
    {
        ImageWriter w(unclean);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.MakeLogFileUnclean());
    }
    refused(unclean, "", "the volume's $LogFile is unclean");
    refused(unclean, "", "disable Fast Startup");
    EXPECT_EQ(RunCommand(tool + " analyze '" + unclean + "' >/dev/null").status, 0);

    // Hibernated: Windows' hibernation file at the root, with its signature.
    {
        ImageWriter w(image_);
        ASSERT_TRUE(w.ok());
        ASSERT_TRUE(w.CreateFile("/hiberfil.sys"));
        std::vector<std::uint8_t> header(8192, 0);
        std::memcpy(header.data(), "hibr", 4);
        ASSERT_TRUE(w.Write("/hiberfil.sys", 0, header));
    }
    refused(image_, "", "Windows is hibernated on this volume");
    refused(image_, "", "disable Fast Startup");
    EXPECT_EQ(RunCommand(tool + " analyze '" + image_ + "' >/dev/null").status, 0);
}

TEST_F(ImageTest, ToolMapsAndDefragments) {
    BuildFragmentedImage();
    const std::string tool = KESTREL_IMAGE_TOOL;
    CommandResult map = RunCommand(tool + " map '" + image_ + "' /frag/f3.bin");
    ASSERT_EQ(map.status, 0) << map.output;
    NtfsImageFileSystem fs;
    ASSERT_EQ(fs.Mount(kLetter, image_, true), "");
    const int fragments = fs.Fragments(kLetter, L"\\frag\\f3.bin");
    const std::size_t runs = fs.Runs(kLetter, L"\\frag\\f3.bin").size();
    ASSERT_TRUE(fs.Unmount(kLetter));
    EXPECT_NE(map.output.find("\\frag\\f3.bin: " + std::to_string(fragments) + " fragment(s), " +
                              std::to_string(runs) + " run(s)\n"),
              std::string::npos)
        << map.output;
    EXPECT_NE(RunCommand(tool + " map '" + image_ + "' /frag/none.bin 2>&1").status, 0);
    EXPECT_EQ(RunCommand(tool + " frobnicate '" + image_ + "' 2>&1").status, 2);

    const CommandResult defrag =
        RunCommand(tool + " defrag '" + image_ + "' --verbose /frag/f3.bin '\\streams.bin:alt'");
    ASSERT_EQ(defrag.status, 0) << defrag.output;
    EXPECT_NE(defrag.output.find("\\frag\\f3.bin: " + std::to_string(fragments) + " -> 1 fragments"),
              std::string::npos)
        << defrag.output;
    EXPECT_NE(defrag.output.find("2 files examined, 2 fragmented, 2 improved"), std::string::npos)
        << defrag.output;
    EXPECT_EQ(defrag.output.find('\r'), std::string::npos) << "a progress line without a terminal";
    map = RunCommand(tool + " map '" + image_ + "' /frag/f3.bin");
    EXPECT_NE(map.output.find(": 1 fragment(s)"), std::string::npos) << map.output;
    // On a terminal (a pseudo-terminal made by script), the progress line, and not with --quiet.
    if (RunCommand("command -v script >/dev/null").status == 0) {
        const std::string copy = dir_ + "/tty.img";
        ASSERT_EQ(RunCommand("cp --sparse=always '" + image_ + "' '" + copy + "'").status, 0);
        const CommandResult tty =
            RunCommand("script -qec \"" + tool + " defrag '" + copy + "' /frag\" /dev/null </dev/null");
        EXPECT_EQ(tty.status, 0) << tty.output;
        EXPECT_NE(tty.output.find("\r\033[K1/5 files, "), std::string::npos) << tty.output;
        EXPECT_NE(tty.output.find("5/5 files, "), std::string::npos) << tty.output;
        EXPECT_NE(tty.output.find(" elapsed"), std::string::npos) << tty.output;
        const CommandResult quiet =
            RunCommand("script -qec \"" + tool + " defrag --quiet '" + copy + "'\" /dev/null </dev/null");
        EXPECT_EQ(quiet.output.find("files, "), std::string::npos) << quiet.output;
        EXPECT_NE(quiet.output.find("files examined"), std::string::npos) << quiet.output;
    }
    ExpectContentIntact();
    ExpectClustersAccounted();

    // A mounted image is refused. Mounting needs FUSE, which needs a usable /dev/fuse (root here).
    if (!FuseUsable())
        GTEST_SKIP() << "no usable /dev/fuse or ntfs-3g: the mounted-image refusal is not exercised";
    CommandResult refused;
    {
        FuseWriter mounted(image_, dir_ + "/mnt");
        ASSERT_TRUE(mounted.ok());
        refused = RunCommand(tool + " defrag '" + image_ + "' 2>&1");
    }
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("mounted"), std::string::npos) << refused.output;
    ExpectContentIntact();
}

}  // namespace
}  // namespace kestrel::ntfsimage::test
