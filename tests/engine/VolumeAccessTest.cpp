// Selecting and opening volumes, the volume data and its defaults, opening files, and the trace texts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/SystemError.h"
#include "platform/Trace.h"
#include "service/engine/EngineTrace.h"
#include "tests/engine/EngineTestSupport.h"

namespace kestrel::engine::test {
namespace {

using VolumeAccess = EngineTest;

TEST_F(VolumeAccess, EitherCaseOfTheLetterSelectsTheSameDrive) {
    DefragEngine engine(control_, L"c:\\data");
    EXPECT_EQ(engine.CurrentDriveIndex(), 2);
    ASSERT_EQ(control_.volumeOpens, std::vector<std::wstring>{L"\\\\.\\C:"});
    EXPECT_FALSE(engine.NoVolumeData());
    EXPECT_EQ(engine.TotalClusters(), 10000);
    EXPECT_EQ(engine.CurrentRoot(), L"C");

    // The same drive again, in the other case and with the handle open: no reopening, no re-reading.
    const std::size_t requests = control_.calls.size();
    EXPECT_EQ(engine.SelectVolume(L"C:\\other"), 2);
    EXPECT_EQ(control_.volumeOpens.size(), 1u);
    EXPECT_EQ(control_.calls.size(), requests);
}

TEST_F(VolumeAccess, PathsThatDoNotStartWithADriveLetterSelectNothing) {
    DefragEngine engine(control_, L"C:\\");
    const std::size_t opens = control_.volumeOpens.size();
    for (const wchar_t* path : {L"", L"\\\\server\\share", L"1:\\", L"[:\\", L"`:\\", L"\u00e9:\\"}) {
        EXPECT_EQ(engine.SelectVolume(path), 0) << "path " << testing::PrintToString(std::wstring(path));
    }
    // Nothing changed: the volume of C is still selected and open.
    EXPECT_EQ(control_.volumeOpens.size(), opens);
    EXPECT_EQ(engine.CurrentRoot(), L"C");
    EXPECT_NE(engine.VolumeHandle(), fs::kInvalidHandle);

    DefragEngine none(control_, L"?:\\");
    EXPECT_EQ(none.CurrentRoot(), L".");
    EXPECT_EQ(none.VolumeHandle(), fs::kInvalidHandle);
    std::int64_t length = 5;
    EXPECT_EQ(none.FindFreeRun(0, 1, length), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(VolumeAccess, DriveAIsSelectedButReportedAsZero) {
    sim::SimVolume a({1000, 4096, 0, 0});
    fs_.Mount(L'A', a);
    DefragEngine engine(control_, L"a:\\");
    EXPECT_EQ(engine.SelectVolume(L"A:\\x"), 0);
    EXPECT_EQ(control_.volumeOpens, std::vector<std::wstring>{L"\\\\.\\A:"});
}

TEST_F(VolumeAccess, AVolumeThatCannotBeOpenedLeavesDefaultsAndNoHandle) {
    trace::ScopedCapture capture;
    DefragEngine engine(control_, L"Q:\\file");
    EXPECT_EQ(engine.CurrentDriveIndex(), 16);
    EXPECT_EQ(engine.VolumeHandle(), fs::kInvalidHandle);
    // One open in SelectVolume and one in each of the 11 attempts to read the volume data.
    EXPECT_EQ(control_.volumeOpens.size(), 12u);
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetNtfsVolumeData), 0u);  // nothing is asked of no handle
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetVolumeBitmap), 0u);
    EXPECT_TRUE(engine.NoVolumeData());
    EXPECT_EQ(engine.TotalClusters(), 131216);
    EXPECT_EQ(engine.BytesPerCluster(), 4096u);
    EXPECT_EQ(engine.BitmapSizeValue(), 16402u);
    // A copy that no answer has filled offers no free space; the searches still answer.
    std::int64_t length = 7;
    EXPECT_EQ(engine.FindFreeRun(0, 1, length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(engine.GetFileFragments(L"Q:\\file"), -2);  // "not found"-class failure, no trace
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(VolumeAccess, RefusedVolumeDataIsTriedElevenTimesThenDefaultsStand) {
    RefuseVolumeData();
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetNtfsVolumeData), 11u);
    EXPECT_TRUE(engine.NoVolumeData());
    EXPECT_EQ(engine.VolumeData().MftZoneStart, 0);
    EXPECT_EQ(engine.VolumeData().MftZoneEnd, 0);
    // The bitmap itself was readable and told the real size.
    EXPECT_EQ(engine.TotalClusters(), 10000);
}

TEST_F(VolumeAccess, VolumeDataThatComesOnTheLastAttemptIsUsed) {
    for (int i = 0; i < 10; ++i)
        volume_.InjectFault(
            {sim::Fault::Kind::Status, fs::kFsctlGetNtfsVolumeData, L"", fs::kStatusNotSupported, 0});
    DefragEngine engine(control_, L"C:\\");
    EXPECT_EQ(control_.CountCalls(fs::kFsctlGetNtfsVolumeData), 11u);
    EXPECT_FALSE(engine.NoVolumeData());
}

TEST_F(VolumeAccess, FailedFileOpensAreClassified) {
    ASSERT_TRUE(volume_.Append(L"\\busy.dat", 10));
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;

    volume_.InjectFault({sim::Fault::Kind::SharingViolation, 0, L"\\busy.dat", 0, 0});
    EXPECT_EQ(engine.GetFileFragments(L"C:\\busy.dat"), -1);
    volume_.InjectFault({sim::Fault::Kind::AccessDenied, 0, L"\\busy.dat", 0, 0});
    EXPECT_EQ(engine.GetFileFragments(L"C:\\busy.dat"), -2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\missing.dat"), -2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\no\\such\\dir.dat"), -2);
    EXPECT_EQ(engine.GetFileFragments(L"C:\\" + std::wstring(300, L'n')), -2);  // name too long
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(control_.fileOpens.front(), L"\\\\?\\C:\\busy.dat");

    EXPECT_EQ(engine.ReportWin32Error(fs::kErrorInvalidName), -2);
    EXPECT_EQ(engine.ReportWin32Error(fs::kErrorNotReady), -2);
    // The system's own text for the code (it differs between systems), then the code.
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{SystemErrorText(123) + L" - error code=123\n",
                                                          SystemErrorText(21) + L" - error code=21\n"}));
    EXPECT_EQ(engine.GetFileFragments(L"C:\\busy.dat"), 1);
    EXPECT_EQ(fs_.OpenHandles(), 1u);  // only the engine's volume handle stays open
}

TEST_F(VolumeAccess, StatusNames) {
    DefragEngine engine(control_, L"C:\\");
    trace::ScopedCapture capture;
    for (fs::NtStatus status :
         {0x00000000u, 0xC000000Du, 0xC0000010u, 0xC0000021u, 0xC0000023u, 0x80000005u, 0x103u})
        engine.ReportStatus(status);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::wstring>{L"STATUS_SUCCESS\n", L"STATUS_INVALID_PARAMETER\n",
                                         L"STATUS_INVALID_DEVICE_REQUEST\n", L"STATUS_ALREADY_COMMITTED\n",
                                         L"STATUS_BUFFER_TOO_SMALL\n", L"Error = 0x80000005\n",
                                         L"Error = 0x00000103\n"}));
}

TEST(EngineTraceLine, ALineLongerThanTheBufferIsCut) {
    trace::ScopedCapture capture;
    const std::wstring name(5000, L'x');
    EngineTrace(L"Compacted %s, start Vcn=%I64d\n", name, std::int64_t{7});
    EngineTrace(L"%s\n", std::wstring(4094, L'y'));  // exactly 4,095 characters: kept whole
    const std::vector<std::wstring> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Compacted " + std::wstring(4085, L'x'));
    EXPECT_EQ(lines[1], std::wstring(4094, L'y') + L"\n");
}

TEST_F(VolumeAccess, MissingNativeCallEndsTheProcess) {
#ifdef _WIN32
    GTEST_SKIP() << "death tests re-run the program, which Wine makes slow";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    control_.bindResult = false;
    EXPECT_EXIT({ DefragEngine engine(control_, L"C:\\"); }, testing::ExitedWithCode(1), "");
    // Without a volume there is nothing to bind, and nothing ends.
    DefragEngine engine(control_, L"");
    EXPECT_EQ(engine.VolumeHandle(), fs::kInvalidHandle);
#endif
}

}  // namespace
}  // namespace kestrel::engine::test
