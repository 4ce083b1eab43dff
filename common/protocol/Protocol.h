// The command channel between the service and the control panel: its fixed names, keywords and reply
// codes. The panel writes one text request into the service's command mailslot; the service answers with
// zero or more "CODE, TEXT" lines on the mailslot that the request names.
//
// Everything under common/protocol/ is pure text handling: no threads, no mailslots, no drive set. The
// service's command thread and the panel both build on it, so each rule of the conversation is written once.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel::protocol {

// The service's command mailslot; the panel opens it for writing.
inline constexpr std::wstring_view kCommandMailslot = L"\\\\.\\mailslot\\KestrelCommandChannel";
// The panel's reply mailslot; the service writes its replies there.
inline constexpr std::wstring_view kReplyMailslot = L"\\\\.\\mailslot\\KestrelGUI";
// What the panel appends to every request so that the service knows where to answer: "\\", "." and
// "\mailslot\KestrelGUI", the reply mailslot's name.
inline constexpr std::wstring_view kReplyAddress = L"\\\\.\\mailslot\\KestrelGUI";

// The commands, in the order in which the service searches their keywords.
enum class Command {
    None,  // no keyword in the text: the request is dropped
    QuitWatch,
    GetWatchingDrives,
    GetAvailableDrives,
    Watch,
    CurrentFile,
    GetData,
    FreeSpace,
    DefragOnly,
    AddExclude,
    DeleteExclude,
};

// The keywords as the service searches them: exactly, case-sensitively, anywhere in the text. The two
// exclusion keywords begin with a space. "QUITWATCH" comes before "WATCH", which it contains.
struct KeywordEntry {
    Command command;
    std::wstring_view keyword;
};
inline constexpr KeywordEntry kKeywords[] = {
    {Command::QuitWatch, L"QUITWATCH"},
    {Command::GetWatchingDrives, L"GetWatchingDrives"},
    {Command::GetAvailableDrives, L"GetAvailableDrives"},
    {Command::Watch, L"WATCH"},
    {Command::CurrentFile, L"CurrentFile"},
    {Command::GetData, L"GetData"},
    {Command::FreeSpace, L"FreeSpace"},
    {Command::DefragOnly, L"DEFRAGONLY"},
    {Command::AddExclude, L" ADDEXCLUDE"},
    {Command::DeleteExclude, L" DELETEEXCLUDE"},
};

// The keyword of a command; empty for Command::None.
constexpr std::wstring_view Keyword(Command command) {
    for (const KeywordEntry& entry : kKeywords) {
        if (entry.command == command)
            return entry.keyword;
    }
    return {};
}

// The command words as the panel writes them after its argument (see ComposeRequest). The two watch
// words carry a space in front of the keyword; the defragment-only request is a whole record instead
// (DefragOnlyRecord::Build).
inline constexpr std::wstring_view kWordWatch = L" WATCH";
inline constexpr std::wstring_view kWordQuitWatch = L" QUITWATCH";
inline constexpr std::wstring_view kWordGetData = L"GetData";
inline constexpr std::wstring_view kWordFreeSpace = L"FreeSpace";
inline constexpr std::wstring_view kWordAddExclude = L" ADDEXCLUDE";
inline constexpr std::wstring_view kWordDeleteExclude = L" DELETEEXCLUDE";
inline constexpr std::wstring_view kWordGetWatchingDrives = L"GetWatchingDrives";
inline constexpr std::wstring_view kWordGetAvailableDrives = L"GetAvailableDrives";

// Reply codes.
inline constexpr int kCodeAvailableDrives = 20;  // roots of the available, unwatched drives
inline constexpr int kCodeWatchedDrives = 21;    // drive strings of the watched drives
inline constexpr int kCodeStatistics = 22;       // six numbers, each followed by ";;;"
inline constexpr int kCodeFreeSpace = 23;        // "%1.2lf" percentage or "No calc"
inline constexpr int kCodeExclusions = 24;       // upper-cased excluded paths, each followed by ";"
inline constexpr int kCodeDefragOnly = 25;       // a defragment-only record for the drive

// A reply line ("CODE, TEXT") holds at most this many UTF-16 code units; a longer text is cut.
inline constexpr std::size_t kMaxReplyLine = 1023;
// The code-22 text is formatted into a buffer of 128 characters: at most 127 code units.
inline constexpr std::size_t kMaxStatisticsText = 127;
// The panel takes at most this many UTF-16 code units of a reply's text.
inline constexpr std::size_t kMaxReplyText = 32767;

// A drive's exclusions are bounded so that the whole list always fits its one code-24 line, which the
// panel shows and acts on entry by entry: at most kMaxExclusions entries of at most kMaxExclusionLength
// UTF-16 code units each (upper-cased, as stored), and never a ";", which separates them in that line.
// "24, " takes 4 code units and each entry its own length and one ";": 4 + 10 x (100 + 1) = 1,014.
inline constexpr std::size_t kMaxExclusions = 10;
inline constexpr std::size_t kMaxExclusionLength = 100;
inline constexpr wchar_t kExclusionSeparator = L';';
static_assert(4 + kMaxExclusions * (kMaxExclusionLength + 1) <= kMaxReplyLine,
              "a full list of exclusions must fit one code-24 reply line");

// The code-23 text when no percentage can be computed.
inline constexpr std::wstring_view kNoCalc = L"No calc";

}  // namespace kestrel::protocol
