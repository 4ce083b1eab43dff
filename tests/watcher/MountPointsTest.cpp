// Listing the folders of a drive at which other volumes are mounted, over a fixed drive table.
#include <gtest/gtest.h>

#include "platform/DriveTable.h"
#include "service/watcher/MountPoints.h"

namespace kestrel::watcher {
namespace {

using drives::DriveEntry;
using drives::DriveTable;

std::list<std::wstring> List(DriveTable& table, const std::wstring& path) {
    std::list<std::wstring> out{L"kept"};
    EXPECT_FALSE(ListVolumeMountPoints(table, path, out));
    out.pop_front();
    return out;
}

TEST(MountPointsTest, EveryFormOfTheDriveGivesTheSameFullPathsAndOtherPathsNone) {
    DriveTable table;
    DriveEntry c;
    c.mountPoints = {L"Mnt\\Data\\", L"Backup\\"};
    table.Set(L'C', c);
    table.Set(L'D', {});

    const std::list<std::wstring> expected{L"C:\\Mnt\\Data\\", L"C:\\Backup\\"};
    EXPECT_EQ(List(table, L"C"), expected);
    EXPECT_EQ(List(table, L"C:"), expected);
    EXPECT_EQ(List(table, L"C:\\"), expected);
    // Lower case reaches the same volume; the letter is kept as given.
    EXPECT_EQ(List(table, L"c").size(), 2u);

    EXPECT_TRUE(List(table, L"D:\\").empty());      // no mounted volumes
    EXPECT_TRUE(List(table, L"E:\\").empty());      // no such drive
    EXPECT_TRUE(List(table, L"CX\\Data").empty());  // not a drive root
    EXPECT_TRUE(List(table, L"").empty());
}

TEST(MountPointsTest, AFileSystemWithoutReparsePointsCarriesNoMountPoints) {
    DriveTable table;
    DriveEntry fat;
    fat.fileSystemName = L"FAT32";
    fat.fileSystemFlags = drives::kFileCasePreservedNames | drives::kFileUnicodeOnDisk;
    fat.mountPoints = {L"Mnt\\"};
    table.Set(L'F', fat);
    EXPECT_TRUE(List(table, L"F:\\").empty());
}

TEST(MountPointsTest, AHostDriveWhoseDirectoryLiesInsideAnotherIsMountedThere) {
    DriveTable table;
    table.Set(L'C', drives::BackedBy(L"/srv/drives/c/"));
    table.Set(L'E', drives::BackedBy(L"/srv/drives/c/mnt/e"));
    table.Set(L'G', drives::BackedBy(L"/srv/drives/cg"));  // a sibling, not inside
    EXPECT_EQ(List(table, L"C:\\"), (std::list<std::wstring>{L"C:\\mnt\\e\\"}));
    EXPECT_TRUE(List(table, L"E:\\").empty());

    std::wstring volume;
    ASSERT_TRUE(table.VolumeNameForMountPoint(L"C:\\mnt\\e\\", volume));
    EXPECT_EQ(volume, DriveTable::DefaultVolumeName(L'E'));
    EXPECT_FALSE(table.VolumeNameForMountPoint(L"C:\\nothing\\", volume));
    EXPECT_EQ(table.DriveType(L"C:\\"), drives::kDriveFixed);
    EXPECT_EQ(table.DriveType(L"Q:\\"), drives::kDriveNoRootDir);
    EXPECT_EQ(table.DirectoryOf(L"e:\\x"), L"/srv/drives/c/mnt/e");
}

}  // namespace
}  // namespace kestrel::watcher
