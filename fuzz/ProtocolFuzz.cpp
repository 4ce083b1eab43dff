// Fuzzes the command channel's text handling. Each input is read as the wire would carry it (UTF-16LE
// code units, a last odd byte as a unit whose high byte is zero; zero units kept) and goes through the
// service's request parse and the panel's reply parse and splitting. The target aborts when a result
// breaks its contract, above all when a reply name is accepted that is not a plain local mailslot name:
// that is checked here with a rule of its own, not with the function under test. Each input is also
// tried as the tail of a reply name. fuzz/protocol.dict holds the keywords and names as UTF-16LE.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/Utf16.h"
#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Reply.h"
#include "fuzz/PlainMailslotName.h"
#include "common/protocol/Request.h"

namespace {

using kestrel::fuzzing::IsPlainLocalMailslot;

using namespace kestrel::protocol;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

void CheckRequest(std::wstring_view text) {
    const Request request = ParseRequest(text);

    // The command is the first keyword in search order that occurs, at its first occurrence.
    bool earlier = true;
    for (const KeywordEntry& entry : kKeywords) {
        const std::size_t at = text.find(entry.keyword);
        if (entry.command == request.command) {
            Require(at != std::wstring_view::npos && at == request.keywordPosition);
            earlier = false;
        } else if (earlier) {
            Require(at == std::wstring_view::npos);
        }
    }
    Require(request.command != Command::None || request.keywordPosition == std::wstring_view::npos);

    // The drive index never leaves 0..26 and matches the first character.
    Require(request.driveIndex >= 0 && request.driveIndex <= 26);
    if (text.empty()) {
        Require(request.driveLetter == L'\0' && request.driveIndex == kNoDrive);
    } else {
        Require(request.driveLetter == text.front());
        const wchar_t c = text.front();
        Require(request.driveIndex == (c >= L'A' && c <= L'Z' ? c - 64 : 0));
    }

    // The reply name is the tail from the first "\\".
    const std::size_t first = text.find(L"\\\\");
    if (first == std::wstring_view::npos) {
        Require(request.replyName.empty());
    } else {
        Require(text.substr(first) == request.replyName);
    }
    if (request.replyAccepted) {
        Require(IsPlainLocalMailslot(request.replyName));
        Require(request.ReplyTarget() && *request.ReplyTarget() == request.replyName);
    } else {
        Require(!request.ReplyTarget());
    }

    // The exclusion path lies between index 3 and the keyword, and only there.
    if (request.command == Command::AddExclude || request.command == Command::DeleteExclude) {
        if (request.keywordPosition < 3) {
            Require(!request.exclusionPath);
        } else {
            Require(request.exclusionPath &&
                    *request.exclusionPath == text.substr(3, request.keywordPosition - 3));
        }
    } else {
        Require(!request.exclusionPath);
    }

    // A parsed record built again parses to itself when its parts survive the round (a letter, one
    // digit, an address without a comma).
    const DefragOnlyRecord record = DefragOnlyRecord::Parse(text);
    Require(record.address.empty() || record.address.starts_with(L"\\\\"));
    if (record.drive >= L'A' && record.drive <= L'Z' && record.flag >= 0 && record.flag <= 9 &&
        record.address.find(L',') == std::wstring::npos) {
        const DefragOnlyRecord back = DefragOnlyRecord::Parse(record.Build());
        Require(back.drive == record.drive && back.flag == record.flag && back.address == record.address);
    }
}

void CheckReplies(std::wstring_view text) {
    if (const std::optional<Reply> reply = ParseReply(text)) {
        Require(!text.empty() && text.front() >= L'0' && text.front() <= L'9');
        Require(reply->code >= 0);
        Require(kestrel::ToUtf16(reply->text).size() <= kMaxReplyText);
        Require(text.find(reply->text) != std::wstring_view::npos);
    } else {
        // Only a message without a leading digit, or with a code too long for an int, is ignored.
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9')
            ++digits;
        Require(digits == 0 || digits >= 10);
    }

    std::size_t taken = 0;
    const std::vector<std::wstring> drives = SplitDriveList(text);
    for (std::size_t i = 0; i < drives.size(); ++i) {
        Require(text.substr(taken, drives[i].size()) == drives[i]);
        taken += drives[i].size();
        const std::size_t slash = drives[i].find(L'\\');
        const bool last = i + 1 == drives.size();
        Require(slash == drives[i].size() - 1 ||
                (last && slash == std::wstring::npos && drives[i].size() > 1));
    }
    // Whatever is not an entry holds no backslash and is at most one character.
    const std::wstring_view rest = text.substr(taken);
    Require(rest.find(L'\\') == std::wstring_view::npos && rest.size() <= 1);

    if (const auto group = SplitStatistics(text)) {
        for (const std::wstring& field : *group)
            Require(field.find(L";;;") == std::wstring::npos);
    }
    for (const std::wstring& entry : SplitExclusions(text))
        Require(entry.find(L';') == std::wstring::npos);
    (void)DefragOnlyChecked(text);
}

std::int64_t Int64At(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value |= std::uint64_t{at + i < size ? data[at + i] : std::uint8_t{0}} << (8 * i);
    return static_cast<std::int64_t>(value);
}

void CheckComposition(const std::uint8_t* data, std::size_t size, std::wstring_view text) {
    const int code = static_cast<int>(Int64At(data, size, 0) & 0xFFFF);
    const std::wstring line = ComposeReply(code, text);
    Require(kestrel::ToUtf16(line).size() <= kMaxReplyLine);
    const std::optional<Reply> back = ParseReply(line);
    Require(back && back->code == code);

    const std::int64_t n = Int64At(data, size, 0);
    const std::int64_t q = Int64At(data, size, 8);
    const std::wstring percent = FreeSpaceText(n, q);
    if (q == 0 || n <= 0) {
        Require(percent == kNoCalc);
    } else {
        const std::size_t dot = percent.find(L'.');
        Require(dot != std::wstring::npos && dot + 3 == percent.size());
    }
    // Negated without overflow: the lowest value stays itself.
    const auto negate = [](std::int64_t v) {
        return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v));
    };
    const std::wstring stats = StatisticsText({n, q, negate(n), negate(q), n ^ q, code});
    Require(stats.size() <= kMaxStatisticsText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    units.reserve(size / 2 + 1);
    for (std::size_t i = 0; i < size; i += 2) {
        const auto high = static_cast<char16_t>(i + 1 < size ? data[i + 1] : 0);
        units.push_back(static_cast<char16_t>(data[i] | (high << 8)));
    }
    const std::wstring text = kestrel::FromUtf16(units);
    CheckRequest(text);
    // The same bytes as the tail of a reply name, so that every input also tries the name rule itself
    // without the fuzzer first having to find "\\" or the mailslot prefix.
    CheckRequest(L"C:\\GetData\\\\" + text);
    CheckRequest(L"C:\\GetData\\\\.\\mailslot\\" + text);
    CheckReplies(text);
    CheckComposition(data, size, text);
    return 0;
}
