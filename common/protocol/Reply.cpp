#include "common/protocol/Reply.h"

#include <charconv>
#include <limits>
#include <system_error>

#include "common/Format.h"
#include "common/UpperCase.h"
#include "common/protocol/DefragOnlyRecord.h"

namespace kestrel::protocol {
namespace {

bool IsHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::wstring_view CutToUtf16Units(std::wstring_view text, std::size_t maxUnits) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        // A character beyond the Basic Multilingual Plane takes two code units: one wide character on
        // Linux, a surrogate pair of two wide characters on Windows. Either way it stays whole.
        std::size_t chars = 1;
        const std::uint32_t code = static_cast<std::uint32_t>(text[i]);
        std::size_t width = (code >> 16) != 0 ? 2 : 1;  // never true where wchar_t is 16-bit
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            chars = 2;
            width = 2;
        }
        if (units + width > maxUnits)
            break;
        units += width;
        i += chars;
    }
    return text.substr(0, i);
}

std::wstring ComposeReply(int code, std::wstring_view text) {
    const std::wstring line = Format(L"%d, %s", code, text);
    return std::wstring(CutToUtf16Units(line, kMaxReplyLine));
}

std::wstring StatisticsText(const Statistics& n) {
    const std::wstring text =
        Format(L"%d;;;%d;;;%d;;;%d;;;%d;;;%d;;;", n.filesLeft, n.fragmentsSaved, n.largestFragmentsSaved,
               n.totalFilesLeft, n.totalFragmentsSaved, n.lifetimeFragmentsSaved);
    return std::wstring(CutToUtf16Units(text, kMaxStatisticsText));
}

std::wstring FreeSpaceText(std::int64_t freeClusters, std::int64_t volumeClusters) {
    if (volumeClusters == 0 || freeClusters <= 0)
        return std::wstring(kNoCalc);
    const double percent = 100.0 * static_cast<double>(freeClusters) / static_cast<double>(volumeClusters);
    // "%1.2lf": fixed notation with two decimals (the width of 1 never pads). The C library's printf
    // is not used: its rounding of ties and its decimal point differ between runtimes and locales.
    char digits[64];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, percent, std::chars_format::fixed, 2);
    if (error != std::errc())
        return std::wstring(kNoCalc);  // cannot happen: |percent| < 1e21 fits the buffer
    return std::wstring(digits, end);
}

std::wstring ExclusionsText(const std::vector<std::wstring>& paths) {
    std::wstring text;
    for (const std::wstring& path : paths) {
        text += UpperCase(path);
        text += L';';
    }
    return text;
}

std::wstring DriveListText(const std::vector<std::wstring>& drives) {
    std::wstring text;
    for (const std::wstring& drive : drives)
        text += drive;
    return text;
}

std::optional<Reply> ParseReply(std::wstring_view message) {
    std::size_t i = 0;
    std::int64_t code = 0;
    for (; i < message.size() && message[i] >= L'0' && message[i] <= L'9'; ++i) {
        code = code * 10 + (message[i] - L'0');
        if (code > std::numeric_limits<int>::max())
            return std::nullopt;
    }
    if (i == 0)
        return std::nullopt;
    Reply reply;
    reply.code = static_cast<int>(code);
    if (i < message.size() && message[i] == L',') {
        ++i;
        while (i < message.size() && message[i] == L' ')
            ++i;
        reply.text = std::wstring(CutToUtf16Units(message.substr(i), kMaxReplyText));
    }
    return reply;
}

std::vector<std::wstring> SplitDriveList(std::wstring_view text) {
    std::vector<std::wstring> entries;
    for (std::size_t at = text.find(L'\\'); at != std::wstring_view::npos; at = text.find(L'\\')) {
        entries.emplace_back(text.substr(0, at + 1));
        text.remove_prefix(at + 1);
    }
    if (text.size() > 1)
        entries.emplace_back(text);
    return entries;
}

std::optional<std::array<std::wstring, 6>> SplitStatistics(std::wstring_view text) {
    constexpr std::wstring_view kEnd = L";;;";
    std::array<std::wstring_view, 6> group;
    std::size_t filled = 0;
    std::optional<std::array<std::wstring, 6>> last;
    for (std::size_t at = text.find(kEnd); at != std::wstring_view::npos; at = text.find(kEnd)) {
        group[filled++] = text.substr(0, at);
        text.remove_prefix(at + kEnd.size());
        if (filled == group.size()) {
            last.emplace();
            for (std::size_t k = 0; k < group.size(); ++k)
                (*last)[k] = std::wstring(group[k]);
            filled = 0;
        }
    }
    return last;
}

std::vector<std::wstring> SplitExclusions(std::wstring_view text) {
    std::vector<std::wstring> entries;
    for (std::size_t at = text.find(L';'); at != std::wstring_view::npos; at = text.find(L';')) {
        entries.emplace_back(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    return entries;
}

bool DefragOnlyChecked(std::wstring_view text) {
    return DefragOnlyRecord::Parse(text).flag != 0;
}

}  // namespace kestrel::protocol
