// Wine's drive C through the real Windows file-system control (NtFsControlFile). Wine opens the volume
// but refuses the volume requests (FSCTL_GET_NTFS_VOLUME_DATA and FSCTL_GET_VOLUME_BITMAP answer
// STATUS_NOT_SUPPORTED), so the engine must fall back to its defaults and keep working on them.
#include <gtest/gtest.h>

#include "platform/Time.h"
#include "platform/Trace.h"
#include "service/engine/DefragEngine.h"

namespace kestrel::engine {
namespace {

TEST(RealVolume, RefusedVolumeRequestsLeaveTheDefaults) {
    timing::ScopedTimeDivisor fast(1000);  // the 11 attempts, 1 s apart, take 10 ms
    trace::ScopedCapture capture;
    DefragEngine engine(L"c:\\windows");
    EXPECT_EQ(engine.CurrentDriveIndex(), 2);
    EXPECT_EQ(engine.CurrentRoot(), L"C");
    ASSERT_NE(engine.VolumeHandle(), fs::kInvalidHandle) << "Wine opens \\\\.\\C:";

    EXPECT_TRUE(engine.NoVolumeData());
    EXPECT_EQ(engine.TotalClusters(), 131216);
    EXPECT_EQ(engine.BytesPerCluster(), 4096u);
    EXPECT_EQ(engine.VolumeData().MftZoneStart, 0);
    EXPECT_EQ(engine.VolumeData().MftZoneEnd, 0);
    EXPECT_EQ(engine.BitmapSizeValue(), 16402u);

    // The bitmap request was refused too: no answer ever filled the copy, so it offers no free space,
    // and the searches still answer.
    std::int64_t length = 5;
    EXPECT_EQ(engine.FindFreeRun(0, 1000, length), 0);
    EXPECT_EQ(length, 0);
    length = 0;
    EXPECT_EQ(engine.FindBiggestFreeSpace(length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(engine.IsClusterFree(7));
    // Refusals are not named in the trace; only the search announced itself.
    EXPECT_EQ(capture.Lines(), std::vector<std::wstring>{L"in FindBiggestFreeSpace\n"});
}

TEST(RealVolume, FilesOnWineCanBeMappedWithoutHarm) {
    timing::ScopedTimeDivisor fast(1000);
    DefragEngine engine(L"C:\\");
    const std::wstring path = L"C:\\windows\\system32\\kernel32.dll";
    // Wine answers the retrieval request with what it knows (one pair, or a refusal); whatever it is,
    // the map and the count agree, and the file's handle is closed again.
    ExtentList list;
    ASSERT_NO_THROW(list = engine.GetFileFragmentsInfo(path));
    const std::int32_t count = engine.GetFileFragments(path);
    EXPECT_GE(count, 1);
    EXPECT_EQ(count, FragmentCount(list));
    for (const Extent& e : list.extents) {
        EXPECT_GE(e.allocated, 0);
        EXPECT_GE(e.size, e.allocated);
    }
    EXPECT_EQ(engine.GetFileFragments(L"C:\\no-such-folder\\no-such-file.bin"), -2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\windows\\no-such-file.bin"), -2);
}

}  // namespace
}  // namespace kestrel::engine
