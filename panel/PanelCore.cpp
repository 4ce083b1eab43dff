#include "panel/PanelCore.h"

#include <algorithm>
#include <utility>

#include "common/Format.h"
#include "common/UpperCase.h"
#include "common/Utf16.h"
#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Reply.h"
#include "common/protocol/Request.h"

namespace kestrel::panel {

namespace proto = kestrel::protocol;

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

bool InRange(const ListState& list, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < list.entries.size();
}

// The entry text of a drive letter: the letter, ":" and "\".
std::wstring EntryOf(wchar_t letter) {
    return std::wstring(1, letter) + L":\\";
}

// The inputs that come from the user: a notice lasts until the next of these.
bool IsUserAction(const Input& input) {
    return std::visit(
        Overloaded{[](const WatchClicked&) { return true; }, [](const StopWatchingClicked&) { return true; },
                   [](const SelectAvailable&) { return true; }, [](const SelectWatching&) { return true; },
                   [](const SelectExclusion&) { return true; },
                   [](const ExclusionPathEdited&) { return true; },
                   [](const AddExclusionClicked&) { return true; },
                   [](const RemoveExclusionClicked&) { return true; },
                   [](const DefragOnlyClicked&) { return true; }, [](const RescanClicked&) { return true; },
                   [](const AboutClicked&) { return true; }, [](const auto&) { return false; }},
        input);
}

}  // namespace

bool ReadsAsItsOwnCommand(std::wstring_view argument, std::wstring_view word) {
    const proto::Command wanted = proto::FindCommand(word).command;
    const proto::KeywordMatch found = proto::FindCommand(proto::ComposeRequest(argument, word));
    return found.command == wanted && found.position >= argument.size();
}

std::optional<std::wstring> ExclusionRefusal(std::wstring_view argument, std::wstring_view word) {
    if (!ReadsAsItsOwnCommand(argument, word))
        return L"Not sent: \"" + std::wstring(argument) + L"\" holds a command word of the service";
    if (argument.find(L';') != std::wstring_view::npos)
        return L"Not sent: \"" + std::wstring(argument) +
               L"\" holds \";\", which separates the entries of the service's exclusion list";
    return std::nullopt;
}

int InsertSorted(ListState& list, std::wstring entry) {
    const std::wstring key = UpperCase(entry);
    // A sorted list box puts a new entry behind the entries that compare equal to it.
    auto at = std::upper_bound(list.entries.begin(), list.entries.end(), key,
                               [](const std::wstring& k, const std::wstring& e) { return k < UpperCase(e); });
    const int index = static_cast<int>(at - list.entries.begin());
    list.entries.insert(at, std::move(entry));
    if (list.selected >= index)
        ++list.selected;
    return index;
}

void DeleteEntry(ListState& list, int index) {
    if (!InRange(list, index))
        return;
    list.entries.erase(list.entries.begin() + index);
    if (list.selected == index)
        list.selected = kNoSelection;
    else if (list.selected > index)
        --list.selected;
}

std::optional<std::wstring> PanelCore::SelectedWatchedDrive() {
    ListState& list = state_.watching;
    if (list.entries.empty())
        return std::nullopt;
    if (!InRange(list, list.selected))
        list.selected = 0;
    return list.entries[static_cast<std::size_t>(list.selected)];
}

void PanelCore::SendChecked(Effects& effects, std::wstring argument, std::wstring_view word) {
    // The service finds a request's command by searching its keywords anywhere in the text, in a fixed
    // order. An argument that holds a keyword (a typed path such as "C:\STOPWATCH") would be read as
    // another command, or cut the path short; such a request is not sent.
    if (!ReadsAsItsOwnCommand(argument, word)) {
        state_.notice = L"Not sent: \"" + argument + L"\" holds a command word of the service";
        return;
    }
    effects.push_back(Send{std::move(argument), std::wstring(word)});
}

void PanelCore::StartTimer(Effects& effects, int id, Millis period) {
    state_.timers[static_cast<std::size_t>(id)] = period;
    effects.emplace_back(std::in_place_type<SetTimer>, SetTimer{id, period});
}

void PanelCore::StopTimer(Effects& effects, int id) {
    state_.timers[static_cast<std::size_t>(id)] = 0;
    effects.emplace_back(std::in_place_type<KillTimer>, KillTimer{id});
}

Effects PanelCore::Handle(const Input& input) {
    if (state_.closed)
        return {};
    // A notice lasts until the user's next action; replies, timers and posted inputs leave it on show.
    if (IsUserAction(input))
        state_.notice.clear();
    Effects effects = std::visit(
        Overloaded{
            [&](const Initialize&) {
                Effects effects;
                StartTimer(effects, kTimerStartWorkers, kFirstStartDelay);
                StartTimer(effects, kTimerQuitCheck, kQuitCheckPeriod);
                state_.connected = false;
                return effects;
            },
            [&](const WatchClicked&) { return Watch(); },
            [&](const StopWatchingClicked&) { return StopWatching(); },
            [&](const SelectAvailable& e) {
                state_.available.selected = InRange(state_.available, e.index) ? e.index : kNoSelection;
                return Effects{};
            },
            [&](const SelectWatching& e) {
                state_.watching.selected = InRange(state_.watching, e.index) ? e.index : kNoSelection;
                return ShowDrive();
            },
            [&](const SelectExclusion& e) {
                state_.exclusions.selected = InRange(state_.exclusions, e.index) ? e.index : kNoSelection;
                if (state_.exclusions.selected != kNoSelection)
                    state_.exclusionPath = state_.exclusions.entries[static_cast<std::size_t>(e.index)];
                return Effects{};
            },
            [&](const ExclusionPathEdited& e) {
                state_.exclusionPath = e.text;
                return Effects{};
            },
            [&](const AddExclusionClicked&) { return AddExclusion(); },
            [&](const RemoveExclusionClicked&) { return RemoveExclusion(); },
            [&](const DefragOnlyClicked& e) { return SetDefragOnly(e.checked); },
            [&](const RescanClicked&) { return Effects{Post{StartWorkers{}}}; },
            [&](const AboutClicked&) { return Effects{ShowAbout{}}; },
            [&](const RequestData&) { return RequestStatistics(); },
            [&](const RequestFreeSpace&) { return RequestFreeSpaceOf(); },
            [&](const StartWorkers&) {
                Effects effects;
                StopTimer(effects, kTimerStartWorkers);
                effects.push_back(LaunchWorkers{});
                return effects;
            },
            [&](const DriveWatched& e) { return DriveReported(e.driveIndex); },
            [&](const ServiceReply& e) { return OnServiceReply(e.message); },
            [&](const TimerTick& e) { return Tick(e.id); },
            [&](const DeviceEvent& e) { return VolumeChange(e); },
            [&](const CloseRequested&) { return Close(); },
            [&](const ShowCommand&) {
                state_.visible = true;
                return Effects{ShowDialog{}};
            },
            [&](const ExitCommand&) {
                state_.quitFlag = true;
                return Close();
            },
            [&](const QuitEventSet&) {
                // The quit event ends the main loop; the listener is told to stop too, so that it has
                // ended before the dialog is released, as on the tray's way out.
                state_.closed = true;
                return Effects{StopListener{}, PostQuit{}};
            },
            [&](const DriveListAsked& e) {
                driveListAsked_ = e.asked;
                return Effects{};
            },
        },
        input);
    if (!state_.closed)
        FollowShownDrive();
    return effects;
}

wchar_t PanelCore::ShownDrive() const {
    const ListState& list = state_.watching;
    if (list.entries.empty())
        return L'\0';
    const std::wstring& entry =
        list.entries[InRange(list, list.selected) ? static_cast<std::size_t>(list.selected) : 0];
    return entry.empty() ? L'\0' : UpperCaseChar(entry[0]);
}

void PanelCore::FollowShownDrive() {
    const wchar_t now = ShownDrive();
    if (now == shownDrive_)
        return;
    shownDrive_ = now;
    // What is on show belongs to the drive before: its exclusions (which Remove Entry would send with the
    // new drive) and its three statistics go, and a group on its way for it is no longer wanted. The
    // labels name the drive now on show; its numbers come with the next statistics request.
    state_.exclusions = ListState{};
    state_.filesLeft.clear();
    state_.fragmentsSaved.clear();
    state_.largestFragmentSaved.clear();
    group_.reset();
    if (now != L'\0' && !state_.filesLeftLabel.empty()) {
        const std::wstring entry = EntryOf(now);
        state_.fragmentsSavedLabel = std::wstring(kLabelPrefixFragmentsSaved) + entry;
        state_.filesLeftLabel = std::wstring(kLabelPrefixFilesLeft) + entry;
        state_.largestFragmentSavedLabel = std::wstring(kLabelPrefixLargestFragmentSaved) + entry;
    }
}

Effects PanelCore::Watch() {
    Effects effects;
    ListState& available = state_.available;
    if (available.entries.empty())
        return effects;
    const int index = InRange(available, available.selected) ? available.selected : 0;
    const std::wstring entry = available.entries[static_cast<std::size_t>(index)];
    DeleteEntry(available, index);
    const wchar_t letter = entry.empty() ? L'\0' : entry[0];
    SendChecked(effects, std::wstring(1, letter), proto::kWordWatch);
    state_.watching.entries.push_back(EntryOf(letter));
    StartTimer(effects, kTimerRequestData, kDataPeriod);
    StartTimer(effects, kTimerRequestFreeSpace, kFreeSpacePeriod);
    return effects;
}

Effects PanelCore::StopWatching() {
    Effects effects;
    if (std::optional<std::wstring> drive = SelectedWatchedDrive()) {
        InsertSorted(state_.available, *drive);
        SendChecked(effects, drive->substr(0, 1), proto::kWordQuitWatch);
        DeleteEntry(state_.watching, state_.watching.selected);
    }
    if (state_.watching.entries.empty()) {
        StopTimer(effects, kTimerRequestData);
        StopTimer(effects, kTimerRequestFreeSpace);
        state_.largestFragmentSaved.clear();
        state_.fragmentsSaved.clear();
        state_.filesLeft.clear();
        state_.totalFragmentsSaved.clear();
        state_.totalFilesLeft.clear();
        state_.fragmentsSavedLabel.clear();
        state_.filesLeftLabel.clear();
        state_.largestFragmentSavedLabel.clear();
        state_.percentFree = kPercentFreeNone;
        // The lifetime total keeps its value. No statistics request follows while no drive is watched,
        // so no wait is started that nothing would end.
    } else {
        BeginWait();
    }
    return effects;
}

Effects PanelCore::ShowDrive() {
    Effects effects;
    if (SelectedWatchedDrive()) {
        effects.push_back(Post{RequestData{}});
        effects.push_back(Post{RequestFreeSpace{}});
        BeginWait();
    }
    return effects;
}

Effects PanelCore::RequestStatistics() {
    Effects effects;
    if (std::optional<std::wstring> drive = SelectedWatchedDrive()) {
        SendChecked(effects, *drive, proto::kWordGetData);
        state_.fragmentsSavedLabel = std::wstring(kLabelPrefixFragmentsSaved) + *drive;
        state_.filesLeftLabel = std::wstring(kLabelPrefixFilesLeft) + *drive;
        state_.largestFragmentSavedLabel = std::wstring(kLabelPrefixLargestFragmentSaved) + *drive;
    }
    return effects;
}

Effects PanelCore::RequestFreeSpaceOf() {
    Effects effects;
    if (std::optional<std::wstring> drive = SelectedWatchedDrive())
        SendChecked(effects, *drive, proto::kWordFreeSpace);
    return effects;
}

Effects PanelCore::AddExclusion() {
    Effects effects;
    if (std::optional<std::wstring> drive = SelectedWatchedDrive()) {
        const std::wstring path = UpperCase(state_.exclusionPath);
        std::wstring argument = *drive + path;
        // The service stores no more than its bounds and says so only in its trace: tell the user here.
        if (ToUtf16(path).size() > proto::kMaxExclusionLength)
            state_.notice = Format(L"Not added: an excluded path is at most %u characters long",
                                   static_cast<unsigned>(proto::kMaxExclusionLength));
        else if (state_.exclusions.entries.size() >= proto::kMaxExclusions)
            state_.notice = Format(L"Not added: a drive has at most %u excluded paths; remove one first",
                                   static_cast<unsigned>(proto::kMaxExclusions));
        else if (std::optional<std::wstring> refusal = ExclusionRefusal(argument, proto::kWordAddExclude))
            state_.notice = std::move(*refusal);
        else
            effects.push_back(Send{std::move(argument), std::wstring(proto::kWordAddExclude)});
    }
    return effects;
}

Effects PanelCore::RemoveExclusion() {
    Effects effects;
    ListState& list = state_.exclusions;
    if (list.entries.empty())
        return effects;
    const int index = InRange(list, list.selected) ? list.selected : 0;
    const std::wstring entry = list.entries[static_cast<std::size_t>(index)];
    std::optional<std::wstring> drive = SelectedWatchedDrive();
    if (!drive)
        return effects;
    std::wstring argument = *drive + entry;
    if (std::optional<std::wstring> refusal = ExclusionRefusal(argument, proto::kWordDeleteExclude)) {
        // Not sent: the entry stays listed, as it stays in force.
        state_.notice = std::move(*refusal);
        return effects;
    }
    DeleteEntry(list, index);
    effects.push_back(Send{std::move(argument), std::wstring(proto::kWordDeleteExclude)});
    return effects;
}

Effects PanelCore::SetDefragOnly(bool checked) {
    Effects effects;
    state_.defragOnly = checked;
    if (std::optional<std::wstring> drive = SelectedWatchedDrive()) {
        const std::int32_t flag = checked ? 1 : 0;
        state_.defragOnly = flag != 0;
        SendChecked(effects, std::wstring(), proto::DefragOnlyRecord::Build(*drive, flag, L""));
    }
    return effects;
}

Effects PanelCore::DriveReported(int driveIndex) {
    Effects effects;
    const wchar_t letter = proto::DriveLetter(driveIndex);
    if (letter == L'\0')
        return effects;  // no drive index: nothing to show
    auto holds = [letter](const ListState& list) {
        return std::any_of(list.entries.begin(), list.entries.end(),
                           [letter](const std::wstring& e) { return !e.empty() && e[0] == letter; });
    };
    if (!holds(state_.available) && !holds(state_.watching))
        state_.watching.entries.push_back(EntryOf(letter));
    if (!InRange(state_.watching, state_.watching.selected) && !state_.watching.entries.empty())
        state_.watching.selected = 0;
    if (!driveReportedOnce_) {
        driveReportedOnce_ = true;
        effects.push_back(Post{RequestData{}});
        effects.push_back(Post{RequestFreeSpace{}});
        StartTimer(effects, kTimerRequestData, kDataPeriod);
        StartTimer(effects, kTimerRequestFreeSpace, kFreeSpacePeriod);
    }
    state_.connected = true;
    return effects;
}

Effects PanelCore::VolumeChange(const DeviceEvent& event) {
    Effects effects;
    if (!event.dataPresent || event.deviceType != kDeviceTypeVolume)
        return effects;
    StopTimer(effects, kTimerStartWorkers);
    StartTimer(effects, kTimerStartWorkers, kVolumeStartDelay);
    effects.push_back(Post{StartWorkers{}});
    return effects;
}

Effects PanelCore::Close() {
    Effects effects;
    if (state_.quitFlag) {
        effects.push_back(StopListener{});
        StopTimer(effects, kTimerRequestData);
        StopTimer(effects, kTimerRequestFreeSpace);
        StopTimer(effects, kTimerStartWorkers);
        effects.push_back(PostQuit{});
        state_.closed = true;
    } else {
        state_.visible = false;
        effects.push_back(HideDialog{});
    }
    return effects;
}

Effects PanelCore::Tick(int id) {
    Effects effects;
    switch (id) {
        case kTimerRequestData:
            effects.push_back(Post{RequestData{}});
            break;
        case kTimerRequestFreeSpace:
            effects.push_back(Post{RequestFreeSpace{}});
            effects.push_back(CheckQuitEvent{});
            break;
        case kTimerStartWorkers:
            effects.push_back(Post{StartWorkers{}});
            StopTimer(effects, kTimerQuitCheck);
            break;
        case kTimerQuitCheck:
            effects.push_back(CheckQuitEvent{});
            break;
        default:
            break;
    }
    return effects;
}

Effects PanelCore::OnServiceReply(std::wstring_view message) {
    Effects effects;
    if (state_.closed)
        return effects;
    const std::optional<proto::Reply> reply = proto::ParseReply(message);
    if (!reply)
        return effects;
    switch (reply->code) {
        case proto::kCodeAvailableDrives:
            AvailableDrivesReply(reply->text);
            break;
        case proto::kCodeWatchedDrives:
            effects = WatchedDrivesReply(reply->text);
            break;
        case proto::kCodeStatistics:
        case proto::kCodeFreeSpace:
        case proto::kCodeExclusions:
        case proto::kCodeDefragOnly:
            // The drive-list request's 21 came and this is the answer to a later request: the service had
            // no available drive to list (it sends no empty 20), so none is.
            if (availableDue_) {
                availableDue_ = false;
                state_.available = ListState{};
            }
            DataReply(reply->code, reply->text);
            break;
        default:
            break;
    }
    FollowShownDrive();
    return effects;
}

void PanelCore::AvailableDrivesReply(const std::wstring& text) {
    if (!text.empty())
        state_.available = ListState{};
    for (std::wstring& entry : proto::SplitDriveList(text))
        InsertSorted(state_.available, std::move(entry));
    driveListAsked_ = false;
    availableDue_ = false;
    state_.connected = true;
}

Effects PanelCore::WatchedDrivesReply(const std::wstring& text) {
    Effects effects;
    ListState& list = state_.watching;
    // The selection stays on its drive while the drive is still listed (the service lists drives in
    // letter order, which need not be the order they were added in); else the first is selected.
    std::wstring noted;
    if (!list.entries.empty())
        noted = list.entries[InRange(list, list.selected) ? static_cast<std::size_t>(list.selected) : 0];
    list = ListState{};
    for (std::wstring& entry : proto::SplitDriveList(text)) {
        effects.push_back(Post{DriveWatched{proto::DriveIndex(entry[0])}});
        // A watched drive is not available, whatever an earlier 20 said.
        ListState& available = state_.available;
        for (int i = static_cast<int>(available.entries.size()) - 1; i >= 0; --i) {
            const std::wstring& other = available.entries[static_cast<std::size_t>(i)];
            if (!other.empty() && UpperCaseChar(other[0]) == UpperCaseChar(entry[0]))
                DeleteEntry(available, i);
        }
        list.entries.push_back(std::move(entry));
    }
    const auto again = std::find(list.entries.begin(), list.entries.end(), noted);
    if (!noted.empty() && again != list.entries.end())
        list.selected = static_cast<int>(again - list.entries.begin());
    else if (!list.entries.empty())
        list.selected = 0;
    if (driveListAsked_) {
        // The answer to "GetWatchingDrives"; the one to "GetAvailableDrives" is next, if any.
        driveListAsked_ = false;
        availableDue_ = true;
    }
    state_.connected = true;
    return effects;
}

void PanelCore::DataReply(int code, const std::wstring& text) {
    switch (code) {
        case proto::kCodeStatistics:
            // A 22 begins the answer to one "GetData". Only a whole group of six fields is shown; a
            // shorter reply changes nothing, and leaves a pending wait to the next whole one.
            group_ = DataGroup{};
            group_->statistics = proto::SplitStatistics(text);
            break;
        case proto::kCodeFreeSpace:
            // Of the drive on show; one that comes after the last watched drive went is of none.
            if (ShownDrive() != L'\0')
                state_.percentFree = text;
            break;
        case proto::kCodeExclusions:
            if (!group_)
                group_ = DataGroup{};
            group_->exclusions = proto::SplitExclusions(text);
            break;
        case proto::kCodeDefragOnly: {
            // The 25 ends the group and names its drive: the request's first character.
            const DataGroup group = group_.value_or(DataGroup{});
            group_.reset();
            const wchar_t drive = UpperCaseChar(proto::DefragOnlyRecord::Parse(text).drive);
            if (drive == L'\0' || drive != ShownDrive())
                break;  // the answer for a drive no longer on show
            if (const auto& numbers = group.statistics) {
                state_.filesLeft = (*numbers)[0];
                state_.fragmentsSaved = (*numbers)[1];
                state_.largestFragmentSaved = (*numbers)[2];
                state_.totalFilesLeft = (*numbers)[3];
                state_.totalFragmentsSaved = (*numbers)[4];
                state_.lifetimeFragmentsSaved = (*numbers)[5];
                state_.waitPending = false;
            }
            // No 24 in the group: the drive has no exclusions. The same list again keeps its selection.
            const std::vector<std::wstring> entries = group.exclusions.value_or(std::vector<std::wstring>{});
            ListState list;
            for (const std::wstring& entry : entries)
                InsertSorted(list, entry);
            if (list.entries == state_.exclusions.entries)
                list.selected = state_.exclusions.selected;
            state_.exclusions = std::move(list);
            state_.defragOnly = proto::DefragOnlyChecked(text);
            break;
        }
        default:
            break;
    }
}

}  // namespace kestrel::panel
