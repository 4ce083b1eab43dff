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

    // Fewer than six fields: nothing on show changes and the wait goes on.
    const PanelState before = panel.State();
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;");
    EXPECT_EQ(panel.State(), before);

    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    const PanelState& s = panel.State();
    EXPECT_EQ(s.filesLeft, L"1");
    EXPECT_EQ(s.fragmentsSaved, L"2");
    EXPECT_EQ(s.largestFragmentSaved, L"3");
    EXPECT_EQ(s.totalFilesLeft, L"4");
    EXPECT_EQ(s.totalFragmentsSaved, L"5");
    EXPECT_EQ(s.lifetimeFragmentsSaved, L"6");
    EXPECT_FALSE(s.waitPending);

    // A later group replaces an earlier one; the texts are shown as received.
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;; 7;;;x;;;9;;;10;;;11;;;-12;;;13");
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
    // reply replaces the list and its selection.
    panel.Reply(L"24, \\WINDOWS\\TEMP;\\B;\\LEFT OVER");
    EXPECT_EQ(panel.State().exclusions.entries, (std::vector<std::wstring>{L"\\B", L"\\WINDOWS\\TEMP"}));
    panel.Do(SelectExclusion{1});
    panel.Reply(L"24, \\X;");
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
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
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
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    panel.Reply(L"23, 40.00");

    // One of two: the other stays, its statistics are awaited.
    panel.Do(SelectWatching{1});
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    Effects effects = panel.Do(StopWatchingClicked{});
    EXPECT_EQ(Sends(effects), (std::vector<Send>{{L"E", L" QUITWATCH"}}));
    EXPECT_EQ(panel.State().available.entries, (std::vector<std::wstring>{L"D:\\", L"E:\\", L"F:\\"}));
    EXPECT_EQ(panel.State().watching.entries, (std::vector<std::wstring>{L"C:\\"}));
    EXPECT_EQ(panel.State().filesLeft, L"1");
    EXPECT_TRUE(panel.State().waitPending);
    panel.Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");

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
    // No statistics request can come now, so no wait is left hanging.
    EXPECT_FALSE(s.waitPending);
    EXPECT_TRUE(Sends(panel.Do(TimerTick{kTimerRequestData})).empty());
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

TEST(PanelExclusions, RemovingDeletesTheEntryAtOnceAndSendsItAsListed) {
    Panel panel = Connected();
    panel.Reply(L"24, \\A;\\B;\\C;");
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
