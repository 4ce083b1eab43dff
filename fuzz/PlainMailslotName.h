// The fuzz targets' own statement of the only names the service may ever write to, kept apart from the
// code under test so that a fault there cannot hide itself: "\\.\mailslot\" (any case) and 1 to 64
// characters of letters, digits, "_", "-" and ".", without ".." and not ending in ".". Nothing else: no
// second backslash, no drive, no host, no device.
#pragma once

#include <string_view>

namespace kestrel::fuzzing {

inline bool IsPlainLocalMailslot(std::wstring_view name) {
    constexpr std::wstring_view prefix = L"\\\\.\\mailslot\\";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 64)
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const wchar_t c = name[i];
        const wchar_t lower = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        if (lower != prefix[i])
            return false;
    }
    const std::wstring_view rest = name.substr(prefix.size());
    for (wchar_t c : rest) {
        const bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                        c == L'_' || c == L'-' || c == L'.';
        if (!ok)
            return false;
    }
    return rest.find(L"..") == std::wstring_view::npos && rest.back() != L'.';
}

}  // namespace kestrel::fuzzing
