// Conversions between the program's wide strings and fixed encodings. wchar_t is 16-bit on Windows and
// 32-bit on Linux; anything whose bytes must match across both (wire forms, hashes) goes through UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Wide text to UTF-16 code units (characters outside the Basic Multilingual Plane become surrogate
// pairs on Linux; on Windows the text already is UTF-16 and is copied).
std::u16string ToUtf16(std::wstring_view text);
// UTF-16 code units to wide text. Unpaired surrogates become U+FFFD on Linux.
std::wstring FromUtf16(std::u16string_view text);
// Wide text to UTF-8 (for consoles and logs); invalid code points become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// UTF-8 to wide text; invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);

}  // namespace kestrel
