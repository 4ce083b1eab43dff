// The defragment-only record: its build, the parse that both programs use, and the Move mapping.
#include <gtest/gtest.h>

#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Protocol.h"

namespace kestrel::protocol {
namespace {

TEST(DefragOnlyRecord, BuildWritesLetterFlagKeywordAddress) {
    EXPECT_EQ(DefragOnlyRecord::Build(L"C:\\", 1, L""), L"C1DEFRAGONLY");
    EXPECT_EQ(DefragOnlyRecord::Build(L"D", 0, kReplyAddress), L"D0DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
    EXPECT_EQ(DefragOnlyRecord::Build(L"", 1, L""), L"1DEFRAGONLY");
    EXPECT_EQ(DefragOnlyRecord::Build(L"E", -12, L""), L"E-12DEFRAGONLY");
    EXPECT_EQ((DefragOnlyRecord{L'G', 1, L"\\\\.\\mailslot\\x"}.Build()), L"G1DEFRAGONLY\\\\.\\mailslot\\x");
    EXPECT_EQ((DefragOnlyRecord{L'\0', 0, L""}.Build()), L"0DEFRAGONLY");
}

TEST(DefragOnlyRecord, ParseReadsLetterFlagAndAddress) {
    const DefragOnlyRecord full = DefragOnlyRecord::Parse(L"C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
    EXPECT_EQ(full.drive, L'C');
    EXPECT_EQ(full.flag, 1);
    EXPECT_EQ(full.address, kReplyAddress);

    const DefragOnlyRecord bare = DefragOnlyRecord::Parse(L"D0DEFRAGONLY");
    EXPECT_EQ(bare.drive, L'D');
    EXPECT_EQ(bare.flag, 0);
    EXPECT_EQ(bare.address, L"");

    // The address starts at the first "\\", wherever it is.
    EXPECT_EQ(DefragOnlyRecord::Parse(L"C1DEF\\RAG\\\\x\\\\y").address, L"\\\\x\\\\y");
}

TEST(DefragOnlyRecord, FlagIsWhatPercentDReadsFromTwoCharacters) {
    struct Case {
        const wchar_t* text;
        std::int32_t flag;
    };
    const Case cases[] = {
        {L"C1DEFRAGONLY", 1}, {L"C0", 0},  {L"C7", 7}, {L"C12DEFRAGONLY", 12},
        {L"C123", 12},  // only the second and third characters are read
        {L"C 7", 7},    // "%d" skips white space
        {L"C-1", -1},         {L"C+4", 4}, {L"C+", 0}, {L"C-", 0},
        {L"CDEFRAGONLY", 0},                                          // no digit
        {L"CX5", 0},          {L"C", 0},   {L"", 0},   {L"C  5", 0},  // the 5 is the fourth character
    };
    for (const Case& c : cases)
        EXPECT_EQ(DefragOnlyRecord::Parse(c.text).flag, c.flag) << c.text;
    EXPECT_EQ(DefragOnlyRecord::Parse(L"").drive, L'\0');
}

TEST(DefragOnlyRecord, CommaAndOneCharacterAfterItAreCutFirst) {
    const DefragOnlyRecord reply = DefragOnlyRecord::Parse(L"25, C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
    EXPECT_EQ(reply.drive, L'C');
    EXPECT_EQ(reply.flag, 1);
    EXPECT_EQ(reply.address, kReplyAddress);
    EXPECT_EQ(DefragOnlyRecord::Parse(L", D0DEFRAGONLY").drive, L'D');

    // Exactly one character goes after the comma, whatever it is.
    const DefragOnlyRecord tight = DefragOnlyRecord::Parse(L"25,C1DEFRAGONLY");
    EXPECT_EQ(tight.drive, L'1');
    EXPECT_EQ(tight.flag, 0);
    // Only the first comma counts.
    EXPECT_EQ(DefragOnlyRecord::Parse(L"x, C1,  D0").flag, 1);
    // A comma at the very end leaves nothing.
    const DefragOnlyRecord nothing = DefragOnlyRecord::Parse(L"C1DEFRAGONLY,");
    EXPECT_EQ(nothing.drive, L'\0');
    EXPECT_EQ(nothing.flag, 0);
    EXPECT_EQ(DefragOnlyRecord::Parse(L"C1DEFRAGONLY, ").drive, L'\0');
}

TEST(DefragOnlyRecord, BuildThenParseGivesTheRecordBack) {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        for (std::int32_t flag : {0, 1, 9}) {
            const DefragOnlyRecord sent{letter, flag, std::wstring(kReplyAddress)};
            const DefragOnlyRecord back = DefragOnlyRecord::Parse(sent.Build());
            EXPECT_EQ(back.drive, sent.drive);
            EXPECT_EQ(back.flag, sent.flag);
            EXPECT_EQ(back.address, sent.address);
        }
    }
}

TEST(DefragOnlyRecord, FlagAndMoveMapOntoEachOther) {
    EXPECT_EQ(MoveForFlag(1), 0u);
    EXPECT_EQ(MoveForFlag(0), 1u);
    EXPECT_EQ(MoveForFlag(2), 1u);
    EXPECT_EQ(MoveForFlag(-1), 1u);
    EXPECT_EQ(FlagForMove(1), 0);
    EXPECT_EQ(FlagForMove(0), 1);
    EXPECT_EQ(FlagForMove(7), 1);
    // What a drive reports is what sets it again.
    for (std::uint32_t move : {0u, 1u})
        EXPECT_EQ(MoveForFlag(FlagForMove(move)), move);
}

}  // namespace
}  // namespace kestrel::protocol
