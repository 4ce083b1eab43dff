// Host only: the drive options of the host service's command line and the mounting of directory-backed
// drives into a drive table and a simulated file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/Utf16.h"
#include "platform/host/DirectoryDrives.h"

namespace kestrel::host {
namespace {

namespace stdfs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(DirectoryDriveOptionsTest, TakesItsOptionsAndLeavesTheOthersInOrder) {
    std::vector<std::wstring> arguments = {L"KestrelService",
                                           L"--drive",
                                           L"d=/data/one",
                                           L"-v",
                                           L"--volume-size=2G",
                                           L"--cluster-size",
                                           L"512",
                                           L"--drive",
                                           L"E:=/with space/two",
                                           L"--other",
                                           L"--drive=F=/three"};
    DirectoryDriveOptions options;
    std::string error;
    ASSERT_TRUE(TakeDirectoryDriveOptions(arguments, options, error)) << error;
    EXPECT_THAT(arguments, ElementsAre(L"KestrelService", L"-v", L"--other"));
    ASSERT_EQ(options.drives.size(), 3u);
    EXPECT_EQ(options.drives[0].letter, L'D');
    EXPECT_EQ(options.drives[0].directory, stdfs::path("/data/one"));
    EXPECT_EQ(options.drives[1].letter, L'E');
    EXPECT_EQ(options.drives[1].directory, stdfs::path("/with space/two"));
    EXPECT_EQ(options.drives[2].letter, L'F');
    EXPECT_EQ(options.settings.volumeBytes, 2ull << 30);
    EXPECT_EQ(options.settings.clusterBytes, 512u);
}

TEST(DirectoryDriveOptionsTest, RefusesMalformedValuesAndLeavesTheArgumentsAlone) {
    const std::vector<std::vector<std::wstring>> bad = {
        {L"--drive"},                                // no value
        {L"--drive", L"D"},                          // no directory
        {L"--drive", L"D="},                         // empty directory
        {L"--drive", L"1=/x"},                       // not a letter
        {L"--drive", L"DE=/x"},                      // two letters
        {L"--drive", L"A=/x"},                       // a letter the scan never reaches
        {L"--drive", L"d=/x", L"--drive", L"D=/y"},  // a letter twice
        {L"--volume-size", L"0"},
        {L"--volume-size", L"1X"},
        {L"--volume-size", L"-5"},
        {L"--volume-size=99999999999999999999"},
        {L"--cluster-size", L"5G"},
        {L"--cluster-size"},
    };
    for (const auto& words : bad) {
        std::vector<std::wstring> arguments = words;
        arguments.insert(arguments.begin(), L"prog");
        const std::vector<std::wstring> before = arguments;
        DirectoryDriveOptions options;
        std::string error;
        EXPECT_FALSE(TakeDirectoryDriveOptions(arguments, options, error)) << ToUtf8(words.back());
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(arguments, before);
    }
}

TEST(DirectoryDriveOptionsTest, ByteCountsWithSuffixesAndWithoutOverflow) {
    std::uint64_t bytes = 0;
    ASSERT_TRUE(ParseByteCount(L"4096", bytes));
    EXPECT_EQ(bytes, 4096u);
    ASSERT_TRUE(ParseByteCount(L"64M", bytes));
    EXPECT_EQ(bytes, 64ull << 20);
    ASSERT_TRUE(ParseByteCount(L"2g", bytes));
    EXPECT_EQ(bytes, 2ull << 30);
    ASSERT_TRUE(ParseByteCount(L"3k", bytes));
    EXPECT_EQ(bytes, 3072u);
    ASSERT_TRUE(ParseByteCount(L"16777215T", bytes));
    EXPECT_EQ(bytes, 16777215ull << 40);
    ASSERT_TRUE(ParseByteCount(L"18446744073709551615", bytes));
    EXPECT_EQ(bytes, ~0ull);
    for (const wchar_t* text :
         {L"", L"K", L"12KB", L"1.5G", L" 1", L"18446744073709551616", L"16777216T", L"17179869184G"})
        EXPECT_FALSE(ParseByteCount(text, bytes)) << ToUtf8(text);
}

class DirectoryDrivesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-drives-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        stdfs::create_directories(root_ / "one" / "sub");
        stdfs::create_directories(root_ / "two");
        std::ofstream(root_ / "one" / "sub" / "f.bin", std::ios::binary) << std::string(10000, 'x');
    }
    void TearDown() override { stdfs::remove_all(root_); }

    stdfs::path root_;
    drives::DriveTable table_;
    sim::SimFileSystem fileSystem_;
};

TEST_F(DirectoryDrivesTest, AMountedLetterIsADriveOfTheTableAndAVolumeOfTheFileSystem) {
    DirectoryDrives drives(table_, fileSystem_);
    std::string error;
    // A relative path with a detour: the table holds the absolute, normal form.
    const stdfs::path previous = stdfs::current_path();
    stdfs::current_path(root_);
    const bool mounted = drives.Mount(L'e', "two/../one/", {8u << 20, 4096}, error);
    stdfs::current_path(previous);
    ASSERT_TRUE(mounted) << error;
    EXPECT_THAT(drives.Letters(), ElementsAre(L'E'));

    const std::optional<drives::DriveEntry> entry = table_.Find(L'E');
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->directory, FromUtf8((stdfs::canonical(root_ / "one")).string()));
    EXPECT_EQ(entry->layout, drives.Volume(L'E'));
    EXPECT_EQ(table_.DriveType(L"E:\\"), drives::kDriveFixed);
    EXPECT_TRUE(table_.DriveReady(L"E:\\"));
    EXPECT_EQ(fileSystem_.FindFileSize(L"\\\\?\\E:\\sub\\f.bin"), 3u * 4096);

    // Mounted again elsewhere: the old volume's handles go stale and answer so, the new one serves.
    fs::OpenResult old = fileSystem_.OpenVolume(L"\\\\.\\E:");
    ASSERT_EQ(old.error, fs::kErrorSuccess);
    ASSERT_TRUE(drives.Mount(L'E', root_ / "two", {8u << 20, 4096}, error)) << error;
    fs::IO_STATUS_BLOCK io{};
    fs::NTFS_VOLUME_DATA_BUFFER data{};
    EXPECT_EQ(
        fileSystem_.Control(old.handle, io, fs::kFsctlGetNtfsVolumeData, nullptr, 0, &data, sizeof data),
        fs::kStatusInvalidHandle);
    EXPECT_FALSE(fileSystem_.FindFileSize(L"\\\\?\\E:\\sub\\f.bin").has_value());

    drives.Unmount(L'e');
    EXPECT_FALSE(table_.Find(L'E').has_value());
    EXPECT_EQ(fileSystem_.OpenVolume(L"\\\\.\\E:").error, fs::kErrorFileNotFound);
    EXPECT_TRUE(drives.Letters().empty());
}

TEST_F(DirectoryDrivesTest, FailedMountsChangeNothingAndTheOptionsMountEveryDriveOrSayWhichFailed) {
    DirectoryDrives drives(table_, fileSystem_);
    std::string error;
    EXPECT_FALSE(drives.Mount(L'1', root_, {}, error));
    EXPECT_FALSE(drives.Mount(L'G', root_ / "absent", {}, error));
    EXPECT_THAT(error, HasSubstr("not a directory"));
    EXPECT_FALSE(drives.Mount(L'G', root_, {0, 1000}, error));
    EXPECT_FALSE(table_.Find(L'G').has_value());
    EXPECT_TRUE(drives.Letters().empty());

    DirectoryDriveOptions options;
    options.drives = {{L'H', root_ / "one"}, {L'I', root_ / "nowhere"}, {L'J', root_ / "two"}};
    EXPECT_FALSE(MountDirectoryDrives(drives, options, error));
    EXPECT_THAT(error, HasSubstr("I: "));
    EXPECT_THAT(drives.Letters(), ElementsAre(L'H'));
    options.drives.erase(options.drives.begin() + 1);
    options.drives.erase(options.drives.begin());
    ASSERT_TRUE(MountDirectoryDrives(drives, options, error)) << error;
    EXPECT_THAT(drives.Letters(), ElementsAre(L'H', L'J'));
    // One drive inside another's directory shows as mounted in the other's folder.
    options.drives = {{L'K', root_ / "one" / "sub"}};
    ASSERT_TRUE(MountDirectoryDrives(drives, options, error)) << error;
    std::wstring volume;
    EXPECT_TRUE(table_.VolumeNameForMountPoint(L"H:\\sub\\", volume));
    EXPECT_EQ(volume, drives::DriveTable::DefaultVolumeName(L'K'));
}

}  // namespace
}  // namespace kestrel::host
