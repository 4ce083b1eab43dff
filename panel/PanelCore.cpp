#include "panel/PanelCore.h"

#include <algorithm>
#include <utility>

#include "common/UpperCase.h"
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

}  // namespace

bool ReadsAsItsOwnCommand(std::wstring_view argument, std::wstring_view word) {
    const proto::Command wanted = proto::FindCommand(word).command;
    const proto::KeywordMatch found = proto::FindCommand(proto::ComposeRequest(argument, word));
    return found.command == wanted && found.position >= argument.size();
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
    // A notice lasts until the user's next action.
    if (!std::holds_alternative<ServiceReply>(input) && !std::holds_alternative<TimerTick>(input) &&
        !std::holds_alternative<RequestData>(input) && !std::holds_alternative<RequestFreeSpace>(input))
        state_.notice.clear();
    return std::visit(
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
        },
        input);
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
    if (std::optional<std::wstring> drive = SelectedWatchedDrive())
        SendChecked(effects, *drive + UpperCase(state_.exclusionPath), proto::kWordAddExclude);
    return effects;
}

Effects PanelCore::RemoveExclusion() {
    Effects effects;
    ListState& list = state_.exclusions;
    if (list.entries.empty())
        return effects;
    const int index = InRange(list, list.selected) ? list.selected : 0;
    const std::wstring entry = list.entries[static_cast<std::size_t>(index)];
    DeleteEntry(list, index);
    if (std::optional<std::wstring> drive = SelectedWatchedDrive())
        SendChecked(effects, *drive + entry, proto::kWordDeleteExclude);
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
        case proto::kCodeAvailableDrives: {
            if (!reply->text.empty())
                state_.available = ListState{};
            for (std::wstring& entry : proto::SplitDriveList(reply->text))
                InsertSorted(state_.available, std::move(entry));
            state_.connected = true;
            break;
        }
        case proto::kCodeWatchedDrives: {
            ListState& list = state_.watching;
            if (!InRange(list, list.selected) && !list.entries.empty())
                list.selected = 0;
            const int noted = list.selected;
            list = ListState{};
            for (std::wstring& entry : proto::SplitDriveList(reply->text)) {
                effects.push_back(Post{DriveWatched{proto::DriveIndex(entry[0])}});
                list.entries.push_back(std::move(entry));
            }
            if (InRange(list, noted))
                list.selected = noted;
            else if (!list.entries.empty())
                list.selected = 0;
            state_.connected = true;
            break;
        }
        case proto::kCodeStatistics: {
            // Only a whole group of six fields is shown; a shorter reply changes nothing, and leaves a
            // pending wait to the next whole one.
            if (std::optional<std::array<std::wstring, 6>> group = proto::SplitStatistics(reply->text)) {
                state_.filesLeft = (*group)[0];
                state_.fragmentsSaved = (*group)[1];
                state_.largestFragmentSaved = (*group)[2];
                state_.totalFilesLeft = (*group)[3];
                state_.totalFragmentsSaved = (*group)[4];
                state_.lifetimeFragmentsSaved = (*group)[5];
                state_.waitPending = false;
            }
            break;
        }
        case proto::kCodeFreeSpace:
            state_.percentFree = reply->text;
            break;
        case proto::kCodeExclusions: {
            state_.exclusions = ListState{};
            for (std::wstring& entry : proto::SplitExclusions(reply->text))
                InsertSorted(state_.exclusions, std::move(entry));
            break;
        }
        case proto::kCodeDefragOnly:
            state_.defragOnly = proto::DefragOnlyChecked(reply->text);
            break;
        default:
            break;
    }
    return effects;
}

}  // namespace kestrel::panel
