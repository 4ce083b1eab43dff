// Upper-casing is one code unit to one code unit and the same on every target.
#include <gtest/gtest.h>

#include "common/UpperCase.h"

namespace kestrel {
namespace {

TEST(UpperCase, MapsEachScriptsSmallLettersAndKeepsEverythingElse) {
    EXPECT_EQ(UpperCase(L"c:\\temp\\a-z 0-9 @[`{~"), L"C:\\TEMP\\A-Z 0-9 @[`{~");
    // Latin-1: the division sign and sharp s have no capital of one code unit; y with diaeresis has one
    // outside Latin-1.
    EXPECT_EQ(UpperCase(L"\u00e0\u00e9\u00fe\u00f7\u00df\u00ff\u00b5"),
              L"\u00c0\u00c9\u00de\u00f7\u00df\u0178\u00b5");
    // Latin Extended-A, both pairings, dotless i kept; Greek with accents, final sigma kept; Cyrillic;
    // Armenian; full width.
    EXPECT_EQ(UpperCase(L"\u0101\u0130\u0131\u013a\u0148\u014b\u017e\u0138"),
              L"\u0100\u0130\u0131\u0139\u0147\u014a\u017d\u0138");
    EXPECT_EQ(UpperCase(L"\u03b1\u03c2\u03c9\u03ac\u03ad\u03cc\u03ce"),
              L"\u0391\u03c2\u03a9\u0386\u0388\u038c\u038f");
    EXPECT_EQ(UpperCase(L"\u0430\u044f\u0451\u045f\u0461\u04c2\u04cf\u04d1"),
              L"\u0410\u042f\u0401\u040f\u0460\u04c1\u04c0\u04d0");
    EXPECT_EQ(UpperCase(L"\u0561\u0586\u1e01\u1eff\uff41\uff5a"), L"\u0531\u0556\u1e00\u1efe\uff21\uff3a");
    const std::wstring capitals = L"ABC\u00c9\u0100\u0391\u0410\u0531\u1e00\uff21";
    EXPECT_EQ(UpperCase(capitals), capitals);
    EXPECT_EQ(UpperCase(L""), L"");
}

}  // namespace
}  // namespace kestrel
