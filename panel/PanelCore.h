// The control panel's main dialog as plain decisions, without any window.
//
// How a front end drives the core
// -------------------------------
// A front end (the Win32 dialog, the terminal) owns one PanelCore and a ServiceClient (ServiceClient.h).
// It turns every happening into an Input and hands it to PanelCore::Handle on ONE thread (the dialog's
// thread); Handle changes the PanelState and returns the Effects that the front end then carries out, in
// order:
//
//     PanelCore core;
//     Perform(core.Handle(Initialize{}));            // timers 3 and 4, tray icon not connected
//     for each happening:                             // a button, a timer tick, a reply, a device event
//         Perform(core.Handle(input));
//         Draw(core.State());                         // lists, selections, fields, check box, icon, cursor
//
// Effects:
//   Send          -> ServiceClient::SendCommand(argument, word) (it adds the reply address)
//   SetTimer      -> start (or restart) timer `id` with the nominal period (scale it with timing::Scaled)
//   KillTimer     -> stop timer `id`
//   Post          -> queue `input` and hand it to Handle later, after the current input, in order with the
//                    other queued happenings (the dialog's PostMessage)
//   LaunchWorkers -> ServiceClient::StartWorkers (the reply listener and the drive-list request, each only
//                    when it is not running)
//   StopListener  -> ServiceClient::StopListener (the stop event)
//   CheckQuitEvent-> look at the quit event (QuitEventSignalled, ServiceClient.h); when it was set,
//                    Handle(QuitEventSet{})
//   PostQuit      -> end the main loop; then ServiceClient::Shutdown before the core is released
//   ShowDialog / HideDialog / ShowAbout -> the window's own business
//
// The front end keeps the state's user-editable parts in step by reporting them as inputs (a selection
// changed, the exclusion path typed, the check box clicked) before or with the action that uses them; that
// is the dialog's data exchange in. Drawing the state after each Handle is the data exchange out.
// Replies arrive on the listener thread; the front end hands them to the dialog's thread as ServiceReply
// (or calls OnServiceReply there), and the drive-list request's notice (ServiceClient's DriveListHandler)
// as DriveListAsked, in order with the replies. After the panel closed for good (State().closed) every input
// is dropped, a late reply included.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrel::panel {

using Millis = std::uint32_t;

// ---- fixed texts ----

// The static labels of the dialog's statistics, as its template shows them.
inline constexpr std::wstring_view kLabelFilesLeft = L"Files Left to Process";
inline constexpr std::wstring_view kLabelFragmentsSaved = L"Fragments Saved";
inline constexpr std::wstring_view kLabelLargestFragmentSaved = L"Largest Fragment Saved";
inline constexpr std::wstring_view kLabelPercentFree = L"Percent Free w/o MFT Area.";
inline constexpr std::wstring_view kLabelTotalFilesLeft = L"Total Files Left to Process";
inline constexpr std::wstring_view kLabelTotalFragmentsSaved = L"Total Fragments Saved";
inline constexpr std::wstring_view kLabelLifetimeFragmentsSaved = L"Total Lifetime Fragments Saved";
// The three drive labels once a watched drive's statistics are asked for: the prefix, then the entry.
inline constexpr std::wstring_view kLabelPrefixFragmentsSaved = L"Fragments Saved on ";
inline constexpr std::wstring_view kLabelPrefixFilesLeft = L"Files Left to Process on ";
inline constexpr std::wstring_view kLabelPrefixLargestFragmentSaved = L"Largest Fragment Saved on ";
// Percent free before any reply, and after the last watched drive was removed.
inline constexpr std::wstring_view kPercentFreeInitial = L"no calc";
inline constexpr std::wstring_view kPercentFreeNone = L"No calc";
// The quit event another program sets to make the panel quit.
inline constexpr std::wstring_view kQuitEventName = L"Tarnwell";

// ---- timers ----

inline constexpr int kTimerRequestData = 1;       // 5000 ms: post RequestData
inline constexpr int kTimerRequestFreeSpace = 2;  // 10000 ms: post RequestFreeSpace, quit-event check
inline constexpr int kTimerStartWorkers = 3;      // one tick: post StartWorkers, stop timer 4
inline constexpr int kTimerQuitCheck = 4;         // 10000 ms: quit-event check (until timer 3's tick)
inline constexpr Millis kDataPeriod = 5000;
inline constexpr Millis kFreeSpacePeriod = 10000;
inline constexpr Millis kFirstStartDelay = 5000;
inline constexpr Millis kVolumeStartDelay = 10000;
inline constexpr Millis kQuitCheckPeriod = 10000;

// Volume device events: the device type in the event's header that names a volume.
inline constexpr std::uint32_t kDeviceTypeVolume = 2;

// ---- inputs ----

struct Initialize {};           // the dialog's initialisation
struct WatchClicked {};         // "--->", or a double-click in Available Drives
struct StopWatchingClicked {};  // "<---", or a double-click in Watching Drives
struct SelectAvailable {        // the user selected an Available Drives entry (-1: none)
    int index = -1;
};
struct SelectWatching {  // the user selected a Watching Drives entry (-1: none); shows that drive
    int index = -1;
};
struct SelectExclusion {  // the user selected an exclusions entry: copied into the exclusion path
    int index = -1;
};
struct ExclusionPathEdited {  // the exclusion path edit's text as typed
    std::wstring text;
};
struct AddExclusionClicked {};     // "Exclude File/Dir"
struct RemoveExclusionClicked {};  // "Remove Entry"
struct DefragOnlyClicked {         // the check box toggled; its new state
    bool checked = false;
};
struct RescanClicked {};     // "Rescan Drives"
struct AboutClicked {};      // "About Kestrel" or the system menu's About item
struct RequestData {};       // WM_REQUEST_DATA
struct RequestFreeSpace {};  // WM_REQUEST_FREESPACE
struct StartWorkers {};      // WM_START_WORKERS
struct DriveWatched {        // WM_DRIVE_WATCHED with a drive index (A is 1 ... Z is 26)
    int driveIndex = 0;
};
struct ServiceReply {  // WM_SERVICE_REPLY: one whole reply message
    std::wstring message;
};
struct TimerTick {
    int id = 0;
};
struct DeviceEvent {  // a device event; only one whose data block is present and names a volume counts
    bool dataPresent = false;
    std::uint32_t deviceType = 0;
};
struct CloseRequested {};  // the caption's close button or the system menu's Close
struct ShowCommand {};     // tray menu "Kestrel" (command 32774), or a double-click on the icon
struct ExitCommand {};     // tray menu "Exit" (command 32772): quit flag, then close
struct QuitEventSet {};    // the quit-event check found the event set (and reset it)
// The drive-list request (ServiceClient) is about to ask for both drive lists (asked = true), or could not
// write them (asked = false, so no answer will come). The front end hands it over before the requests
// go out, in order with the replies.
struct DriveListAsked {
    bool asked = true;
};

using Input = std::variant<Initialize, WatchClicked, StopWatchingClicked, SelectAvailable, SelectWatching,
                           SelectExclusion, ExclusionPathEdited, AddExclusionClicked, RemoveExclusionClicked,
                           DefragOnlyClicked, RescanClicked, AboutClicked, RequestData, RequestFreeSpace,
                           StartWorkers, DriveWatched, ServiceReply, TimerTick, DeviceEvent, CloseRequested,
                           ShowCommand, ExitCommand, QuitEventSet, DriveListAsked>;

// ---- effects ----

struct Send {  // one request: argument + word, to which the client adds the reply address
    std::wstring argument;
    std::wstring word;
    bool operator==(const Send&) const = default;
};
struct SetTimer {
    int id = 0;
    Millis period = 0;  // nominal
    bool operator==(const SetTimer&) const = default;
};
struct KillTimer {
    int id = 0;
    bool operator==(const KillTimer&) const = default;
};
struct Post {
    Input input;
};
struct LaunchWorkers {
    bool operator==(const LaunchWorkers&) const = default;
};
struct StopListener {
    bool operator==(const StopListener&) const = default;
};
struct CheckQuitEvent {
    bool operator==(const CheckQuitEvent&) const = default;
};
struct PostQuit {
    bool operator==(const PostQuit&) const = default;
};
struct ShowDialog {
    bool operator==(const ShowDialog&) const = default;
};
struct HideDialog {
    bool operator==(const HideDialog&) const = default;
};
struct ShowAbout {
    bool operator==(const ShowAbout&) const = default;
};

using Effect = std::variant<Send, SetTimer, KillTimer, Post, LaunchWorkers, StopListener, CheckQuitEvent,
                            PostQuit, ShowDialog, HideDialog, ShowAbout>;
using Effects = std::vector<Effect>;

// ---- state ----

inline constexpr int kNoSelection = -1;

// One list box: its entries in display order and the selected index (kNoSelection when none).
struct ListState {
    std::vector<std::wstring> entries;
    int selected = kNoSelection;
    bool operator==(const ListState&) const = default;
};

// What the dialog shows. Every text is shown as it stands.
struct PanelState {
    ListState available;         // sorted
    ListState watching;          // in the order added
    ListState exclusions;        // sorted
    std::wstring exclusionPath;  // the edit, as typed
    bool defragOnly = false;     // the check box

    // The three drive statistics with their labels (empty until a drive's statistics are asked for)...
    std::wstring filesLeft, fragmentsSaved, largestFragmentSaved;
    std::wstring filesLeftLabel, fragmentsSavedLabel, largestFragmentSavedLabel;
    // ... and the four drive-independent ones.
    std::wstring percentFree{kPercentFreeInitial};
    std::wstring totalFilesLeft, totalFragmentsSaved, lifetimeFragmentsSaved;

    bool connected = false;          // the tray shows the connected icon (103) rather than icon 104
    bool waitPending = false;        // the wait cursor is on
    bool visible = false;            // the dialog is on show
    bool quitFlag = false;           // set by the tray's Exit, so that the next close quits
    bool closed = false;             // the panel has quit: every later input is dropped
    std::array<Millis, 5> timers{};  // nominal period of each running timer (index = id), 0 when stopped
    // A request the core refused to send, because the service would misread it (a path holding a command
    // word, or a ";", which separates the entries of the service's exclusions reply); empty when none.
    // Cleared by the next action.
    std::wstring notice;

    bool operator==(const PanelState&) const = default;
};

// ---- the core ----

class PanelCore {
  public:
    const PanelState& State() const { return state_; }

    // Applies one input; returns what the front end must do. Must be called on one thread only.
    Effects Handle(const Input& input);

    // The handler of one reply message (codes 20 to 25; anything else changes nothing).
    Effects OnServiceReply(std::wstring_view message);

    // The Watching Drives entry that actions apply to: the selected one; else the first, which it then
    // selects; nothing when the list is empty.
    std::optional<std::wstring> SelectedWatchedDrive();

  private:
    Effects Watch();
    Effects StopWatching();
    Effects ShowDrive();
    Effects RequestStatistics();
    Effects RequestFreeSpaceOf();
    Effects AddExclusion();
    Effects RemoveExclusion();
    Effects SetDefragOnly(bool checked);
    Effects DriveReported(int driveIndex);
    Effects VolumeChange(const DeviceEvent& event);
    Effects Close();
    Effects Tick(int id);
    void DataReply(int code, const std::wstring& text);
    Effects WatchedDrivesReply(const std::wstring& text);
    void AvailableDrivesReply(const std::wstring& text);
    // Keeps the drive-bound fields with the drive on show: when that drive changes (selected, stopped,
    // or moved by a reply), the previous drive's exclusions and statistics leave the screen and the
    // labels name the new drive.
    void FollowShownDrive();
    // The letter of the Watching Drives entry that the fields are about (the selected one, else the
    // first), or 0 when the list is empty. Changes nothing.
    wchar_t ShownDrive() const;

    // Appends a Send of argument + word when the service reads it as `word`'s own command with its
    // argument whole; otherwise sends nothing and sets the notice.
    void SendChecked(Effects& effects, std::wstring argument, std::wstring_view word);
    void StartTimer(Effects& effects, int id, Millis period);
    void StopTimer(Effects& effects, int id);
    void BeginWait() { state_.waitPending = true; }

    // The replies to one "GetData" come as one group: 22 (statistics), 24 (exclusions, only when the
    // drive has any), 25 (Defrag Only, carrying the drive letter). The group is collected and shown at
    // its 25, and only when that names the drive on show: a late group for a drive selected before is
    // dropped, and a 25 without a 24 means the drive has no exclusions.
    struct DataGroup {
        std::optional<std::array<std::wstring, 6>> statistics;
        std::optional<std::vector<std::wstring>> exclusions;
    };

    PanelState state_;
    bool driveReportedOnce_ = false;  // the first WM_DRIVE_WATCHED starts the polling
    std::optional<DataGroup> group_;  // the "GetData" answer being collected
    wchar_t shownDrive_ = L'\0';      // the drive whose exclusions and statistics are on show
    // The drive lists: the drive-list request has asked for them and its code 21 has not come yet; its
    // 21 has come and a 20 may follow (the service sends none when no drive is available).
    bool driveListAsked_ = false;
    bool availableDue_ = false;
};

// Whether the service reads argument + word (+ reply address) as the word's own command with the argument
// whole: false when the argument holds a keyword that the service finds first (a path such as
// "C:\STOPWATCH" would start watching the drive instead of excluding the folder).
bool ReadsAsItsOwnCommand(std::wstring_view argument, std::wstring_view word);

// Why an exclusion request (argument = drive entry + path, word = " ADDEXCLUDE" or " DELETEEXCLUDE")
// must not be sent, as the notice to show; nothing when it may be sent. A path holding a keyword would
// be read as another command; a path holding ";" would be stored whole but listed as two entries (the
// exclusions reply separates entries with ";"), neither of which could then be removed.
std::optional<std::wstring> ExclusionRefusal(std::wstring_view argument, std::wstring_view word);

// Sorted insertion as a sorted list box does it (case-insensitive); returns the new entry's index and
// keeps the selection on the entry it was on.
int InsertSorted(ListState& list, std::wstring entry);
// Deletes an entry; a selection on it is cleared, one behind it moves up with its entry.
void DeleteEntry(ListState& list, int index);

}  // namespace kestrel::panel
