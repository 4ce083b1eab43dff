// Under Windows (or Wine) the portable table agrees with the system's CharUpperW over the ranges it
// covers. Windows only.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/UpperCase.h"

namespace kestrel {
namespace {

TEST(UpperCaseWin32, AgreesWithCharUpperWOverTheCoveredScripts) {
    const std::pair<wchar_t, wchar_t> ranges[] = {{0x20, 0x17F},  {0x386, 0x3CE},   {0x400, 0x52F},
                                                  {0x531, 0x586}, {0x1E00, 0x1EFF}, {0xFF21, 0xFF5A}};
    int differences = 0;
    for (auto [first, last] : ranges) {
        for (wchar_t c = first; c <= last; ++c) {
            wchar_t system = static_cast<wchar_t>(
                reinterpret_cast<UINT_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(c)))));
            if (UpperCaseChar(c) != system && ++differences <= 20)
                ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(c) << ": table "
                              << static_cast<unsigned>(UpperCaseChar(c)) << ", CharUpperW "
                              << static_cast<unsigned>(system);
        }
    }
    EXPECT_EQ(differences, 0);
}

}  // namespace
}  // namespace kestrel
