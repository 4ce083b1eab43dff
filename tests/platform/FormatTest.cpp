#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/Format.h"

namespace kestrel {
namespace {

TEST(FormatTest, RendersTheSystemsFormatsAlike) {
    const std::int64_t big = -1234567890123LL;
    EXPECT_EQ(Format(L"[%s](%lu): ", std::wstring(L"Svc"), 4242ul), L"[Svc](4242): ");
    EXPECT_EQ(Format(L"cluster=%I64d next=%I64d\n", big, std::int64_t{5}), L"cluster=-1234567890123 next=5\n");
    EXPECT_EQ(Format(L"Error = 0x%08x\n", std::uint32_t{0xC0000021}), L"Error = 0xc0000021\n");
    EXPECT_EQ(Format(L"Error = 0x%08x\n", std::uint32_t{0x103}), L"Error = 0x00000103\n");
    EXPECT_EQ(Format(L"%d%%", 50), L"50%");
    EXPECT_EQ(Format(L"%c:\\", L'C'), L"C:\\");
    EXPECT_EQ(Format(L"%5d|%-5d|%05d", 42, 42, -42), L"   42|42   |-0042");
    EXPECT_EQ(Format(L"%.3s", L"abcdef"), L"abc");
    EXPECT_EQ(Format(L"%X", 255u), L"FF");
}

TEST(FormatTest, NegativeIntWithHexShowsThirtyTwoBits) {
    EXPECT_EQ(Format(L"%x", -1), L"ffffffff");
    EXPECT_EQ(Format(L"%d", std::int32_t{INT32_MIN}), L"-2147483648");
    EXPECT_EQ(Format(L"%I64d", std::int64_t{INT64_MIN}), L"-9223372036854775808");
}

TEST(FormatTest, MalformedFormatsNeverReadPastTheirArguments) {
    EXPECT_EQ(Format(L"%s and %s", L"one"), L"one and ");
    EXPECT_EQ(Format(L"trailing %"), L"trailing %");
    EXPECT_EQ(Format(L"%q"), L"%q");
    EXPECT_EQ(Format(L"%I64"), L"%I64");
    EXPECT_EQ(Format(L"%s", 12), L"");  // a number where text is expected prints nothing
    EXPECT_EQ(Format(L"%99999d", 1).size(), 4096u);  // absurd widths are capped
}

}  // namespace
}  // namespace kestrel
