// Requests: the keyword search and its order, drive letters, reply names and exclusion paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/protocol/Request.h"

namespace kestrel::protocol {
namespace {

const std::wstring kAddress(kReplyAddress);

TEST(RequestKeywords, EachPanelRequestFindsItsCommandAndPosition) {
    struct Case {
        std::wstring text;
        Command command;
        std::size_t position;
    };
    const Case cases[] = {
        {ComposeRequest(L"C", kWordWatch), Command::Watch, 2},
        {ComposeRequest(L"C", kWordQuitWatch), Command::QuitWatch, 2},
        {ComposeRequest(L"", kWordGetWatchingDrives), Command::GetWatchingDrives, 0},
        {ComposeRequest(L"", kWordGetAvailableDrives), Command::GetAvailableDrives, 0},
        {ComposeRequest(L"C:\\", kWordGetData), Command::GetData, 3},
        {ComposeRequest(L"C:\\", kWordFreeSpace), Command::FreeSpace, 3},
        {ComposeRequest(L"", L"C1DEFRAGONLY"), Command::DefragOnly, 2},
        {ComposeRequest(L"C:\\TEMP", kWordAddExclude), Command::AddExclude, 7},
        {ComposeRequest(L"C:\\TEMP", kWordDeleteExclude), Command::DeleteExclude, 7},
        {L"CurrentFile" + kAddress, Command::CurrentFile, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        const KeywordMatch match = FindCommand(c.text);
        EXPECT_EQ(match.command, c.command);
        EXPECT_EQ(match.position, c.position);
        EXPECT_EQ(c.text.substr(c.position, Keyword(c.command).size()), Keyword(c.command));
        EXPECT_EQ(ParseRequest(c.text).command, c.command);
    }
}

TEST(RequestKeywords, SearchOrderDecidesNotPositionInText) {
    // "QUITWATCH" holds "WATCH" and is searched first.
    EXPECT_EQ(FindCommand(L"D QUITWATCH").command, Command::QuitWatch);
    EXPECT_EQ(FindCommand(L"GetData QUITWATCH").command, Command::QuitWatch);
    EXPECT_EQ(FindCommand(L"GetAvailableDrives GetWatchingDrives").command, Command::GetWatchingDrives);
    EXPECT_EQ(FindCommand(L"C GetData WATCH").command, Command::Watch);
    EXPECT_EQ(FindCommand(L"C FreeSpace GetData").command, Command::GetData);
    EXPECT_EQ(FindCommand(L"C1DEFRAGONLY ADDEXCLUDE").command, Command::DefragOnly);
    EXPECT_EQ(FindCommand(L"C:\\X DELETEEXCLUDE ADDEXCLUDE").command, Command::AddExclude);
    // A keyword inside an exclusion path wins over the exclusion keyword.
    EXPECT_EQ(FindCommand(L"C:\\WATCHES ADDEXCLUDE").command, Command::Watch);
    // The first occurrence is the position.
    EXPECT_EQ(FindCommand(L"C:\\A ADDEXCLUDE ADDEXCLUDE").position, 4u);
}

TEST(RequestKeywords, CaseAndLeadingSpaceMatter) {
    for (const wchar_t* text : {L"c watch\\\\.\\mailslot\\KestrelGUI", L"C Watch", L"quitwatch", L"getdata",
                                L"GETDATA", L"freespace", L"defragonly", L"C:\\PATHADDEXCLUDE",
                                L"C:\\PATHDELETEEXCLUDE", L"currentfile", L"WATC", L""}) {
        EXPECT_EQ(FindCommand(text).command, Command::None) << text;
        EXPECT_EQ(ParseRequest(text).command, Command::None) << text;
    }
}

TEST(RequestDrive, OnlyCapitalLettersAreDrives) {
    EXPECT_EQ(DriveIndex(L'A'), 1);
    EXPECT_EQ(DriveIndex(L'C'), 3);
    EXPECT_EQ(DriveIndex(L'Z'), 26);
    for (wchar_t c :
         {L'@', L'[', L'a', L'c', L'z', L'0', L'\\', L' ', L'\0', wchar_t(0x143), wchar_t(0xFFFF)})
        EXPECT_EQ(DriveIndex(c), kNoDrive) << int(c);
    for (int i = 1; i <= 26; ++i)
        EXPECT_EQ(DriveIndex(DriveLetter(i)), i);
    EXPECT_EQ(DriveLetter(0), L'\0');
    EXPECT_EQ(DriveLetter(27), L'\0');
    EXPECT_EQ(DriveLetter(-1), L'\0');

    const Request lower = ParseRequest(L"c:\\GetData" + kAddress);
    EXPECT_EQ(lower.command, Command::GetData);
    EXPECT_EQ(lower.driveLetter, L'c');
    EXPECT_EQ(lower.driveIndex, kNoDrive);
    EXPECT_EQ(ParseRequest(L"[ QUITWATCH").driveIndex, kNoDrive);

    const Request upper = ParseRequest(ComposeRequest(L"E", kWordQuitWatch));
    EXPECT_EQ(upper.driveIndex, 5);
    EXPECT_EQ(upper.DriveString(), L"E");

    const Request empty = ParseRequest(L"");
    EXPECT_EQ(empty.driveLetter, L'\0');
    EXPECT_EQ(empty.driveIndex, kNoDrive);
    EXPECT_EQ(empty.DriveString(), L"");
    EXPECT_FALSE(empty.ReplyTarget());
}

TEST(RequestReplyName, TakenFromTheFirstDoubleBackslash) {
    EXPECT_EQ(ReplyName(ComposeRequest(L"C", kWordWatch)), kReplyAddress);
    EXPECT_EQ(ReplyName(L"C:\\GetData"), L"");  // single backslashes only
    EXPECT_EQ(ReplyName(L"GetData\\\\"), L"\\\\");
    // An argument holding two backslashes moves the reply name in front of the real address.
    EXPECT_EQ(ReplyName(L"C:\\\\X ADDEXCLUDE" + kAddress), L"\\\\X ADDEXCLUDE" + kAddress);

    const Request request = ParseRequest(ComposeRequest(L"C:\\", kWordGetData));
    EXPECT_TRUE(request.replyAccepted);
    EXPECT_EQ(request.ReplyTarget(), std::wstring(kReplyAddress));

    const Request missing = ParseRequest(L"C:\\GetData");
    EXPECT_EQ(missing.command, Command::GetData);
    EXPECT_EQ(missing.replyName, L"");
    EXPECT_FALSE(missing.replyAccepted);
    EXPECT_FALSE(missing.ReplyTarget());
}

TEST(RequestReplyName, OnlyPlainLocalMailslotsAreAnswered) {
    EXPECT_TRUE(IsAcceptableReplyName(kReplyMailslot));
    EXPECT_TRUE(IsAcceptableReplyName(L"\\\\.\\MAILSLOT\\Client_1-a.b"));
    EXPECT_TRUE(IsAcceptableReplyName(L"\\\\.\\mailslot\\" + std::wstring(64, L'n')));

    const std::wstring refused[] = {
        L"",
        L"\\\\",
        L"\\\\server\\mailslot\\x",
        L"\\\\*\\mailslot\\x",
        L"\\\\.\\C:\\file",
        L"\\\\.\\C:",
        L"\\\\.\\PhysicalDrive0",
        L"\\\\?\\C:\\Windows\\file",
        L"\\\\.\\mailslot\\",
        L"\\\\.\\mailslot\\..",
        L"\\\\.\\mailslot\\..\\..\\x",
        L"\\\\.\\mailslot\\a\\b",
        L"\\\\.\\mailslot\\x.",
        L"\\\\.\\mailslot\\Kestrel GUI",
        L"\\\\.\\mailslot\\x/y",
        L"\\\\.\\mailslot\\x:y",
        std::wstring(L"\\\\.\\mailslot\\x\0y", 16),
        L"\\\\.\\mailslot\\" + std::wstring(65, L'n'),
        L"\\\\.\\mailslot\\" + std::wstring(100000, L'n'),
        L"\\\\.\\mailslotx",
    };
    for (const std::wstring& name : refused) {
        EXPECT_FALSE(IsAcceptableReplyName(name))
            << std::string(name.begin(), name.begin() + std::min<std::size_t>(name.size(), 40));
        // The same name at the end of a request: the command is still found, the reply is refused.
        const Request request = ParseRequest(L"C:\\GetData" + name);
        EXPECT_EQ(request.command, Command::GetData);
        EXPECT_FALSE(request.ReplyTarget());
    }
    // A name with anything in front is refused as a name, but in a request the name starts at "\\".
    EXPECT_FALSE(IsAcceptableReplyName(L" \\\\.\\mailslot\\x"));
    EXPECT_EQ(ParseRequest(L"C:\\GetData \\\\.\\mailslot\\x").ReplyTarget(),
              std::wstring(L"\\\\.\\mailslot\\x"));
    // The real address behind an argument that holds "\\" is never reached.
    EXPECT_FALSE(ParseRequest(L"C:\\\\X ADDEXCLUDE" + kAddress).replyAccepted);
}

TEST(RequestExclusion, PathRunsFromIndexThreeToTheKeyword) {
    const Request add = ParseRequest(ComposeRequest(L"C:\\MY DOCS\\TMP", kWordAddExclude));
    EXPECT_EQ(add.command, Command::AddExclude);
    EXPECT_EQ(add.exclusionPath, std::wstring(L"MY DOCS\\TMP"));
    EXPECT_EQ(add.DriveString(), L"C");
    EXPECT_TRUE(add.replyAccepted);

    const Request remove = ParseRequest(ComposeRequest(L"D:\\LOG", kWordDeleteExclude));
    EXPECT_EQ(remove.command, Command::DeleteExclude);
    EXPECT_EQ(remove.exclusionPath, std::wstring(L"LOG"));

    // The panel sends an empty path as the drive entry alone.
    EXPECT_EQ(ParseRequest(ComposeRequest(L"C:\\", kWordAddExclude)).exclusionPath, std::wstring());
    // A keyword before index 3 leaves no path at all.
    for (const wchar_t* text : {L" ADDEXCLUDE", L"C ADDEXCLUDE", L"C: ADDEXCLUDE",
                                L" DELETEEXCLUDE\\\\.\\mailslot\\x", L"C: DELETEEXCLUDE"}) {
        const Request r = ParseRequest(text);
        EXPECT_NE(r.command, Command::None) << text;
        EXPECT_FALSE(r.exclusionPath) << text;
    }
    EXPECT_FALSE(ExclusionPath(L"C:\\X", 10));
    EXPECT_EQ(ExclusionPath(L"C:\\XY", 5), std::wstring(L"XY"));
    // Other commands carry no path.
    EXPECT_FALSE(ParseRequest(ComposeRequest(L"C:\\", kWordGetData)).exclusionPath);
}

TEST(RequestDefragOnly, PanelRecordReachesTheServiceAsItWasBuilt) {
    for (std::int32_t flag : {0, 1}) {
        const std::wstring text = ComposeRequest(L"", DefragOnlyRecord::Build(L"F:\\", flag, L""));
        const Request request = ParseRequest(text);
        EXPECT_EQ(request.command, Command::DefragOnly);
        EXPECT_EQ(request.driveIndex, 6);
        EXPECT_EQ(request.defragOnly.drive, L'F');
        EXPECT_EQ(request.defragOnly.flag, flag);
        EXPECT_EQ(request.defragOnly.address, kReplyAddress);
        EXPECT_EQ(request.ReplyTarget(), std::wstring(kReplyAddress));
        EXPECT_EQ(MoveForFlag(request.defragOnly.flag), flag == 1 ? 0u : 1u);
    }
}

}  // namespace
}  // namespace kestrel::protocol
