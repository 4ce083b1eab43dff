// Upper-casing of paths and names the way the system compares them (CharUpperW on Windows; on the host
// the C library's towupper, which agrees with it for the letters paths use). ASCII is handled inline.
#pragma once

#include <string>

namespace kestrel {

// Upper-cases the text in place.
void CharUpperInPlace(std::wstring& text);

// An upper-cased copy.
inline std::wstring CharUpperCopy(std::wstring text) {
    CharUpperInPlace(text);
    return text;
}

}  // namespace kestrel
