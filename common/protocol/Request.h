// Requests of the command channel: how the panel writes them and how the service takes them apart.
//
// A request is one text with up to three parts found by position, not by a separator: the drive letter
// (the first character), the keyword (anywhere in the text, searched in the order of kKeywords) and the
// reply name (from the first "\\" to the end). The service acts on what it finds; it answers only on a
// reply name that is a plain local mailslot name (IsAcceptableReplyName), so a request cannot make it
// open or write any other file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Protocol.h"

namespace kestrel::protocol {

// The drive index of a drive letter: A is 1 ... Z is 26 (the character code minus 64). Any other
// character, lower-case letters included, is no drive and gives kNoDrive, never an index outside 1..26.
inline constexpr int kNoDrive = 0;
constexpr int DriveIndex(wchar_t letter) {
    return letter >= L'A' && letter <= L'Z' ? static_cast<int>(letter) - 64 : kNoDrive;
}
// The letter of a drive index 1..26, or 0 for any other index.
constexpr wchar_t DriveLetter(int index) {
    return index >= 1 && index <= 26 ? static_cast<wchar_t>(index + 64) : L'\0';
}

// Where a keyword was found.
struct KeywordMatch {
    Command command = Command::None;
    std::size_t position = std::wstring_view::npos;  // index of the keyword's first character
};

// The first command, in search order, whose keyword occurs in the text (its first occurrence), or
// Command::None.
KeywordMatch FindCommand(std::wstring_view text);

// The reply name: the text from the first "\\" to the end, both backslashes included; empty when the
// text holds no "\\".
std::wstring_view ReplyName(std::wstring_view text);

// Whether the service may answer on `name`: only a local mailslot name, "\\.\mailslot\" followed by a
// plain name, the rule by which the writer endpoint opens names at all (platform/Mailslot.h). A remote
// name ("\\server\mailslot\x"), a device or file path ("\\.\C:\x", "\\?\..."), a name with ".." or
// another backslash, an empty or over-long name are all refused.
bool IsAcceptableReplyName(std::wstring_view name);

// Whether two mailslot names name the same mailslot: mailslot names compare without regard to case.
bool SameMailslotName(std::wstring_view a, std::wstring_view b);

// The exclusion path of an exclusion request whose keyword starts at `keywordPosition`: the text from
// index 3 (after the letter, ":" and "\") up to the keyword. Nothing when the keyword starts before
// index 3; an empty path when it starts at index 3.
std::optional<std::wstring> ExclusionPath(std::wstring_view text, std::size_t keywordPosition);

// A request taken apart. Fields that do not apply to the command are still filled where the text
// allows (for instance a "GetWatchingDrives" request's first character is "G", index 7); the command
// decides which ones it uses.
struct Request {
    Command command = Command::None;
    std::size_t keywordPosition = std::wstring_view::npos;
    // The first character of the text (0 for an empty text), and its drive index (kNoDrive unless A-Z).
    wchar_t driveLetter = L'\0';
    int driveIndex = kNoDrive;
    // The reply name as found (empty when none), and whether the service may answer on it.
    std::wstring replyName;
    bool replyAccepted = false;
    // Exclusion requests: the path argument, when the keyword stands at index 3 or later.
    std::optional<std::wstring> exclusionPath;
    // "DEFRAGONLY" requests: the parsed record. A comma in the text moves the record's drive and flag
    // (see DefragOnlyRecord::Parse), so the command takes its drive from here, not from driveLetter.
    DefragOnlyRecord defragOnly;

    // The drive as a one-character drive string ("C"); empty when the text was empty.
    std::wstring DriveString() const { return driveLetter ? std::wstring(1, driveLetter) : std::wstring(); }
    // The name to answer on, or nothing when the request named none or one that must not be answered.
    std::optional<std::wstring> ReplyTarget() const {
        return replyAccepted ? std::optional<std::wstring>(replyName) : std::nullopt;
    }
};

// Takes a request apart. Any text, of any length and content, gives a Request.
Request ParseRequest(std::wstring_view text);

// A request as the panel writes it: the argument, the command word, then the reply address.
std::wstring ComposeRequest(std::wstring_view argument, std::wstring_view word,
                            std::wstring_view address = kReplyAddress);

}  // namespace kestrel::protocol
