// The dialog's decisions without a window: each input is handed to the core, posted inputs are delivered
// afterwards in order (as the dialog's message queue does), and the test looks at the state and at what
// the core asked the front end to do.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <variant>
#include <vector>

#include "common/protocol/Protocol.h"
#include "panel/PanelCore.h"

namespace kestrel::panel {
namespace {

class Panel {
  public:
    // Handles the input and then every input it posted (and those posted in turn), in order. Returns every
    // effect except the posts themselves.
    Effects Do(const Input& input) {
        std::deque<Input> queue{input};
        Effects done;
        while (!queue.empty()) {
            Input next = std::move(queue.front());
            queue.pop_front();
            for (Effect& effect : core.Handle(next)) {
                if (Post* post = std::get_if<Post>(&effect))
                    queue.push_back(post->input);
                else
                    done.push_back(std::move(effect));
            }
        }
        return done;
    }
    Effects Reply(const std::wstring& message) { return Do(ServiceReply{message}); }
    const PanelState& State() const { return core.State(); }

    PanelCore core;
};

std::vector<Send> Sends(const Effects& effects) {
    std::vector<Send> sends;
    for (const Effect& effect : effects) {
        if (const Send* send = std::get_if<Send>(&effect))
            sends.push_back(*send);
    }
    return sends;
}

template <class T>
bool Has(const Effects& effects, const T& wanted) {
    for (const Effect& effect : effects) {
        if (const T* e = std::get_if<T>(&effect); e && *e == wanted)
            return true;
    }
    return false;
}

// A panel that the service has told about its drives: C:\ and E:\ watched, D:\ and F:\ available.
Panel Connected() {
    Panel panel;
    panel.Do(Initialize{});
    panel.Reply(L"20, F:\\D:\\");
    panel.Reply(L"21, C:\\E:\\");
    return panel;
}

const std::vector<std::wstring> kNoEntries;

// The service's answer to one "GetData" for `drive`: the statistics (22), the exclusions (24, sent only
// when there are any) and the Defrag Only record (25), which carries the drive letter.
void Answer(Panel& panel, wchar_t drive, const std::wstring& numbers, const std::wstring& exclusions = L"",
            bool defragOnly = false) {
    panel.Reply(L"22, " + numbers);
    if (!exclusions.empty())
        panel.Reply(L"24, " + exclusions);
    panel.Reply(L"25, " + std::wstring(1, drive) + (defragOnly ? L"1" : L"0") +
                L"DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
}
const std::wstring kSix = L"1;;;2;;;3;;;4;;;5;;;6;;;";

std::string ToNarrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

TEST(PanelReplies, AvailableDrivesAreSplitSortedAndAnEmptyListKeepsThem) {
    Panel panel;
    panel.Do(Initialize{});
    EXPECT_FALSE(panel.State().connected);
    panel.Reply(L"20, F:\\C:\\D:\\");
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"C:\\", L"D:\\", L"F:\\"}));
    EXPECT_TRUE(panel.State().connected);
    // An empty list leaves the entries as they were; a new one replaces them.
    panel.Reply(L"20, ");
    EXPECT_EQ(panel.State().available.entries.size(), 3u);
    panel.Reply(L"20,E:\\");
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"E:\\"}));
}

TEST(PanelReplies, WatchedDrivesReportEachDriveAndTheFirstStartsPolling) {
    Panel panel;
    panel.Do(Initialize{});
    Effects effects = panel.core.Handle(ServiceReply{L"21, C:\\E:\\"});
    // Each entry is reported with its drive index, in order.
    ASSERT_EQ(effects.size(), 2u);
    EXPECT_EQ(std::get<DriveWatched>(std::get<Post>(effects[0]).input).driveIndex, 3);
    EXPECT_EQ(std::get<DriveWatched>(std::get<Post>(effects[1]).input).driveIndex, 5);
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\", L"E:\\"}));
    EXPECT_EQ(panel.State().watching.selected, 0);

    // Delivering the reports: the first asks for statistics and free space of the selected drive and
    // starts both polling timers; the second starts nothing more.
    Effects first = panel.Do(DriveWatched{3});
    EXPECT_EQ(Sends(first), (std::vector<Send>{{L"C:\\", L"GetData"}, {L"C:\\", L"FreeSpace"}}));
    EXPECT_TRUE(Has(first, SetTimer{kTimerRequestData, 5000}));
    EXPECT_TRUE(Has(first, SetTimer{kTimerRequestFreeSpace, 10000}));
    EXPECT_TRUE(panel.Do(DriveWatched{5}).empty());
    EXPECT_TRUE(panel.State().connected);
}

TEST(PanelReplies, WatchedDrivesKeepTheSelectedPlaceWhileItExists) {
    Panel panel = Connected();
    panel.Do(SelectWatching{1});
    panel.Reply(L"21, C:\\E:\\G:\\");
    EXPECT_EQ(panel.State().watching.selected, 1);
    // The noted place is past the end of the new list: the first entry is selected.
    panel.Reply(L"21, G:\\");
    EXPECT_EQ(panel.State().watching.selected, 0);
    // An empty list empties Watching Drives.
    panel.Reply(L"21, ");
    EXPECT_EQ(panel.State().watching.entries, kNoEntries);
    EXPECT_EQ(panel.State().watching.selected, kNoSelection);
}

TEST(PanelReplies, StatisticsFillSixFieldsInOrderOnlyFromWholeGroups) {
    Panel panel = Connected();
    panel.Do(SelectWatching{1});  // starts the wait
    ASSERT_TRUE(panel.State().waitPending);

    // Fewer than six fields: no statistics change and the wait goes on.
    const PanelState before = panel.State();
    Answer(panel, L'E', L"1;;;2;;;3;;;4;;;5;;;");
    EXPECT_EQ(panel.State(), before);

    // The group is shown once its 25 is in.
    panel.Reply(L"22, " + kSix);
    EXPECT_EQ(panel.State().filesLeft, L"");
    panel.Reply(L"25, E0DEFRAGONLY");
    const PanelState& s = panel.State();
    EXPECT_EQ(s.filesLeft, L"1");
    EXPECT_EQ(s.fragmentsSaved, L"2");
    EXPECT_EQ(s.largestFragmentSaved, L"3");
    EXPECT_EQ(s.totalFilesLeft, L"4");
    EXPECT_EQ(s.totalFragmentsSaved, L"5");
    EXPECT_EQ(s.lifetimeFragmentsSaved, L"6");
    EXPECT_FALSE(s.waitPending);

    // A later group replaces an earlier one; the texts are shown as received.
    Answer(panel, L'E', L"1;;;2;;;3;;;4;;;5;;;6;;; 7;;;x;;;9;;;10;;;11;;;-12;;;13");
    EXPECT_EQ(s.filesLeft, L" 7");
    EXPECT_EQ(s.fragmentsSaved, L"x");
    EXPECT_EQ(s.lifetimeFragmentsSaved, L"-12");
}

TEST(PanelReplies, FreeSpaceExclusionsAndDefragOnly) {
    Panel panel = Connected();
    EXPECT_EQ(panel.State().percentFree, L"no calc");
    panel.Reply(L"23, No calc");
    EXPECT_EQ(panel.State().percentFree, L"No calc");
    panel.Reply(L"23, 12.35");
    EXPECT_EQ(panel.State().percentFree, L"12.35");

    // Exclusions: each ";"-terminated part, sorted; a remainder after the last ";" is dropped; the next
    // answer replaces the list and its selection, or keeps the selection when the list is the same.
    Answer(panel, L'C', kSix, L"\\WINDOWS\\TEMP;\\B;\\LEFT OVER");
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"\\B", L"\\WINDOWS\\TEMP"}));
    panel.Do(SelectExclusion{1});
    Answer(panel, L'C', kSix, L"\\WINDOWS\\TEMP;\\B;");
    EXPECT_EQ(panel.State().exclusions.selected, 1);
    Answer(panel, L'C', kSix, L"\\X;");
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"\\X"}));
    EXPECT_EQ(panel.State().exclusions.selected, kNoSelection);

    // Defrag Only follows the record's digit, with or without the code in front.
    panel.Reply(L"25, C1DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
    EXPECT_TRUE(panel.State().defragOnly);
    panel.Reply(L"25, C0DEFRAGONLY\\\\.\\mailslot\\KestrelGUI");
    EXPECT_FALSE(panel.State().defragOnly);
    panel.Reply(L"25, x, C1DEFRAGONLY");
    EXPECT_TRUE(panel.State().defragOnly);
}

TEST(PanelReplies, OtherCodesAndMalformedMessagesChangeNothing) {
    Panel panel = Connected();
    Answer(panel, L'C', kSix);
    const PanelState before = panel.State();
    for (const wchar_t* message : {L"12, C:\\", L"13, 1;;;", L"19, x;", L"", L"C:\\D:\\", L"-20, C:\\",
                                   L"99999999999999999999, C:\\", L" 20, C:\\"}) {
        EXPECT_TRUE(panel.Reply(message).empty()) << message;
        EXPECT_EQ(panel.State(), before) << message;
    }
}

TEST(PanelReplies, ARepliesAfterTheCloseIsDropped) {
    Panel panel = Connected();
    panel.Do(ExitCommand{});
    ASSERT_TRUE(panel.State().closed);
    const PanelState before = panel.State();
    EXPECT_TRUE(panel.Reply(L"21, G:\\").empty());
    EXPECT_TRUE(panel.core.OnServiceReply(L"24, \\A;").empty());
    EXPECT_TRUE(panel.Do(TimerTick{kTimerRequestData}).empty());
    EXPECT_EQ(panel.State(), before);
}

TEST(PanelReplies, AnAnswerWithoutExclusionsEmptiesTheListAndOneForAnotherDriveIsDropped) {
    Panel panel = Connected();  // C:\ on show
    Answer(panel, L'C', kSix, L"C:\\TEMP;", true);
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"C:\\TEMP"}));
    EXPECT_TRUE(panel.State().defragOnly);
    // The exclusion was removed elsewhere: the next answer brings no 24, so C has none.
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().exclusions.entries, kNoEntries);
    EXPECT_FALSE(panel.State().defragOnly);
    // A late answer for E (asked for while E was on show) changes nothing of C's.
    Answer(panel, L'C', kSix, L"C:\\A;", true);
    const PanelState before = panel.State();
    Answer(panel, L'E', L"7;;;8;;;9;;;10;;;11;;;12;;;", L"E:\\LOGS;", false);
    EXPECT_EQ(panel.State(), before);
    // A 24 for E whose group is broken off by C's own answer does not leak into it.
    panel.Reply(L"22, " + kSix);
    panel.Reply(L"24, E:\\LOGS;");
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().exclusions.entries, kNoEntries);
}

TEST(PanelReplies, TheSelectionStaysOnItsDriveWhenAListReplyReordersIt) {
    Panel panel = Connected();
    panel.Do(SelectWatching{1});  // E:\ (C:\ is first)
    Answer(panel, L'E', kSix);
    // The service lists its drives by letter: a drive B:\ watched meanwhile comes first.
    panel.Reply(L"21, B:\\C:\\E:\\");
    EXPECT_EQ(panel.State().watching.selected, 2);
    EXPECT_EQ(panel.State().fragmentsSavedLabel, L"Fragments Saved on E:\\");
    EXPECT_EQ(panel.State().filesLeft, L"1");
    // E:\ is gone: the first drive is on show, the fields name it at once, E's numbers are gone, and
    // the next statistics request is for it.
    panel.Reply(L"21, B:\\C:\\");
    EXPECT_EQ(panel.State().watching.selected, 0);
    EXPECT_EQ(panel.State().fragmentsSavedLabel, L"Fragments Saved on B:\\");
    EXPECT_EQ(panel.State().largestFragmentSavedLabel, L"Largest Fragment Saved on B:\\");
    EXPECT_EQ(panel.State().filesLeft, L"");
    EXPECT_EQ(Sends(panel.Do(TimerTick{kTimerRequestData})), (std::vector<Send>{{L"B:\\", L"GetData"}}));
}

TEST(PanelStatistics, RequestsLabelTheDriveFieldsWithTheSelectedEntry) {
    Panel panel = Connected();
    EXPECT_EQ(panel.State().fragmentsSavedLabel, L"Fragments Saved on C:\\");  // the first report asked
    panel.Do(SelectWatching{1});
    Effects effects = panel.Do(TimerTick{kTimerRequestData});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"E:\\", L"GetData"}}));
    EXPECT_EQ(panel.State().fragmentsSavedLabel, L"Fragments Saved on E:\\");
    EXPECT_EQ(panel.State().filesLeftLabel, L"Files Left to Process on E:\\");
    EXPECT_EQ(panel.State().largestFragmentSavedLabel, L"Largest Fragment Saved on E:\\");
    // Free space goes to the same drive; with nothing watched neither request is sent.
    EXPECT_EQ(Sends(panel.Do(RequestFreeSpace{})), (std::vector<Send>{{L"E:\\", L"FreeSpace"}}));
    Panel empty;
    EXPECT_TRUE(Sends(empty.Do(RequestData{})).empty());
    EXPECT_TRUE(Sends(empty.Do(RequestFreeSpace{})).empty());
    EXPECT_EQ(empty.State().fragmentsSavedLabel, L"");
}

TEST(PanelStatistics, SelectedWatchedDriveFallsBackToTheFirstAndSelectsIt) {
    Panel panel = Connected();
    panel.Do(SelectWatching{kNoSelection});
    EXPECT_EQ(panel.State().watching.selected, 0);  // selecting nothing still shows the first drive
    Panel empty;
    EXPECT_FALSE(empty.core.SelectedWatchedDrive().has_value());
}

TEST(PanelDrives, WatchMovesTheChosenDriveAndStartsPolling) {
    Panel panel = Connected();
    panel.Do(SelectAvailable{1});  // F:\ (D:\ is first)
    Effects effects = panel.Do(WatchClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"F", L" WATCH"}}));
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\", L"E:\\", L"F:\\"}));
    EXPECT_TRUE(Has(effects, SetTimer{kTimerRequestData, 5000}));
    EXPECT_TRUE(Has(effects, SetTimer{kTimerRequestFreeSpace, 10000}));
    // Nothing selected: the first; an empty list: nothing at all.
    EXPECT_EQ(Sends(panel.Do(WatchClicked{})), (std::vector<Send>{{L"D", L" WATCH"}}));
    EXPECT_TRUE(panel.Do(WatchClicked{}).empty());
}

TEST(PanelDrives, RemovingTheLastWatchedDriveClearsTheStatisticsButTheLifetimeTotal) {
    Panel panel = Connected();
    panel.Do(TimerTick{kTimerRequestData});
    Answer(panel, L'C', kSix);
    panel.Reply(L"23, 40.00");

    // One of two: the other stays and is named at once; its statistics are awaited, E's no longer show.
    panel.Do(SelectWatching{1});
    Answer(panel, L'E', kSix);
    Effects effects = panel.Do(StopWatchingClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"E", L" QUITWATCH"}}));
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\", L"E:\\", L"F:\\"}));
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\"}));
    EXPECT_EQ(panel.State().filesLeft, L"");
    EXPECT_EQ(panel.State().filesLeftLabel, L"Files Left to Process on C:\\");
    EXPECT_EQ(panel.State().totalFilesLeft, L"4");
    EXPECT_TRUE(panel.State().waitPending);
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().filesLeft, L"1");

    // The last one: polling stops, the fields empty, percent free says "No calc", the lifetime stays.
    effects = panel.Do(StopWatchingClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"C", L" QUITWATCH"}}));
    EXPECT_TRUE(Has(effects, KillTimer{kTimerRequestData}));
    EXPECT_TRUE(Has(effects, KillTimer{kTimerRequestFreeSpace}));
    const PanelState& s = panel.State();
    EXPECT_EQ(s.watching.entries, kNoEntries);
    for (const std::wstring* field :
         {&s.filesLeft, &s.fragmentsSaved, &s.largestFragmentSaved, &s.totalFilesLeft, &s.totalFragmentsSaved,
          &s.filesLeftLabel, &s.fragmentsSavedLabel, &s.largestFragmentSavedLabel})
        EXPECT_EQ(*field, L"");
    EXPECT_EQ(s.percentFree, L"No calc");
    EXPECT_EQ(s.lifetimeFragmentsSaved, L"6");
    EXPECT_EQ(s.timers[kTimerRequestData], 0u);
    // Late answers for the drives that went show nothing.
    panel.Reply(L"23, 12.50");
    Answer(panel, L'C', L"7;;;8;;;9;;;10;;;11;;;12;;;", L"C:\\X;");
    EXPECT_EQ(s.percentFree, L"No calc");
    EXPECT_EQ(s.filesLeft, L"");
    EXPECT_EQ(s.exclusions.entries, kNoEntries);
    // No statistics request can come now, so no wait is left hanging.
    EXPECT_FALSE(s.waitPending);
    EXPECT_TRUE(Sends(panel.Do(TimerTick{kTimerRequestData})).empty());
}

TEST(PanelDrives, AWatchedDriveLeavesAvailableAndADriveListWithoutAvailableDrivesEmptiesIt) {
    Panel panel = Connected();  // D:\ and F:\ available
    // Any 21 (here one that answers a stop-watching request) takes the drives it lists out of Available.
    panel.Reply(L"21, C:\\E:\\F:\\");
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));
    Answer(panel, L'C', kSix);  // no drive list was asked for: nothing more follows from it
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));

    // The drive-list request: its 21, then a 20 when drives are available.
    panel.Do(DriveListAsked{});
    panel.Reply(L"21, C:\\E:\\");
    panel.Reply(L"20, D:\\F:\\");
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\", L"F:\\"}));
    // Its 21 and no 20: the service has no drive available (D:\ went away), so none is listed.
    panel.Do(DriveListAsked{});
    panel.Reply(L"21, C:\\E:\\F:\\");
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().available.entries, kNoEntries);
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\", L"E:\\", L"F:\\"}));

    // A request that could not be written brings no answer; a later 21 is not taken for one.
    panel.Reply(L"20, D:\\");
    panel.Do(DriveListAsked{true});
    panel.Do(DriveListAsked{false});
    panel.Reply(L"21, C:\\E:\\");
    Answer(panel, L'C', kSix);
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\"}));
}

TEST(PanelDrives, AReportedDriveIsAddedOnlyWhenNeitherListHoldsIt) {
    Panel panel = Connected();
    panel.Do(DriveWatched{4});  // D:\ is available: not added
    panel.Do(DriveWatched{7});  // G:\ is in neither list
    panel.Do(DriveWatched{0});  // no drive
    panel.Do(DriveWatched{27});
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\", L"E:\\", L"G:\\"}));
}

TEST(PanelExclusions, ATypedPathIsSentUpperCasedAndTheEditKeepsIt) {
    Panel panel = Connected();
    panel.Do(SelectWatching{1});
    panel.Do(ExclusionPathEdited{L"windows\\temp\\\u00e9t\u00e9"});
    Effects effects = panel.Do(AddExclusionClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"E:\\WINDOWS\\TEMP\\\u00c9T\u00c9", L" ADDEXCLUDE"}}));
    EXPECT_EQ(panel.State().exclusionPath, L"windows\\temp\\\u00e9t\u00e9");
    EXPECT_EQ(panel.State().exclusions.entries, kNoEntries);  // only the service's reply fills it
    // An empty path is sent as the entry alone.
    panel.Do(ExclusionPathEdited{L""});
    EXPECT_EQ(Sends(panel.Do(AddExclusionClicked{})), (std::vector<Send>{{L"E:\\", L" ADDEXCLUDE"}}));
    // Without a watched drive nothing is sent.
    Panel empty;
    empty.Do(ExclusionPathEdited{L"x"});
    EXPECT_TRUE(empty.Do(AddExclusionClicked{}).empty());
}

TEST(PanelExclusions, APathThatTheServiceWouldReadAsAnotherCommandIsNotSent) {
    Panel panel = Connected();
    // Upper-cased, "stopwatch" holds "WATCH", which the service looks for before " ADDEXCLUDE".
    panel.Do(ExclusionPathEdited{L"tools\\stopwatch"});
    EXPECT_TRUE(Sends(panel.Do(AddExclusionClicked{})).empty());
    EXPECT_NE(panel.State().notice, L"");
    panel.Do(ExclusionPathEdited{L"a ADDEXCLUDE b"});  // would cut the path short
    EXPECT_TRUE(Sends(panel.Do(AddExclusionClicked{})).empty());
    // The notice goes with the next action.
    panel.Do(ExclusionPathEdited{L"tools"});
    EXPECT_EQ(panel.State().notice, L"");
    EXPECT_EQ(Sends(panel.Do(AddExclusionClicked{})).size(), 1u);
}

TEST(PanelExclusions, APathHoldingASemicolonIsRefusedWithANoticeThatLastsUntilTheNextAction) {
    Panel panel = Connected();
    panel.Do(ExclusionPathEdited{L"c:\\a;b"});
    EXPECT_TRUE(Sends(panel.Do(AddExclusionClicked{})).empty());
    EXPECT_NE(panel.State().notice.find(L"\";\""), std::wstring::npos) << ToNarrow(panel.State().notice);
    // Replies, timer ticks and the inputs they post leave it on show.
    Answer(panel, L'C', kSix);
    panel.Do(TimerTick{kTimerRequestData});
    panel.Do(DriveWatched{3});
    EXPECT_NE(panel.State().notice, L"");
    panel.Do(ExclusionPathEdited{L"c:\\a"});
    EXPECT_EQ(panel.State().notice, L"");
    EXPECT_EQ(Sends(panel.Do(AddExclusionClicked{})), (std::vector<Send>{{L"C:\\C:\\A", L" ADDEXCLUDE"}}));

    // Beyond the service's bounds: a path of more than 100 characters, or an eleventh entry.
    panel.Do(ExclusionPathEdited{L"c:\\" + std::wstring(98, L'x')});
    EXPECT_TRUE(Sends(panel.Do(AddExclusionClicked{})).empty());
    EXPECT_NE(panel.State().notice.find(L"100 characters"), std::wstring::npos)
        << ToNarrow(panel.State().notice);
    panel.Do(ExclusionPathEdited{L"c:\\" + std::wstring(97, L'x')});
    EXPECT_EQ(Sends(panel.Do(AddExclusionClicked{})).size(), 1u);
    Answer(panel, L'C', kSix, L"\\0;\\1;\\2;\\3;\\4;\\5;\\6;\\7;\\8;\\9;");
    panel.Do(ExclusionPathEdited{L"c:\\b"});
    EXPECT_TRUE(Sends(panel.Do(AddExclusionClicked{})).empty());
    EXPECT_NE(panel.State().notice.find(L"remove one first"), std::wstring::npos);

    EXPECT_TRUE(ExclusionRefusal(L"C:\\C:\\A;B", L" DELETEEXCLUDE").has_value());
    EXPECT_TRUE(ExclusionRefusal(L"C:\\C:\\STOPWATCH", L" ADDEXCLUDE").has_value());
    EXPECT_FALSE(ExclusionRefusal(L"C:\\C:\\A B", L" ADDEXCLUDE").has_value());
}

TEST(PanelExclusions, RemovingDeletesTheEntryAtOnceAndSendsItAsListed) {
    Panel panel = Connected();
    Answer(panel, L'C', kSix, L"\\A;\\B;\\C;");
    panel.Do(SelectExclusion{1});
    EXPECT_EQ(panel.State().exclusionPath, L"\\B");  // a selected entry is copied into the edit
    Effects effects = panel.Do(RemoveExclusionClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"C:\\\\B", L" DELETEEXCLUDE"}}));
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"\\A", L"\\C"}));
    // Nothing selected: the first entry goes.
    EXPECT_EQ(Sends(panel.Do(RemoveExclusionClicked{})),
              (std::vector<Send>{{L"C:\\\\A", L" DELETEEXCLUDE"}}));
    panel.Do(RemoveExclusionClicked{});
    EXPECT_TRUE(panel.Do(RemoveExclusionClicked{}).empty());
}

TEST(PanelDefragOnly, TheBoxSendsARecordForTheSelectedDrive) {
    Panel panel = Connected();
    panel.Do(SelectWatching{1});
    EXPECT_EQ(Sends(panel.Do(DefragOnlyClicked{true})), (std::vector<Send>{{L"", L"E1DEFRAGONLY"}}));
    EXPECT_TRUE(panel.State().defragOnly);
    EXPECT_EQ(Sends(panel.Do(DefragOnlyClicked{false})), (std::vector<Send>{{L"", L"E0DEFRAGONLY"}}));
    // With no watched drive nothing is sent and the box keeps its new state.
    Panel empty;
    EXPECT_TRUE(empty.Do(DefragOnlyClicked{true}).empty());
    EXPECT_TRUE(empty.State().defragOnly);
}

TEST(PanelTimers, InitialisationThenTheFirstStartOfTheWorkers) {
    Panel panel;
    Effects effects = panel.Do(Initialize{});
    EXPECT_TRUE(Has(effects, SetTimer{kTimerStartWorkers, 5000}));
    EXPECT_TRUE(Has(effects, SetTimer{kTimerQuitCheck, 10000}));
    // Timer 3's tick starts the workers once and stops timer 4 and itself.
    effects = panel.Do(TimerTick{kTimerStartWorkers});
    EXPECT_TRUE(Has(effects, KillTimer{kTimerQuitCheck}));
    EXPECT_TRUE(Has(effects, KillTimer{kTimerStartWorkers}));
    EXPECT_TRUE(Has(effects, LaunchWorkers{}));
    EXPECT_EQ(panel.State().timers[kTimerStartWorkers], 0u);
    EXPECT_EQ(panel.State().timers[kTimerQuitCheck], 0u);
    // Rescan asks for the workers again.
    EXPECT_TRUE(Has(panel.Do(RescanClicked{}), LaunchWorkers{}));
}

TEST(PanelTimers, AVolumeEventRestartsTimerThreeAndAsksForTheDrives) {
    Panel panel;
    panel.Do(Initialize{});
    panel.Do(TimerTick{kTimerStartWorkers});
    Effects effects = panel.core.Handle(DeviceEvent{true, kDeviceTypeVolume});
    ASSERT_EQ(effects.size(), 3u);
    EXPECT_EQ(std::get<KillTimer>(effects[0]), KillTimer{kTimerStartWorkers});
    EXPECT_EQ(std::get<SetTimer>(effects[1]), (SetTimer{kTimerStartWorkers, 10000}));
    EXPECT_TRUE(std::holds_alternative<StartWorkers>(std::get<Post>(effects[2]).input));
    // Other device types, or an event without its data block, change nothing.
    EXPECT_TRUE(panel.Do(DeviceEvent{true, 5}).empty());
    EXPECT_TRUE(panel.Do(DeviceEvent{false, kDeviceTypeVolume}).empty());
}

TEST(PanelTimers, TheQuitEventIsLookedAtOnlyOnTimersTwoAndFour) {
    Panel panel = Connected();
    EXPECT_TRUE(Has(panel.Do(TimerTick{kTimerQuitCheck}), CheckQuitEvent{}));
    Effects two = panel.Do(TimerTick{kTimerRequestFreeSpace});
    EXPECT_TRUE(Has(two, CheckQuitEvent{}));
    EXPECT_EQ(Sends(two), (std::vector<Send>{{L"C:\\", L"FreeSpace"}}));
    EXPECT_FALSE(Has(panel.Do(TimerTick{kTimerRequestData}), CheckQuitEvent{}));
    EXPECT_FALSE(Has(panel.Do(TimerTick{kTimerStartWorkers}), CheckQuitEvent{}));

    // A set event quits, and stops the listener on the way, like the tray's Exit.
    Effects quit = panel.Do(QuitEventSet{});
    EXPECT_TRUE(Has(quit, StopListener{}));
    EXPECT_TRUE(Has(quit, PostQuit{}));
    EXPECT_TRUE(panel.State().closed);
    EXPECT_TRUE(panel.Do(TimerTick{kTimerRequestFreeSpace}).empty());
}

TEST(PanelClose, TheCaptionHidesOnlyExitQuits) {
    Panel panel = Connected();
    panel.Do(ShowCommand{});
    EXPECT_TRUE(panel.State().visible);
    EXPECT_TRUE(Has(panel.Do(CloseRequested{}), HideDialog{}));
    EXPECT_FALSE(panel.State().visible);
    EXPECT_FALSE(panel.State().closed);

    Effects effects = panel.Do(ExitCommand{});
    EXPECT_TRUE(Has(effects, StopListener{}));
    for (int id : {kTimerRequestData, kTimerRequestFreeSpace, kTimerStartWorkers})
        EXPECT_TRUE(Has(effects, KillTimer{id})) << id;
    EXPECT_TRUE(Has(effects, PostQuit{}));
    EXPECT_TRUE(panel.State().closed);
}

TEST(PanelLists, SortedInsertionAndDeletionKeepTheSelectionOnItsEntry) {
    ListState list;
    InsertSorted(list, L"d:\\");
    InsertSorted(list, L"F:\\");
    list.selected = 1;  // F
    EXPECT_EQ(InsertSorted(list, L"C:\\"), 0);
    EXPECT_EQ(list.entries, (std::vector<std::wstring>{L"C:\\", L"d:\\", L"F:\\"}));
    EXPECT_EQ(list.selected, 2);
    DeleteEntry(list, 0);
    EXPECT_EQ(list.selected, 1);
    DeleteEntry(list, 1);
    EXPECT_EQ(list.selected, kNoSelection);
    DeleteEntry(list, 5);  // out of range: nothing
    EXPECT_EQ(list.entries, (std::vector<std::wstring>{L"d:\\"}));
}

}  // namespace
}  // namespace kestrel::panel
