#include "common/UpperCase.h"

namespace kestrel {
namespace {

bool In(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last;
}

// Ranges where upper and lower case alternate, the capital first: `upperParity` tells whether the
// capitals sit on even (0) or odd (1) code units.
char32_t Paired(char32_t c, char32_t upperParity) {
    return (c & 1) == upperParity ? c : c - 1;
}

char32_t Upper(char32_t c) {
    if (c < 0x80)
        return In(c, U'a', U'z') ? c - 0x20 : c;
    if (c < 0x100) {
        if (In(c, 0xE0, 0xFE) && c != 0xF7)
            return c - 0x20;
        return c == 0xFF ? 0x178 : c;
    }
    if (c < 0x180) {
        // Latin Extended-A: pairs with the capital on the even code unit, except in the two runs that
        // start one later. Dotless i, kra, 0x149 and long s keep their form, as the system keeps them.
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F)
            return c;
        if (In(c, 0x139, 0x148) || In(c, 0x179, 0x17E))
            return Paired(c, 1);
        return Paired(c, 0);
    }
    if (c < 0x400) {
        // Greek; final sigma keeps its form, as the system keeps it.
        if (In(c, 0x3B1, 0x3CB))
            return c == 0x3C2 ? c : c - 0x20;
        if (c == 0x3AC)
            return 0x386;
        if (In(c, 0x3AD, 0x3AF))
            return c - 0x25;
        if (c == 0x3CC)
            return 0x38C;
        if (In(c, 0x3CD, 0x3CE))
            return c - 0x3F;
        return c;
    }
    if (c < 0x530) {
        // Cyrillic.
        if (In(c, 0x430, 0x44F))
            return c - 0x20;
        if (In(c, 0x450, 0x45F))
            return c - 0x50;
        if (In(c, 0x460, 0x481) || In(c, 0x48A, 0x4BF) || In(c, 0x4D0, 0x52F))
            return Paired(c, 0);
        if (In(c, 0x4C1, 0x4CE))
            return Paired(c, 1);
        if (c == 0x4CF)
            return 0x4C0;
        return c;
    }
    if (In(c, 0x561, 0x586))  // Armenian
        return c - 0x30;
    if (In(c, 0x1E00, 0x1E95) || In(c, 0x1EA0, 0x1EFF))  // Latin Extended Additional
        return Paired(c, 0);
    if (In(c, 0xFF41, 0xFF5A))  // full-width Latin
        return c - 0x20;
    return c;
}

}  // namespace

wchar_t UpperCaseChar(wchar_t c) {
    char32_t code = static_cast<char32_t>(c);
    if (code > 0xFFFF)
        return c;
    return static_cast<wchar_t>(Upper(code));
}

std::wstring UpperCase(std::wstring_view text) {
    std::wstring upper(text);
    for (wchar_t& c : upper)
        c = UpperCaseChar(c);
    return upper;
}

}  // namespace kestrel
