// Opening volumes and files through the simulated file-system control, handles, pending answers and
// the injected faults, as the engine meets them.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/SimFileSystem.h"

namespace kestrel::sim {
namespace {

Fault MakeFault(Fault::Kind kind, std::uint32_t code = 0, const std::wstring& path = {},
                fs::NtStatus status = 0, std::int64_t clusters = 0) {
    return Fault{kind, code, path, status, clusters};
}

class SimFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(volume.AddFile(L"\\dir\\file", {{0, 100, 10}, {10, 300, 10}}));
        fsys.Mount(L'c', volume);
    }

    fs::RawHandle Volume() {
        auto result = fsys.OpenVolume(L"\\\\.\\C:");
        EXPECT_EQ(result.error, fs::kErrorSuccess);
        return result.handle;
    }
    fs::RawHandle File(const std::wstring& path = L"\\\\?\\C:\\dir\\file") {
        auto result = fsys.OpenFile(path);
        EXPECT_EQ(result.error, fs::kErrorSuccess) << "opening " << path.size() << " characters";
        return result.handle;
    }

    fs::NtStatus MoveFile(fs::RawHandle volumeHandle, fs::RawHandle file, std::int64_t vcn, std::int64_t lcn,
                          std::uint32_t count, fs::IO_STATUS_BLOCK& io) {
        fs::MOVE_FILE_DATA data{};
        data.FileHandle = file;
        data.StartingVcn = vcn;
        data.StartingLcn = lcn;
        data.ClusterCount = count;
        return fsys.Control(volumeHandle, io, fs::kFsctlMoveFile, &data, sizeof data, nullptr, 0);
    }

    fs::NtStatus Retrieve(fs::RawHandle file, fs::IO_STATUS_BLOCK& io, unsigned char (&out)[256]) {
        std::int64_t vcn = 0;
        return fsys.Control(file, io, fs::kFsctlGetRetrievalPointers, &vcn, sizeof vcn, out, sizeof out);
    }

    SimVolume volume{Geometry{1000, 4096, 0, 0}};
    SimFileSystem fsys;
};

TEST_F(SimFileSystemTest, OpensVolumesByLetterAndRefusesTheRest) {
    auto upper = fsys.OpenVolume(L"\\\\.\\C:");
    auto lower = fsys.OpenVolume(L"\\\\.\\c:");
    ASSERT_EQ(upper.error, fs::kErrorSuccess);
    ASSERT_EQ(lower.error, fs::kErrorSuccess);
    EXPECT_NE(upper.handle, lower.handle);
    EXPECT_NE(upper.handle, fs::kInvalidHandle);
    EXPECT_NE(upper.handle, nullptr);
    EXPECT_EQ(fsys.OpenVolume(L"\\\\.\\D:").error, fs::kErrorFileNotFound);
    EXPECT_EQ(fsys.OpenVolume(L"\\\\.\\C").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenVolume(L"C:").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenVolume(L"\\\\.\\1:").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenHandles(), 2u);
    fsys.Close(upper.handle);
    fsys.Close(lower.handle);
    fsys.Close(fs::kInvalidHandle);
    EXPECT_EQ(fsys.OpenHandles(), 0u);

    fs::IO_STATUS_BLOCK io{};
    unsigned char out[96];
    EXPECT_EQ(fsys.Control(upper.handle, io, fs::kFsctlGetNtfsVolumeData, nullptr, 0, out, sizeof out),
              fs::kStatusInvalidHandle)
        << "a closed handle";
    EXPECT_EQ(io.Status, fs::kStatusInvalidHandle);
}

TEST_F(SimFileSystemTest, OpensFilesAndFoldersWithTheDocumentedErrors) {
    fs::RawHandle file = File(L"\\\\?\\c:\\DIR\\FILE");
    fs::RawHandle folder = File(L"\\\\?\\C:\\dir");
    fs::RawHandle root = File(L"\\\\?\\C:\\");
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\dir\\other").error, fs::kErrorFileNotFound);
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\nodir\\file").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\D:\\dir\\file").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenFile(L"C:\\dir\\file").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenFile(L"").error, fs::kErrorPathNotFound);
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\" + std::wstring(32767, L'a')).error, fs::kErrorFilenameExcedRange);
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\" + std::wstring(256, L'a')).error, fs::kErrorFilenameExcedRange);

    fs::IO_STATUS_BLOCK io{};
    unsigned char out[256];
    EXPECT_EQ(Retrieve(file, io, out), fs::kStatusSuccess);
    EXPECT_EQ(io.Information, 16u + 2 * 16);
    EXPECT_EQ(Retrieve(folder, io, out), fs::kStatusEndOfFile);
    EXPECT_EQ(Retrieve(root, io, out), fs::kStatusEndOfFile);
    EXPECT_EQ(fsys.Control(file, io, fs::kFsctlGetNtfsVolumeData, nullptr, 0, out, 96), fs::kStatusSuccess)
        << "volume data is answered on a file handle too";
    EXPECT_EQ(io.Information, 96u);
    for (auto h : {file, folder, root})
        fsys.Close(h);
    EXPECT_EQ(fsys.OpenHandles(), 0u);
}

TEST_F(SimFileSystemTest, MoveChecksTheHandleInsideTheRequest) {
    fs::RawHandle vol = Volume();
    fs::RawHandle file = File();
    fs::IO_STATUS_BLOCK io{};
    EXPECT_EQ(MoveFile(vol, reinterpret_cast<fs::RawHandle>(std::uintptr_t{0x7777}), 0, 500, 10, io),
              fs::kStatusInvalidHandle);
    EXPECT_EQ(MoveFile(vol, vol, 0, 500, 10, io), fs::kStatusInvalidParameter);
    EXPECT_EQ(MoveFile(file, file, 0, 500, 10, io), fs::kStatusInvalidParameter) << "moves go to the volume";

    SimVolume other({1000, 4096, 0, 0});
    ASSERT_TRUE(other.Append(L"\\x", 5));
    fsys.Mount(L'D', other);
    fs::RawHandle foreign = File(L"\\\\?\\D:\\x");
    EXPECT_EQ(MoveFile(vol, foreign, 0, 500, 5, io), fs::kStatusInvalidParameter);

    EXPECT_EQ(MoveFile(vol, file, 0, 500, 20, io), fs::kStatusSuccess);
    EXPECT_EQ(io.Status, fs::kStatusSuccess);
    EXPECT_EQ(io.Information, 0u);
    EXPECT_EQ(volume.Runs(L"\\dir\\file"), (std::vector<sim::Run>{{0, 500, 20}}));

    fsys.Close(file);
    EXPECT_EQ(MoveFile(vol, file, 0, 600, 20, io), fs::kStatusInvalidHandle) << "a closed file handle";
    fsys.Close(vol);
    fsys.Close(foreign);
    EXPECT_EQ(volume.Check(), "");
}

TEST_F(SimFileSystemTest, PendingAnswersCompleteOnWait) {
    fs::RawHandle vol = Volume();
    fs::RawHandle file = File();
    volume.InjectFault(MakeFault(Fault::Kind::Pending, fs::kFsctlMoveFile));
    fs::IO_STATUS_BLOCK io{};
    EXPECT_EQ(MoveFile(vol, file, 0, 500, 20, io), fs::kStatusPending);
    EXPECT_EQ(io.Status, fs::kStatusPending);
    EXPECT_TRUE(fsys.Wait(vol, fs::kInfinite));
    EXPECT_EQ(io.Status, fs::kStatusSuccess);
    EXPECT_EQ(volume.Runs(L"\\dir\\file"), (std::vector<sim::Run>{{0, 500, 20}}));

    // A pending answer that ends in failure changes nothing.
    volume.InjectFault(MakeFault(Fault::Kind::Pending, fs::kFsctlMoveFile, {}, fs::kStatusAccessDenied));
    EXPECT_EQ(MoveFile(vol, file, 0, 700, 20, io), fs::kStatusPending);
    EXPECT_TRUE(fsys.Wait(vol, 1000));
    EXPECT_EQ(io.Status, fs::kStatusAccessDenied);
    EXPECT_EQ(volume.Runs(L"\\dir\\file"), (std::vector<sim::Run>{{0, 500, 20}}));

    // A request that never completes: Wait gives up at once, the status block stays pending.
    volume.InjectFault(MakeFault(Fault::Kind::PendingNeverEnds, fs::kFsctlGetVolumeBitmap));
    std::int64_t start = 0;
    unsigned char out[256];
    EXPECT_EQ(fsys.Control(vol, io, fs::kFsctlGetVolumeBitmap, &start, sizeof start, out, sizeof out),
              fs::kStatusPending);
    EXPECT_FALSE(fsys.Wait(vol, 60000));
    EXPECT_EQ(io.Status, fs::kStatusPending);
    EXPECT_EQ(volume.PendingFaults(), 0u);
    // The next request on the handle is answered normally.
    EXPECT_EQ(fsys.Control(vol, io, fs::kFsctlGetVolumeBitmap, &start, sizeof start, out, sizeof out),
              fs::kStatusSuccess);
    EXPECT_TRUE(fsys.Wait(vol, 0)) << "nothing pending: signalled";
    EXPECT_FALSE(fsys.Wait(reinterpret_cast<fs::RawHandle>(std::uintptr_t{0x7777}), 0));
    fsys.Close(vol);
    fsys.Close(file);
}

TEST_F(SimFileSystemTest, OpenFaultsFireOnceOnTheirPath) {
    volume.InjectFault(MakeFault(Fault::Kind::SharingViolation, 0, L"\\DIR\\FILE"));
    volume.InjectFault(MakeFault(Fault::Kind::AccessDenied, 0, L"\\dir\\file"));
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\dir").error, fs::kErrorSuccess) << "another path is not affected";
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\dir\\file").error, fs::kErrorSharingViolation);
    EXPECT_EQ(fsys.OpenFile(L"\\\\?\\C:\\dir\\file").error, fs::kErrorAccessDenied);
    auto ok = fsys.OpenFile(L"\\\\?\\C:\\dir\\file");
    EXPECT_EQ(ok.error, fs::kErrorSuccess);
    EXPECT_EQ(fsys.OpenHandles(), 2u);
}

TEST_F(SimFileSystemTest, AFileDeletedBetweenCalls) {
    fs::RawHandle file = File();
    volume.InjectFault(MakeFault(Fault::Kind::DeleteBeforeRequest, fs::kFsctlGetRetrievalPointers));
    fs::IO_STATUS_BLOCK io{};
    unsigned char out[256];
    EXPECT_EQ(Retrieve(file, io, out), fs::kStatusFileDeleted);
    EXPECT_FALSE(volume.Exists(L"\\dir\\file"));
    EXPECT_EQ(volume.FreeClusters(), 1000);
    fs::RawHandle vol = Volume();
    EXPECT_EQ(MoveFile(vol, file, 0, 500, 20, io), fs::kStatusFileDeleted);
    EXPECT_EQ(volume.Check(), "");
}

TEST_F(SimFileSystemTest, TargetTakenBeforeTheMove) {
    fs::RawHandle vol = Volume();
    fs::RawHandle file = File();
    volume.InjectFault(MakeFault(Fault::Kind::TakeTargetBeforeMove));
    fs::IO_STATUS_BLOCK io{};
    EXPECT_EQ(MoveFile(vol, file, 0, 500, 20, io), fs::kStatusAlreadyCommitted);
    EXPECT_TRUE(volume.IsUsed(500));
    EXPECT_EQ(volume.Runs(L"\\dir\\file"), (std::vector<sim::Run>{{0, 100, 10}, {10, 300, 10}}));
    EXPECT_EQ(volume.Check(), "");
}

TEST_F(SimFileSystemTest, PartialMoveAndFailedStatus) {
    fs::RawHandle vol = Volume();
    fs::RawHandle file = File();
    auto tags = volume.Tags(L"\\dir\\file");
    volume.InjectFault(MakeFault(Fault::Kind::PartialMove, fs::kFsctlMoveFile, {}, 0, 13));
    fs::IO_STATUS_BLOCK io{};
    EXPECT_EQ(MoveFile(vol, file, 0, 500, 20, io), fs::kStatusDiskFull);
    EXPECT_EQ(volume.Runs(L"\\dir\\file"), (std::vector<sim::Run>{{0, 500, 13}, {13, 303, 7}}));
    EXPECT_EQ(volume.Tags(L"\\dir\\file"), tags);
    EXPECT_EQ(volume.Check(), "");

    volume.InjectFault(MakeFault(Fault::Kind::Status, fs::kFsctlGetRetrievalPointers, L"\\dir\\file",
                                 fs::kStatusSharingViolation));
    unsigned char out[256];
    EXPECT_EQ(Retrieve(file, io, out), fs::kStatusSharingViolation);
    EXPECT_EQ(Retrieve(file, io, out), fs::kStatusSuccess);
}

TEST_F(SimFileSystemTest, FindFileSizeAnswersTheBitmapFile) {
    EXPECT_FALSE(fsys.FindFileSize(L"C:\\$bitmap").has_value());
    fsys.SetBitmapFileSize(L'c', 125);
    EXPECT_EQ(fsys.FindFileSize(L"c:\\$Bitmap"), std::optional<std::uint64_t>(125));
    EXPECT_EQ(fsys.FindFileSize(L"C:\\dir\\file"), std::optional<std::uint64_t>(20 * 4096));
    EXPECT_FALSE(fsys.FindFileSize(L"C:\\nothing").has_value());
    EXPECT_FALSE(fsys.FindFileSize(L"D:\\$bitmap").has_value());
}

}  // namespace
}  // namespace kestrel::sim
