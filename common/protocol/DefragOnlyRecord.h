// The value behind a "DEFRAGONLY" text: the drive, the defragment-only flag and a reply address. The
// panel builds it to set a drive's flag; the service parses that request, and builds the same form as
// its code-25 reply, which the panel parses back for the flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::protocol {

struct DefragOnlyRecord {
    wchar_t drive = L'\0';  // the drive letter (0 when the text was empty)
    std::int32_t flag = 0;  // 1 = defragment only, 0 = not
    std::wstring address;   // the reply address, empty when none

    // The first character of `drive` (nothing when it is empty), the flag in decimal, "DEFRAGONLY",
    // then the address: Build(L"C:\\", 1, L"") is "C1DEFRAGONLY".
    static std::wstring Build(std::wstring_view drive, std::int32_t flag, std::wstring_view address);
    std::wstring Build() const;

    // If the text holds a ",", everything up to and including the first comma and the one character
    // after it is removed first (so "25, C1DEFRAGONLY" reads like "C1DEFRAGONLY"). Then the drive is the
    // first character, the flag is the decimal number that "%d" reads from the second and third
    // characters (0 when none can be read), and the address is the text from the first "\\" to the end.
    static DefragOnlyRecord Parse(std::wstring_view text);
};

// The "Move" setting that a request's flag stores: 0 (defragment only) when the flag is 1, else 1.
constexpr std::uint32_t MoveForFlag(std::int32_t flag) {
    return flag == 1 ? 0u : 1u;
}
// The flag that reports a drive's "Move" setting: 1 (defragment only) when Move is not 1, else 0.
constexpr std::int32_t FlagForMove(std::uint32_t move) {
    return move != 1 ? 1 : 0;
}

}  // namespace kestrel::protocol
