// Host failures become Win32 error codes in one place, so one cause gives one code whichever host
// adapter met it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Mailslot.h"
#include "platform/SystemError.h"
#include "platform/host/ErrnoMapping.h"
#include "platform/host/StateDirectory.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

TEST(HostErrorTest, ErrnoValuesMapToTheirWin32Codes) {
    EXPECT_EQ(host::Win32ErrorFromErrno(0), kErrorSuccess);
    EXPECT_EQ(host::Win32ErrorFromErrno(ENOENT), kErrorFileNotFound);
    EXPECT_EQ(host::Win32ErrorFromErrno(ENOTDIR), kErrorPathNotFound);
    EXPECT_EQ(host::Win32ErrorFromErrno(EACCES), kErrorAccessDenied);
    EXPECT_EQ(host::Win32ErrorFromErrno(ENOSPC), kErrorDiskFull);
    EXPECT_EQ(host::Win32ErrorFromErrno(EEXIST), kErrorAlreadyExists);
    EXPECT_EQ(host::Win32ErrorFromErrno(ENAMETOOLONG), kErrorFilenameExcedRange);
    EXPECT_EQ(host::Win32ErrorFromErrno(EHOSTDOWN), kErrorGenFailure);  // nothing closer
    // Every code the mapping gives has the system's own text, not the generic one.
    for (int error : {ENOENT, ENOTDIR, EACCES, ENOSPC, EEXIST, ENAMETOOLONG, EMFILE, ENOMEM, EROFS, EINVAL}) {
        const std::uint32_t code = host::Win32ErrorFromErrno(error);
        EXPECT_EQ(SystemErrorText(code).rfind(L"Unknown error", 0), std::wstring::npos) << error;
    }
}

TEST(HostErrorTest, OneCauseGivesOneCodeInEveryAdapter) {
    char pattern[] = "/tmp/kestrel-errors-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    std::ofstream(root / "file") << "not a directory";
    const fs::path below = root / "file" / "sub";

    // A directory to be made below a regular file: the state directory and the mailslot directory.
    EXPECT_EQ(host::EnsureStateDirectory(below.string()), kErrorPathNotFound);
    const char* previous = std::getenv("KESTREL_MAILSLOT_DIR");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("KESTREL_MAILSLOT_DIR", below.c_str(), 1);
    mailslot::CreateResult reader = mailslot::CreateReader(L"\\\\.\\mailslot\\KestrelErrors", false);
    mailslot::OpenResult writer = mailslot::OpenWriter(L"\\\\.\\mailslot\\KestrelErrors");
    if (previous != nullptr)
        ::setenv("KESTREL_MAILSLOT_DIR", saved.c_str(), 1);
    else
        ::unsetenv("KESTREL_MAILSLOT_DIR");
    EXPECT_FALSE(reader.handle);
    EXPECT_EQ(reader.error, kErrorPathNotFound);
    EXPECT_FALSE(writer.handle);
    EXPECT_EQ(writer.error, kErrorPathNotFound);

    std::error_code ignored;
    fs::remove_all(root, ignored);
}

}  // namespace
}  // namespace kestrel
