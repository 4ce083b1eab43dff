// Windows only (run under Wine): a watcher of drive C with the system's own change notification.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <list>
#include <string>

#include "service/watcher/MountPoints.h"
#include "tests/watcher/WatcherRig.h"

namespace kestrel::watcher {
namespace {

void AppendTo(const std::wstring& path, DWORD bytes) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    std::string data(bytes, 'k');
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, data.data(), bytes, &written, nullptr));
    CloseHandle(file);
}

// The folder is made after the watch began: Wine's recursive watch follows folders created below the root
// but not always those that were there before.
TEST(Win32WatcherTest, AFileWrittenOnTheDriveReachesTheQueueAsItsFullPath) {
    const std::wstring folder = L"C:\\kestrel watch " + std::to_wstring(GetCurrentProcessId());
    const std::wstring file = folder + L"\\grown.bin";
    {
        Watcher w(L"c:", L"");  // the system's change notification and drives
        w.Prepare();
        ASSERT_TRUE(w.HasDirectory());
        EXPECT_EQ(w.DrivePath(), L"C:\\");
        Access::StartWithoutDefrag(w);
        Sleep(200);  // let the first read be issued
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
        const bool seen = WaitUntil(
            [&] {
                AppendTo(file, 512);
                const std::vector<std::wstring> paths = Paths(w);
                return std::find(paths.begin(), paths.end(), file) != paths.end();
            },
            20000);
        EXPECT_TRUE(seen);
    }
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(Win32WatcherTest, TheSystemsDrivesAnswerForDriveC) {
    drives::Drives& system = drives::DefaultDrives();
    EXPECT_EQ(system.DriveType(L"C:\\"), drives::kDriveFixed);
    std::wstring volume;
    if (system.VolumeNameForMountPoint(L"C:\\", volume)) {
        EXPECT_EQ(volume.rfind(L"\\\\?\\Volume{", 0), 0u);
    }
    std::list<std::wstring> mounts{L"kept"};
    EXPECT_FALSE(ListVolumeMountPoints(L"C", mounts));
    EXPECT_EQ(mounts.front(), L"kept");
}

}  // namespace
}  // namespace kestrel::watcher
