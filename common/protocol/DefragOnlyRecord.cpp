#include "common/protocol/DefragOnlyRecord.h"

#include <cstdint>
#include <limits>

#include "common/Format.h"

namespace kestrel::protocol {
namespace {

constexpr std::wstring_view kKeyword = L"DEFRAGONLY";

bool IsScanSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// What "%d" reads from `field`: leading white space, an optional sign, then decimal digits; 0 when no
// digit follows. The fields read here are two characters long, so the value always fits.
std::int32_t ScanDecimal(std::wstring_view field) {
    std::size_t i = 0;
    while (i < field.size() && IsScanSpace(field[i]))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == L'+' || field[i] == L'-')) {
        negative = field[i] == L'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < field.size() && field[i] >= L'0' && field[i] <= L'9'; ++i) {
        value = value * 10 + (field[i] - L'0');
        if (value > std::numeric_limits<std::int32_t>::max())
            value = std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace

std::wstring DefragOnlyRecord::Build(std::wstring_view drive, std::int32_t flag, std::wstring_view address) {
    std::wstring text = drive.empty() ? std::wstring() : std::wstring(1, drive.front());
    text += Format(L"%d", flag);
    text += kKeyword;
    text += address;
    return text;
}

std::wstring DefragOnlyRecord::Build() const {
    const wchar_t letter[1] = {drive};
    return Build(std::wstring_view(letter, drive ? 1 : 0), flag, address);
}

DefragOnlyRecord DefragOnlyRecord::Parse(std::wstring_view text) {
    const std::size_t comma = text.find(L',');
    if (comma != std::wstring_view::npos) {
        // The comma and the one character after it go too (the space of "25, ...").
        text.remove_prefix(comma + 2 <= text.size() ? comma + 2 : text.size());
    }
    DefragOnlyRecord record;
    if (!text.empty())
        record.drive = text.front();
    if (text.size() > 1)
        record.flag = ScanDecimal(text.substr(1, 2));
    const std::size_t at = text.find(L"\\\\");
    if (at != std::wstring_view::npos)
        record.address = std::wstring(text.substr(at));
    return record;
}

}  // namespace kestrel::protocol
