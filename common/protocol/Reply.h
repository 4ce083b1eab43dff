// Replies of the command channel: the service composes them, the panel takes them apart.
//
// Every reply is one line "CODE, TEXT" of at most kMaxReplyLine UTF-16 code units. Lengths are counted
// in UTF-16 code units on every target (wchar_t is 32-bit on Linux), and a cut never splits a surrogate
// pair, so both targets put the same text on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/protocol/Protocol.h"

namespace kestrel::protocol {

// The longest prefix of `text` that is at most `maxUnits` UTF-16 code units and does not end inside a
// surrogate pair.
std::wstring_view CutToUtf16Units(std::wstring_view text, std::size_t maxUnits);

// ---- composition (service) ----

// "%d, %s": the code, a comma, a space and the text, cut to kMaxReplyLine code units.
std::wstring ComposeReply(int code, std::wstring_view text);

// The six numbers of a statistics reply, in the order they are sent.
struct Statistics {
    std::int64_t filesLeft = 0;              // of the asked drive
    std::int64_t fragmentsSaved = 0;         // of the asked drive
    std::int64_t largestFragmentsSaved = 0;  // of the asked drive
    std::int64_t totalFilesLeft = 0;         // over all watched drives
    std::int64_t totalFragmentsSaved = 0;    // over all watched drives
    std::int64_t lifetimeFragmentsSaved = 0;
};

// The code-22 text "%d;;;%d;;;%d;;;%d;;;%d;;;%d;;;", cut to kMaxStatisticsText code units (only
// numbers of more than 17 digits could reach that).
std::wstring StatisticsText(const Statistics& numbers);

// The code-23 text: 100 x freeClusters / volumeClusters in double precision, formatted like "%1.2lf"
// (two decimals, e.g. "12.35"), or "No calc" when volumeClusters is 0 or freeClusters is not above 0.
// The number is rounded to nearest from its exact binary value (ties to even), the same on both targets.
std::wstring FreeSpaceText(std::int64_t freeClusters, std::int64_t volumeClusters);

// The code-24 text: each path upper-cased and followed by ";".
std::wstring ExclusionsText(const std::vector<std::wstring>& paths);

// The code-20 and code-21 texts: the drive strings concatenated without separator.
std::wstring DriveListText(const std::vector<std::wstring>& drives);

// ---- parsing (panel) ----

// A reply taken apart: the leading decimal code, and the text after the comma and any spaces that
// follow it (empty when the code is not followed by a comma), at most kMaxReplyText code units.
struct Reply {
    int code = 0;
    std::wstring text;
};

// The code and text of a message, or nothing when the message does not begin with a decimal digit or
// its code does not fit an int: such a message is ignored.
std::optional<Reply> ParseReply(std::wstring_view message);

// Codes 20 and 21: while the text holds a "\", the part up to and including it is an entry; a remainder
// of more than one character is a last entry.
std::vector<std::wstring> SplitDriveList(std::wstring_view text);

// Code 22: the text as ";;;"-terminated fields in groups of six. The last complete group, in the order
// of Statistics; nothing when the text holds no complete group (fewer than six fields), and then nothing
// on show changes. A remainder after the last ";;;" is no field.
std::optional<std::array<std::wstring, 6>> SplitStatistics(std::wstring_view text);

// Code 24: the ";"-terminated entries; a remainder after the last ";" is dropped.
std::vector<std::wstring> SplitExclusions(std::wstring_view text);

// Code 25: whether the reply's record sets the Defrag Only check box (its flag is not 0).
bool DefragOnlyChecked(std::wstring_view text);

}  // namespace kestrel::protocol
