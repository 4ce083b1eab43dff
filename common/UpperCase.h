// Upper-casing of paths and names, the same on every target.
//
// Paths are compared upper-cased (exclusions, the pending-file list), and the stored texts must match
// whichever program or target wrote them, so this is a fixed table rather than the C library's
// locale-dependent towupper. It maps one UTF-16 code unit to one code unit, as the system's CharUpperW
// does: no letter grows into two (German sharp s stays as it is), and code units outside the table are
// kept. The table covers the scripts that file names commonly use: Basic Latin, Latin-1, Latin
// Extended-A and Additional, Greek, Cyrillic, Armenian and the full-width Latin forms.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// The upper-case form of one character (a UTF-16 code unit; wider characters are returned unchanged).
wchar_t UpperCaseChar(wchar_t c);

// The text with every character upper-cased.
std::wstring UpperCase(std::wstring_view text);

// Upper-cases the text in place (no allocation, for the change thread's per-record copy).
void UpperCaseInPlace(std::wstring& text);

}  // namespace kestrel
