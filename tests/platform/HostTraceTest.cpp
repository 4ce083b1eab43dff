// The host's trace sink on standard error: one line per write, whether or not the text ends in a line
// feed of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Trace.h"

namespace kestrel::trace {
namespace {

// What the platform sink writes to standard error while `write` runs.
template <class Write>
std::string StandardErrorOf(Write write) {
    char path[] = "/tmp/kestrel-trace-XXXXXX";
    const int file = mkstemp(path);
    EXPECT_GE(file, 0);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(file, 2);
    write();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buffer[256];
    lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(file);
    unlink(path);
    return text;
}

TEST(HostTraceTest, EveryWriteEndsOneLineOnStandardError) {
    EnableStandardError(true);
    const std::string text = StandardErrorOf([] {
        PlatformSink().Write(L"Created successfully");
        PlatformSink().Write(L"LifeTime frags saved = 0");
        PlatformSink().Write(L"Got Volume D:\\ handle=3\n");
        PlatformSink().Write(L"");
        PlatformSink().Write(L"caf\u00e9");
    });
    EnableStandardError(false);
    EXPECT_EQ(text,
              "Created successfully\nLifeTime frags saved = 0\nGot Volume D:\\ handle=3\n\ncaf\xc3\xa9\n");
    // Switched off, nothing is written at all.
    EXPECT_EQ(StandardErrorOf([] { PlatformSink().Write(L"quiet"); }), "");
}

}  // namespace
}  // namespace kestrel::trace
