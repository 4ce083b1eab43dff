// Replies: the service's composition and the panel's splitting, each alone and one into the other.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "common/protocol/Reply.h"
#include "common/protocol/Request.h"

namespace kestrel::protocol {
namespace {

using Six = std::array<std::wstring, 6>;

// A character outside the Basic Multilingual Plane: two UTF-16 code units on every target.
const std::wstring kSmiley = FromUtf16(u"\U0001F600");

TEST(ReplyLine, CodeCommaSpaceText) {
    EXPECT_EQ(ComposeReply(21, L"C:\\D:\\"), L"21, C:\\D:\\");
    EXPECT_EQ(ComposeReply(23, kNoCalc), L"23, No calc");
    EXPECT_EQ(ComposeReply(24, L""), L"24, ");
    EXPECT_EQ(ComposeReply(22, L"100%d%s;;;"), L"22, 100%d%s;;;");  // the text is no format
}

TEST(ReplyLine, CutAt1023CodeUnits) {
    // "24, " is four characters, so 1019 of text fill the line exactly.
    const std::wstring fits(1019, L'x');
    EXPECT_EQ(ComposeReply(24, fits).size(), 1023u);
    EXPECT_EQ(ComposeReply(24, fits + L"y"), L"24, " + fits);
    EXPECT_EQ(ComposeReply(24, std::wstring(100000, L'x')).size(), 1023u);

    // A character of two code units that would end past the limit is left out whole.
    const std::wstring line = ComposeReply(24, std::wstring(1018, L'x') + kSmiley);
    const std::u16string units = ToUtf16(line);
    EXPECT_EQ(units.size(), 1022u);
    EXPECT_EQ(units.back(), u'x');
    EXPECT_EQ(ToUtf16(ComposeReply(24, std::wstring(1017, L'x') + kSmiley)).size(), 1023u);

    EXPECT_EQ(CutToUtf16Units(L"ab" + kSmiley + L"c", 3), L"ab");
    EXPECT_EQ(CutToUtf16Units(L"ab" + kSmiley + L"c", 4), L"ab" + kSmiley);
    EXPECT_EQ(CutToUtf16Units(L"abc", 0), L"");
    // An unpaired surrogate counts as one code unit, as it travels.
    const std::wstring lone(1, wchar_t(0xD800));
    EXPECT_EQ(CutToUtf16Units(lone + L"a", 1), lone);
}

TEST(ReplyTexts, StatisticsNumbersEachFollowedByThreeSemicolons) {
    EXPECT_EQ(StatisticsText({1, 2, 3, 4, 5, 6}), L"1;;;2;;;3;;;4;;;5;;;6;;;");
    EXPECT_EQ(StatisticsText({}), L"0;;;0;;;0;;;0;;;0;;;0;;;");
    // Wide counts are written whole, not cut to 32 bits.
    EXPECT_EQ(StatisticsText({0, 0, 0, 0, 5000000000, -1}), L"0;;;0;;;0;;;0;;;5000000000;;;-1;;;");
    // Within the 128-character buffer even at the extremes.
    const std::wstring huge =
        StatisticsText({INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN});
    EXPECT_EQ(huge.size(), kMaxStatisticsText);
    EXPECT_EQ(huge.substr(0, 23), L"-9223372036854775808;;;");
}

TEST(ReplyTexts, FreeSpaceIsAPercentageWithTwoDecimals) {
    EXPECT_EQ(FreeSpaceText(123456789, 1000000000), L"12.35");
    EXPECT_EQ(FreeSpaceText(1, 3), L"33.33");
    EXPECT_EQ(FreeSpaceText(2, 3), L"66.67");
    EXPECT_EQ(FreeSpaceText(1, 8), L"12.50");
    EXPECT_EQ(FreeSpaceText(7, 7), L"100.00");
    EXPECT_EQ(FreeSpaceText(5, 2), L"250.00");
    EXPECT_EQ(FreeSpaceText(1, 1000000000000), L"0.00");
    // Counts beyond 32 bits: free and volume clusters are 64-bit.
    EXPECT_EQ(FreeSpaceText(3000000000, 4000000000), L"75.00");
    EXPECT_EQ(FreeSpaceText(int64_t{1} << 40, int64_t{1} << 42), L"25.00");
    EXPECT_EQ(FreeSpaceText(INT64_MAX, 1), L"922337203685477580800.00");
    // A tie in binary (12.125) rounds to even on both targets.
    EXPECT_EQ(FreeSpaceText(97, 800), L"12.12");

    EXPECT_EQ(FreeSpaceText(0, 100), kNoCalc);
    EXPECT_EQ(FreeSpaceText(-5, 100), kNoCalc);
    EXPECT_EQ(FreeSpaceText(INT64_MIN, 100), kNoCalc);
    EXPECT_EQ(FreeSpaceText(50, 0), kNoCalc);
    EXPECT_EQ(FreeSpaceText(0, 0), kNoCalc);
}

TEST(ReplyTexts, ExclusionsUpperCasedEachFollowedBySemicolon) {
    EXPECT_EQ(ExclusionsText({L"temp\\", L"Dir\\Sub", L"\u00e9t\u00e9"}), L"TEMP\\;DIR\\SUB;\u00c9T\u00c9;");
    EXPECT_EQ(ExclusionsText({}), L"");
    EXPECT_EQ(DriveListText({L"C:\\", L"E:\\"}), L"C:\\E:\\");
    EXPECT_EQ(DriveListText({}), L"");
}

TEST(ReplyParse, LeadingCodeThenTextAfterCommaAndSpaces) {
    struct Case {
        const wchar_t* message;
        int code;
        const wchar_t* text;
    };
    const Case cases[] = {
        {L"21, C:\\D:\\", 21, L"C:\\D:\\"},
        {L"23, No calc", 23, L"No calc"},
        {L"23,    12.35  ", 23, L"12.35  "},  // spaces after the comma go, the rest stays
        {L"23,No", 23, L"No"},
        {L"22", 22, L""},  // no text
        {L"22, ", 22, L""},
        {L"22 , x", 22, L""},  // the comma must follow the code
        {L"22x, y", 22, L""},
        {L"019, a", 19, L"a"},
        {L"2147483647, z", INT_MAX, L"z"},
        {L"25, C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI", 25, L"C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI"},
    };
    for (const Case& c : cases) {
        const std::optional<Reply> reply = ParseReply(c.message);
        ASSERT_TRUE(reply) << c.message;
        EXPECT_EQ(reply->code, c.code) << c.message;
        EXPECT_EQ(reply->text, c.text) << c.message;
    }
    for (const wchar_t* ignored : {L"", L" 21, C:\\", L"abc", L"-1, x", L"+21, x", L", x", L"2147483648, x",
                                   L"99999999999999999999999, x"})
        EXPECT_FALSE(ParseReply(ignored)) << ignored;

    // Texts are taken up to 32,767 code units.
    const std::optional<Reply> longOne = ParseReply(L"24, " + std::wstring(40000, L'x'));
    ASSERT_TRUE(longOne);
    EXPECT_EQ(longOne->text.size(), kMaxReplyText);
}

TEST(ReplySplit, DriveListsEndEachEntryAtABackslash) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(SplitDriveList(L"C:\\D:\\"), (V{L"C:\\", L"D:\\"}));
    EXPECT_EQ(SplitDriveList(L""), V{});
    EXPECT_EQ(SplitDriveList(L"C:\\D"), (V{L"C:\\"}));  // a remainder of one character is dropped
    EXPECT_EQ(SplitDriveList(L"C:\\DE"), (V{L"C:\\", L"DE"}));
    EXPECT_EQ(SplitDriveList(L"CE"), (V{L"CE"}));
    EXPECT_EQ(SplitDriveList(L"C"), V{});
    EXPECT_EQ(SplitDriveList(L"\\\\"), (V{L"\\", L"\\"}));
    // Entries of a watched-drives reply give their drive index by their first character.
    const V watched = SplitDriveList(L"C:\\E:\\");
    ASSERT_EQ(watched.size(), 2u);
    EXPECT_EQ(DriveIndex(watched[0][0]), 3);
    EXPECT_EQ(DriveIndex(watched[1][0]), 5);
}

TEST(ReplySplit, StatisticsTakeTheLastCompleteGroupOfSix) {
    EXPECT_EQ(SplitStatistics(L"1;;;2;;;3;;;4;;;5;;;6;;;"), (Six{L"1", L"2", L"3", L"4", L"5", L"6"}));
    EXPECT_EQ(SplitStatistics(L"1;;;2;;;3;;;4;;;5;;;6;;;a;;;b;;;c;;;d;;;e;;;f;;;"),
              (Six{L"a", L"b", L"c", L"d", L"e", L"f"}));
    // A broken-off group after a complete one leaves the complete one.
    EXPECT_EQ(SplitStatistics(L"1;;;2;;;3;;;4;;;5;;;6;;;7;;;8;;;9;;;"),
              (Six{L"1", L"2", L"3", L"4", L"5", L"6"}));
    // The fields are shown as received.
    EXPECT_EQ(SplitStatistics(L" 1;;;-2;;;x;;;;;;5 ;;;6;;;rest"),
              (Six{L" 1", L"-2", L"x", L"", L"5 ", L"6"}));
    EXPECT_EQ(SplitStatistics(std::wstring(18, L';')), Six{});
    // Fewer than six fields: nothing changes.
    EXPECT_FALSE(SplitStatistics(L"1;;;2;;;3;;;4;;;5;;;"));
    EXPECT_FALSE(SplitStatistics(L"1;;;2;;;3;;;4;;;5;;;6"));
    EXPECT_FALSE(SplitStatistics(L""));
    EXPECT_FALSE(SplitStatistics(L"1;;2;;3;;4;;5;;6;;"));
    EXPECT_FALSE(SplitStatistics(L"No calc"));
}

TEST(ReplySplit, ExclusionsEndAtSemicolonsAndTheRestIsDropped) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ(SplitExclusions(L"C:\\A;C:\\B;"), (V{L"C:\\A", L"C:\\B"}));
    EXPECT_EQ(SplitExclusions(L"C:\\A;C:\\B;C:\\C"), (V{L"C:\\A", L"C:\\B"}));
    EXPECT_EQ(SplitExclusions(L""), V{});
    EXPECT_EQ(SplitExclusions(L"C:\\A"), V{});
    EXPECT_EQ(SplitExclusions(L";;"), (V{L"", L""}));
}

TEST(ReplySplit, DefragOnlyCheckedWhenTheFlagIsNotZero) {
    EXPECT_TRUE(DefragOnlyChecked(L"C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI"));
    EXPECT_FALSE(DefragOnlyChecked(L"C0DEFRAGONLY\\\\.\\mailslot\\KestrelGUI"));
    EXPECT_TRUE(DefragOnlyChecked(L"x, C1DEFRAGONLY"));  // cut behind the comma and the space
    EXPECT_FALSE(DefragOnlyChecked(L"x, C0DEFRAGONLY"));
    EXPECT_TRUE(DefragOnlyChecked(L"C2DEFRAGONLY"));
    EXPECT_TRUE(DefragOnlyChecked(L"C-1DEFRAGONLY"));
    EXPECT_FALSE(DefragOnlyChecked(L"CDEFRAGONLY"));
    EXPECT_FALSE(DefragOnlyChecked(L""));
}

// What the service composes is what the panel reads back.
TEST(ReplyRoundTrip, ServiceRepliesReadBackByThePanel) {
    const Request request = ParseRequest(ComposeRequest(L"C:\\", kWordGetData));
    ASSERT_TRUE(request.ReplyTarget());

    const auto stats = ParseReply(ComposeReply(kCodeStatistics, StatisticsText({7, 3, 2, 11, 9, 120})));
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->code, kCodeStatistics);
    EXPECT_EQ(SplitStatistics(stats->text), (Six{L"7", L"3", L"2", L"11", L"9", L"120"}));

    const auto exclusions = ParseReply(ComposeReply(kCodeExclusions, ExclusionsText({L"c:\\tmp", L"LOGS"})));
    ASSERT_TRUE(exclusions);
    EXPECT_EQ(SplitExclusions(exclusions->text), (std::vector<std::wstring>{L"C:\\TMP", L"LOGS"}));

    const auto drives = ParseReply(ComposeReply(kCodeWatchedDrives, DriveListText({L"C:\\", L"F:\\"})));
    ASSERT_TRUE(drives);
    EXPECT_EQ(SplitDriveList(drives->text), (std::vector<std::wstring>{L"C:\\", L"F:\\"}));

    for (std::uint32_t move : {0u, 1u}) {
        const std::wstring text =
            DefragOnlyRecord::Build(request.DriveString(), FlagForMove(move), request.replyName);
        const auto reply = ParseReply(ComposeReply(kCodeDefragOnly, text));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->code, kCodeDefragOnly);
        EXPECT_EQ(DefragOnlyChecked(reply->text), move == 0);
        // The reply is itself a request that sets the same state again.
        const Request again = ParseRequest(reply->text);
        EXPECT_EQ(again.command, Command::DefragOnly);
        EXPECT_EQ(MoveForFlag(again.defragOnly.flag), move);
    }

    const auto free = ParseReply(ComposeReply(kCodeFreeSpace, FreeSpaceText(0, 0)));
    ASSERT_TRUE(free);
    EXPECT_EQ(free->text, L"No calc");
}

}  // namespace
}  // namespace kestrel::protocol
