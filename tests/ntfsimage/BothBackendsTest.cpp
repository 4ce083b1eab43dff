// Engine scenarios that need no injected fault, run on both oracles: the simulated volume and a real
// NTFS image. Each backend builds the same layout its own way (a file written cluster by cluster between
// spacer files that are deleted again) and judges the result its own way (the simulated volume's
// consistency check and content tags; ntfscat and ntfsresize on the image).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/ntfsimage/NtfsImageFileSystem.h"
#include "platform/sim/SimFileSystem.h"
#include "platform/sim/SimVolume.h"
#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "service/engine/DefragEngine.h"
#include "service/engine/FileMover.h"
#include "tests/ntfsimage/ImageBuilder.h"

namespace kestrel::ntfsimage::test {
namespace {

constexpr std::int64_t kClusters = 16383;  // a 64 MiB volume of 4 KiB clusters
constexpr std::size_t kCluster = 4096;

class Backend {
  public:
    virtual ~Backend() = default;
    // A file of `clusters` clusters; interleaved: each cluster written between two spacer files that
    // are deleted again, so the file lies in about as many pieces. Only before the first Control().
    virtual void Write(const std::string& name, int clusters, bool interleaved) = 0;
    // A sparse file that begins with a hole of `hole` clusters, followed by `clusters` clusters written
    // one by one between spacer files that are deleted again. Only before the first Control().
    virtual void WriteSparse(const std::string& name, int hole, int clusters) = 0;
    // The file-system control with the volume as drive C.
    virtual fs::FileSystemControl& Control() = 0;
    virtual std::vector<ImageRun> Runs(const std::string& name) = 0;
    // Every file holds what it was written with, the cluster accounting is consistent.
    virtual void ExpectIntact() = 0;

    static int Fragments(const std::vector<ImageRun>& runs) {
        int count = 0;
        std::int64_t expected = -2;
        for (const ImageRun& r : runs) {
            if (r.lcn >= 0 && r.lcn != expected)
                ++count;
            expected = r.lcn + r.length;
        }
        return count;
    }
};

class SimBackend : public Backend {
  public:
    explicit SimBackend(std::uint32_t clusterBytes = kCluster)
        : volume_({64 * 1024 * 1024 / clusterBytes - 1, clusterBytes, 0, 0}, sim::NtfsRules{0, false}) {
        volume_.Occupy(0, 16);  // the boot sector and the first metadata
        fs_.Mount(L'C', volume_);
    }
    void Write(const std::string& name, int clusters, bool interleaved) override {
        const std::wstring path = L"\\" + FromUtf8(name);
        if (!interleaved) {
            // In one piece, in the first free run that holds it, as the image's allocator places it.
            std::int64_t lcn = 0, run = 0;
            while (lcn + run < volume_.geometry().totalClusters && run < clusters)
                run = volume_.IsUsed(lcn + run) ? (lcn += run + 1, 0) : run + 1;
            ASSERT_EQ(run, clusters);
            ASSERT_TRUE(volume_.AddFile(path, {{0, lcn, clusters}}));
            tags_[path] = volume_.Tags(path);
            return;
        }
        for (int i = 0; i < clusters; ++i) {
            ASSERT_TRUE(volume_.Append(path, 1));
            const std::wstring spacer = L"\\spacer" + std::to_wstring(spacers_++);
            ASSERT_TRUE(volume_.Append(spacer, 1));
            deleted_.push_back(spacer);
        }
        for (const std::wstring& s : deleted_)
            volume_.DeleteFile(s);
        deleted_.clear();
        tags_[path] = volume_.Tags(path);
    }
    void WriteSparse(const std::string& name, int hole, int clusters) override {
        const std::wstring path = L"\\" + FromUtf8(name);
        ASSERT_TRUE(volume_.CreateFile(path, sim::FileKind::Sparse));
        ASSERT_TRUE(volume_.AppendHole(path, hole));
        for (int i = 0; i < clusters; ++i) {
            ASSERT_TRUE(volume_.Append(path, 1));
            const std::wstring spacer = L"\\spacer" + std::to_wstring(spacers_++);
            ASSERT_TRUE(volume_.Append(spacer, 1));
            deleted_.push_back(spacer);
        }
        for (const std::wstring& s : deleted_)
            volume_.DeleteFile(s);
        deleted_.clear();
        tags_[path] = volume_.Tags(path);
    }
    fs::FileSystemControl& Control() override { return fs_; }
    std::vector<ImageRun> Runs(const std::string& name) override {
        std::vector<ImageRun> runs;
        for (const sim::Run& r : volume_.Runs(L"\\" + FromUtf8(name)))
            runs.push_back({r.vcn, r.lcn, r.length});
        return runs;
    }
    void ExpectIntact() override {
        EXPECT_EQ(volume_.Check(), "");
        for (const auto& [path, tags] : tags_)
            EXPECT_EQ(volume_.Tags(path), tags) << ToUtf8(path);
    }

  private:
    sim::SimVolume volume_;
    sim::SimFileSystem fs_;
    std::map<std::wstring, std::vector<std::uint64_t>> tags_;
    std::vector<std::wstring> deleted_;
    int spacers_ = 0;
};

class ImageBackend : public Backend {
  public:
    explicit ImageBackend(int clusterBytes = kCluster) : cluster_(static_cast<std::size_t>(clusterBytes)) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kestrel-both-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            dir_ = pattern;
        image_ = dir_ + "/volume.img";
        EXPECT_EQ(MakeImage(image_, 64, clusterBytes), "");
    }
    ~ImageBackend() override {
        fs_.reset();
        writer_.reset();
        if (!dir_.empty())
            RunCommand("rm -rf '" + dir_ + "'");
    }
    void Write(const std::string& name, int clusters, bool interleaved) override {
        if (!writer_)
            writer_ = std::make_unique<ImageWriter>(image_);
        ASSERT_TRUE(writer_->ok());
        const std::string path = "/" + name;
        ASSERT_TRUE(writer_->CreateFile(path));
        std::vector<std::uint8_t> bytes = Content(seed_++, static_cast<std::size_t>(clusters) * cluster_);
        if (!interleaved) {
            ASSERT_TRUE(writer_->Write(path, 0, bytes));
        } else {
            WriteInterleaved(path, bytes, 0);
        }
        written_[path] = std::move(bytes);
    }
    void WriteSparse(const std::string& name, int hole, int clusters) override {
        if (!writer_)
            writer_ = std::make_unique<ImageWriter>(image_);
        ASSERT_TRUE(writer_->ok());
        const std::string path = "/" + name;
        ASSERT_TRUE(writer_->CreateFile(path));
        const std::vector<std::uint8_t> data =
            Content(seed_++, static_cast<std::size_t>(clusters) * cluster_);
        // Writing first behind the start leaves the clusters before it a hole.
        WriteInterleaved(path, data, static_cast<std::size_t>(hole) * cluster_);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(hole) * cluster_, 0);
        bytes.insert(bytes.end(), data.begin(), data.end());
        written_[path] = std::move(bytes);
    }
    fs::FileSystemControl& Control() override {
        if (!fs_) {
            writer_.reset();
            fs_ = std::make_unique<NtfsImageFileSystem>();
            EXPECT_EQ(fs_->Mount(L'C', image_), "");
        }
        return *fs_;
    }
    std::vector<ImageRun> Runs(const std::string& name) override {
        Control();
        return fs_->Runs(L'C', L"\\" + FromUtf8(name));
    }
    void ExpectIntact() override {
        if (fs_) {
            EXPECT_TRUE(fs_->Unmount(L'C'));
        }
        fs_.reset();
        writer_.reset();
        for (const auto& [path, bytes] : written_) {
            std::vector<std::uint8_t> read;
            EXPECT_TRUE(ReadWithNtfscat(image_, path, "", read)) << path;
            EXPECT_EQ(Hash(read), Hash(bytes)) << path;
        }
        const CommandResult check = CheckWithNtfsresize(image_);
        EXPECT_EQ(check.status, 0) << check.output;
    }

  private:
    // Writes the bytes cluster by cluster from `offset` on, each cluster followed by a spacer file that
    // is deleted again at the end.
    void WriteInterleaved(const std::string& path, const std::vector<std::uint8_t>& bytes,
                          std::size_t offset) {
        std::vector<std::string> spacers;
        const std::vector<std::uint8_t> spacer = Content(9999, cluster_);
        for (std::size_t at = 0; at < bytes.size(); at += cluster_) {
            const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
            ASSERT_TRUE(
                writer_->Write(path, offset + at, {from, from + static_cast<std::ptrdiff_t>(cluster_)}));
            spacers.push_back("/spacer" + std::to_string(spacers_++));
            ASSERT_TRUE(writer_->CreateFile(spacers.back()));
            ASSERT_TRUE(writer_->Write(spacers.back(), 0, spacer));
        }
        for (const std::string& s : spacers)
            ASSERT_TRUE(writer_->Delete(s));
    }

    std::size_t cluster_;
    std::string dir_, image_;
    std::unique_ptr<ImageWriter> writer_;
    std::unique_ptr<NtfsImageFileSystem> fs_;
    std::map<std::string, std::vector<std::uint8_t>> written_;
    std::uint32_t seed_ = 1;
    int spacers_ = 0;
};

class BothBackends : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        engine::SetFreeRunIndexCheck(true);  // every search from the index is made the plain way too
        if (std::string(GetParam()) == "sim")
            backend_ = std::make_unique<SimBackend>();
        else
            backend_ = std::make_unique<ImageBackend>();
    }
    void TearDown() override { backend_->ExpectIntact(); }

    timing::ScopedTimeDivisor fast_{1000};
    std::unique_ptr<Backend> backend_;
};

TEST_P(BothBackends, ExtentMapFollowsTheFileRuns) {
    backend_->Write("a.bin", 300, true);
    const std::vector<ImageRun> runs = backend_->Runs("a.bin");
    const int fragments = Backend::Fragments(runs);
    ASSERT_GT(fragments, 50);
    engine::DefragEngine engine(backend_->Control(), L"C:\\");
    const engine::ExtentList list = engine.GetFileFragmentsInfo(L"C:\\a.bin");
    EXPECT_EQ(engine::FragmentCount(list), fragments);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\a.bin"), fragments);
    // Every extent begins where a run that starts a new piece begins.
    std::vector<std::pair<std::int64_t, std::int64_t>> pieces;  // vcn, lcn
    std::int64_t expected = -2;
    for (const ImageRun& r : runs) {
        if (r.lcn != expected)
            pieces.emplace_back(r.vcn, r.lcn);
        expected = r.lcn + r.length;
    }
    ASSERT_EQ(list.extents.size(), pieces.size());
    std::int64_t allocated = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_EQ(list.extents[i].vcn, pieces[i].first);
        EXPECT_EQ(list.extents[i].lcn, pieces[i].second);
        allocated += list.extents[i].allocated;
    }
    EXPECT_EQ(allocated, 300);
    EXPECT_EQ(engine.TotalClusters(), kClusters);
}

TEST_P(BothBackends, CompactionBringsAFragmentedFileIntoOnePiece) {
    backend_->Write("a.bin", 200, true);
    backend_->Write("b.bin", 50, false);
    ASSERT_GT(Backend::Fragments(backend_->Runs("a.bin")), 50);
    engine::DefragEngine engine(backend_->Control(), L"C:\\");
    engine::FileInfo info;
    ASSERT_TRUE(engine::RefreshFileInfo(engine, L"C:\\a.bin", info));
    std::int32_t moved = 0, defragmented = 0;
    engine::CompactNonCompressedFragmentedFile compaction(engine, info);
    EXPECT_EQ(compaction.Process(moved, defragmented), 1);
    EXPECT_EQ(Backend::Fragments(backend_->Runs("a.bin")), 1);
    EXPECT_EQ(info.fragments, 1);
    EXPECT_EQ(backend_->Runs("b.bin").size(), 1u);
}

TEST_P(BothBackends, MovesIntoUsedOrMissingClustersAreRefused) {
    backend_->Write("a.bin", 20, true);
    backend_->Write("b.bin", 10, false);
    const std::vector<ImageRun> a = backend_->Runs("a.bin");
    const std::vector<ImageRun> b = backend_->Runs("b.bin");
    ASSERT_EQ(b.size(), 1u);
    engine::DefragEngine engine(backend_->Control(), L"C:\\");
    fs::FsHandle file = engine.OpenFileForMapping(L"C:\\a.bin");
    ASSERT_TRUE(file.valid());
    engine.RefreshBitmap();
    ASSERT_FALSE(engine.BitmapStale());
    EXPECT_EQ(engine::MoveClusters(engine, 0, b[0].lcn + 2, 4, file.get()), fs::kStatusAlreadyCommitted);
    EXPECT_TRUE(engine.BitmapStale());  // the copy showed the target in use: it is read again
    EXPECT_EQ(engine::MoveClusters(engine, 0, kClusters - 2, 4, file.get()), fs::kStatusInvalidParameter);
    EXPECT_EQ(engine::MoveClusters(engine, 20, 100, 4, file.get()), fs::kStatusInvalidParameter);
    EXPECT_EQ(backend_->Runs("a.bin"), a);
    EXPECT_EQ(backend_->Runs("b.bin"), b);
}

TEST_P(BothBackends, SparseFileThatBeginsWithAHoleEndsInFewerPieces) {
    // The hole is longer than the 8 MiB piece a large move is cut into, so the first piece from VCN 0
    // would be all hole; the file's clusters are scattered among freed spacer clusters.
    for (const int clusterBytes : {4096, 65536}) {
        SCOPED_TRACE(clusterBytes);
        std::unique_ptr<Backend> backend;
        if (std::string(GetParam()) == "sim")
            backend = std::make_unique<SimBackend>(static_cast<std::uint32_t>(clusterBytes));
        else
            backend = std::make_unique<ImageBackend>(clusterBytes);
        const int hole = 8 * 1024 * 1024 / clusterBytes + 40;
        backend->WriteSparse("s.bin", hole, 40);
        const std::vector<ImageRun> before = backend->Runs("s.bin");
        ASSERT_FALSE(before.empty());
        ASSERT_LT(before.front().lcn, 0);
        ASSERT_EQ(before.front().length, hole);
        const int fragmentsBefore = Backend::Fragments(before);
        ASSERT_GT(fragmentsBefore, 10);

        engine::FileInfo info;
        {
            engine::DefragEngine engine(backend->Control(), L"C:\\");
            ASSERT_TRUE(engine::RefreshFileInfo(engine, L"C:\\s.bin", info));
            EXPECT_EQ(info.firstLcn, -1);
            std::int32_t moved = 0, defragmented = 0;
            engine::CompactNonCompressedFragmentedFile compaction(engine, info);
            EXPECT_EQ(compaction.Process(moved, defragmented), 1);
            EXPECT_EQ(defragmented, 1);
        }
        const std::vector<ImageRun> after = backend->Runs("s.bin");
        EXPECT_EQ(Backend::Fragments(after), 1);
        EXPECT_EQ(info.fragments, 2);  // the hole's extent and one piece
        ASSERT_FALSE(after.empty());
        EXPECT_LT(after.front().lcn, 0);
        EXPECT_EQ(after.front().length, hole);
        backend->ExpectIntact();
    }
}

INSTANTIATE_TEST_SUITE_P(Oracles, BothBackends, ::testing::Values("sim", "image"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
}  // namespace kestrel::ntfsimage::test
