#include <gtest/gtest.h>

#include "common/Utf16.h"

namespace kestrel {
namespace {

// U+1F600 outside the Basic Multilingual Plane, written as the UTF-16 pair it is on Windows.
const std::u16string kSmileUtf16 = u"a\xD83D\xDE00z";

std::wstring SmileWide() { return FromUtf16(kSmileUtf16); }

TEST(Utf16Test, SupplementaryCharactersBecomeSurrogatePairsOnEveryTarget) {
    std::wstring wide = SmileWide();
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 4u : 3u);
    EXPECT_EQ(ToUtf16(wide), kSmileUtf16);
    EXPECT_EQ(ToUtf8(wide), "a\xF0\x9F\x98\x80z");
    EXPECT_EQ(FromUtf8("a\xF0\x9F\x98\x80z"), wide);
}

TEST(Utf16Test, BrokenInputBecomesReplacementCharacters) {
    // A lone surrogate is kept as it is where wchar_t is UTF-16 and replaced where it is UTF-32.
    const std::wstring lone = FromUtf16(u"x\xD800y");
    EXPECT_EQ(lone, sizeof(wchar_t) == 2 ? std::wstring(L"x\xD800y") : std::wstring(L"x\xFFFDy"));
    EXPECT_EQ(ToUtf8(lone), "x\xEF\xBF\xBDy");
    EXPECT_EQ(FromUtf8("x\xC3"), std::wstring(L"x\xFFFD"));          // truncated sequence
    EXPECT_EQ(FromUtf8("\xC0\x80"), std::wstring(L"\xFFFD\xFFFD"));  // overlong encoding
    EXPECT_EQ(FromUtf8("\xFF"), std::wstring(L"\xFFFD"));
    EXPECT_EQ(ToUtf8(L"\x00E9"), "\xC3\xA9");
}

}  // namespace
}  // namespace kestrel
