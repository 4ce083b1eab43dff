// printf-style formatting of wide text that behaves the same on every compiler. The system's trace and
// console texts are written with C format strings ("%s", "%d", "%lu", "%I64d", "%08x", "%c" ...); wide
// printf differs between C libraries (what "%s" means, whether "%I64d" exists), so this formatter reads
// the format itself and takes its arguments type-safely.
//
// Supported: flags '-', '0', '+', ' ', '#'; a width (digits or '*' is not supported); a precision for
// strings and integers; length modifiers h, l, ll, I64, I32, z (all ignored: the argument's own type
// decides); conversions d i u x X o c s S p and "%%". An argument missing for a conversion prints
// nothing; surplus arguments are ignored; an unknown conversion is copied literally.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace kestrel {

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Text, Char, Pointer };

    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, wchar_t> &&
                                            !std::is_same_v<T, char> && !std::is_same_v<T, bool>,
                                        int> = 0>
    FormatArg(T value)  // NOLINT(google-explicit-constructor)
        : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned) {
        if constexpr (std::is_signed_v<T>) {
            signed_ = value;
        } else {
            unsigned_ = value;
        }
    }
    FormatArg(bool value) : kind_(Kind::Signed), signed_(value ? 1 : 0) {}           // NOLINT
    FormatArg(wchar_t value) : kind_(Kind::Char), unsigned_(static_cast<std::uint32_t>(value)) {}  // NOLINT
    FormatArg(char value) : kind_(Kind::Char), unsigned_(static_cast<unsigned char>(value)) {}    // NOLINT
    FormatArg(const wchar_t* text) : kind_(Kind::Text), text_(text ? text : L"(null)") {}          // NOLINT
    FormatArg(const std::wstring& text) : kind_(Kind::Text), text_(text) {}                        // NOLINT
    FormatArg(std::wstring_view text) : kind_(Kind::Text), text_(text) {}                          // NOLINT
    FormatArg(const void* pointer)                                                                  // NOLINT
        : kind_(Kind::Pointer), unsigned_(reinterpret_cast<std::uintptr_t>(pointer)) {}

    Kind kind() const { return kind_; }
    std::int64_t AsSigned() const { return kind_ == Kind::Signed ? signed_ : static_cast<std::int64_t>(unsigned_); }
    std::uint64_t AsUnsigned() const { return kind_ == Kind::Signed ? static_cast<std::uint64_t>(signed_) : unsigned_; }
    std::wstring_view text() const { return text_; }

private:
    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    std::wstring_view text_;
};

std::wstring FormatArgs(std::wstring_view format, const FormatArg* args, std::size_t count);

template <class... Args>
std::wstring Format(std::wstring_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatArgs(format, nullptr, 0);
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatArgs(format, list, sizeof...(Args));
    }
}

}  // namespace kestrel
