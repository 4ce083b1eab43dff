#include "service/drives/DriveSet.h"

#include <algorithm>
#include <limits>
#include <list>
#include <stdexcept>

#include "common/Format.h"
#include "common/protocol/Protocol.h"
#include "platform/Trace.h"
#include "service/watcher/DiskInstances.h"

namespace kestrel::drives {

DriveSet::DriveSet(reg::Registry& registry, reg::RawKey root, std::wstring parametersPath, bool scanAtStart,
                   DriveSetPlatform platform)
    : platform_(std::move(platform)),
      drives_(platform_.watchers.drives != nullptr ? *platform_.watchers.drives : DefaultDrives()),
      store_(registry, root, std::move(parametersPath)) {
    lifeTime_ = store_.LoadLifeTime();
    store_.CreateKeys();
    if (scanAtStart)
        Rescan();
}

DriveSet::~DriveSet() {
    store_.SaveLifeTime(LifeTimeTotal());
    for (Slot& slot : slots_)
        slot = Slot{};
    std::lock_guard lock(availableLock_);
    available_.clear();
}

int DriveSet::DriveIndex(std::wstring_view drive) {
    return drive.empty() ? 0 : static_cast<int>(drive.front()) - 64;
}

std::wstring DriveSet::DriveRoot(int index) {
    if (!IsDriveIndex(index))
        return {};
    return std::wstring{static_cast<wchar_t>(L'A' + index - 1), L':', L'\\'};
}

int DriveSet::CheckedIndex(std::wstring_view drive) {
    return SettingsStore::IndexOf(drive).value_or(0);
}

DriveSet::Slot* DriveSet::SlotOf(int index) {
    return IsDriveIndex(index) ? &slots_[static_cast<std::size_t>(index)] : nullptr;
}

const DriveSet::Slot* DriveSet::SlotOf(int index) const {
    return IsDriveIndex(index) ? &slots_[static_cast<std::size_t>(index)] : nullptr;
}

watcher::Watcher& DriveSet::Need(int index) {
    Slot* slot = SlotOf(index);
    if (slot == nullptr || !slot->watcher)
        throw DefragInfoException();
    return *slot->watcher;
}

int DriveSet::Rescan() {
    std::vector<std::wstring> found;
    for (int index = 3; index <= 26; ++index) {
        const std::wstring root = DriveRoot(index);
        const std::uint32_t type = drives_.DriveType(root);
        const bool qualifies = type == kDriveRemovable || type == kDriveFixed;
        Slot& slot = slots_[static_cast<std::size_t>(index)];
        if (slot.watcher) {
            // A watcher is only as good as its drive: one whose drive went away would hold the root
            // open (keeping a removable drive from being removed safely) and receive nothing, and after
            // the drive returns it would still look watched while nothing arrives.
            // A drive watched on request keeps its watcher whatever its type, as long as it is there.
            if (type == kDriveNoRootDir || type == kDriveUnknown || !drives_.DriveReady(root))
                DropWatcher(index, L"is gone");
            else if (drives_.VolumeIdentity(root) != slot.volume)
                DropWatcher(index, L"holds another volume");
            else if (!slot.watcher->ChangeSourceAlive())
                DropWatcher(index, L"reports no more changes");
        }
        if (!qualifies)
            continue;
        found.push_back(root);
        if (store_.IsWatching(index))
            StartWatcher(index);
    }
    std::lock_guard lock(availableLock_);
    available_ = std::move(found);
    return 0;
}

void DriveSet::CheckDrives() {
    bool look = false;
    for (int index = 3; index <= 26; ++index) {
        const Slot& slot = slots_[static_cast<std::size_t>(index)];
        if (slot.watcher) {
            if (slot.started && !slot.watcher->ChangeSourceAlive())
                look = true;
            else if (slot.started && !drives_.SignalsVolumeChanges() &&
                     drives_.VolumeIdentity(DriveRoot(index)) != slot.volume)
                look = true;  // replaced or covered by a mount, and nothing else tells
        } else if (dropped_[static_cast<std::size_t>(index)] && drives_.DriveReady(DriveRoot(index))) {
            look = true;
        }
    }
    if (!look)
        return;
    Rescan();
    // A dropped drive that is back has been looked at: watched again, or not wanted any more.
    for (int index = 3; index <= 26; ++index) {
        if (slots_[static_cast<std::size_t>(index)].watcher || drives_.DriveReady(DriveRoot(index)))
            dropped_[static_cast<std::size_t>(index)] = false;
    }
}

bool DriveSet::WatcherRunning(int index) {
    const Slot* slot = SlotOf(index);
    if (slot == nullptr || !slot->watcher || !slot->started)
        return false;
    const std::wstring root = DriveRoot(index);
    return drives_.DriveReady(root) && drives_.VolumeIdentity(root) == slot->volume &&
           slot->watcher->ChangeSourceAlive();
}

void DriveSet::DropWatcher(int index, const wchar_t* why) {
    Slot* slot = SlotOf(index);
    if (slot == nullptr || !slot->watcher)
        return;
    std::list<watcher::FileEntry> pending;
    slot->watcher->GetFileListAndExit(pending);
    std::vector<std::wstring> paths;
    paths.reserve(pending.size());
    for (const watcher::FileEntry& entry : pending)
        paths.push_back(entry.path);
    // Written before the watcher goes, which may take its threads a while.
    SaveQueue(index, paths, true);
    trace::Write(Format(L"Drive %s %s: its watcher ends, %d files kept for its return\n", DriveRoot(index),
                        why, static_cast<int>(paths.size())));
    ClearSlot(*slot);
    dropped_[static_cast<std::size_t>(index)] = true;
}

void DriveSet::SaveQueue(int index, const std::vector<std::wstring>& paths, bool replace) {
    if (replace || stateSaved_)
        store_.DropQueue(index);
    store_.SaveQueue(DriveRoot(index), paths);
}

std::wstring DriveSet::DiskInstanceFor(const std::wstring& root) {
    if (!platform_.diskInstances)
        return {};
    const std::wstring name = watcher::FindDiskInstance(platform_.diskInstances(), root);
    if (name.empty())
        return {};
    // The first name chosen for a drive stays its name, so that every watcher of that drive shares
    // one idle event even if the instance list changes meanwhile. A watcher needs nothing but the name:
    // the idle event it names is created by the watcher itself and shared by every watcher on the disk,
    // so the cache holds no event and no probe of whether one already exists is needed.
    auto [record, inserted] = diskRecords_.emplace(root, name);
    return record->second;
}

bool DriveSet::StartWatcher(int index) {
    Slot* slot = SlotOf(index);
    if (slot == nullptr)
        return false;
    // Asked of the drive directly rather than by making it the process's current drive and back,
    // which would change the current directory under every other thread of the service.
    const std::wstring root = DriveRoot(index);
    if (!drives_.DriveReady(root))
        return false;  // retried at the next scan
    if (slot->watcher || !store_.IsWatching(index))
        return true;
    try {
        CreateWatcher(root, DiskInstanceFor(root));
        watcher::Watcher& w = *slot->watcher;
        store_.RestoreQueue(index, [&w](const std::wstring& path) { w.AddFileToDefragList(path); });
        SetMove(index, ReadMove(index) != 0);
        StartWatching(index);
        return true;
    } catch (const std::exception& e) {
        const std::string what = e.what();
        trace::Write(Format(L"Cannot watch drive %s: %s\n", root, std::wstring(what.begin(), what.end())));
        DeleteWatcher(index);
        return false;
    }
}

void DriveSet::CreateWatcher(std::wstring_view drive, const std::wstring& diskInstanceName) {
    const int index = CheckedIndex(drive);
    Slot* slot = SlotOf(index);
    if (slot == nullptr)
        throw std::invalid_argument("not a drive");
    const std::wstring root = DriveRoot(index);
    auto created = std::make_unique<watcher::Watcher>(root, diskInstanceName, platform_.watchers);
    if (slot->watcher) {
        // Files the old watcher still had queued are not dropped with it. It goes before the new one
        // opens the root.
        std::list<watcher::FileEntry> pending;
        slot->watcher->GetFileListAndExit(pending);
        ClearSlot(*slot);
        for (const watcher::FileEntry& entry : pending)
            created->AddFileToDefragList(entry.path);
    }
    const std::wstring volume = drives_.VolumeIdentity(root);
    if (!created->Prepare()) {
        // A watcher that cannot read its drive's changes is not kept: it would look watched and do
        // nothing. What its predecessor left waits in the store for the drive.
        const std::vector<std::wstring> inherited = created->PendingPaths();
        if (!inherited.empty())
            SaveQueue(index, inherited, true);
        throw std::runtime_error("No handle");
    }
    slot->watcher = std::move(created);
    slot->started = false;
    slot->volume = volume;
    slot->watcher->SetMoveFlag(store_.ReadMove(index) != 0);
    GetExclusions(root);
}

void DriveSet::StartWatching(int index) {
    watcher::Watcher& w = Need(index);
    Slot& slot = *SlotOf(index);
    if (!slot.started) {
        w.StartThreads();
        slot.started = true;
    }
    store_.SetWatching(DriveRoot(index));
}

void DriveSet::StartWatching(std::wstring_view drive) {
    StartWatching(CheckedIndex(drive));
}

bool DriveSet::StopWatching(std::wstring_view drive) {
    if (!store_.StopWatching(drive)) {
        // Without the record the drive would be watched again at the next start: it stays watched now
        // too, and is listed so, rather than vanishing from both lists.
        if (const int index = CheckedIndex(drive); WatcherAt(index) != nullptr)
            trace::Write(Format(L"Cannot stop watching drive %s: the settings store could not be written\n",
                                DriveRoot(index)));
        return false;
    }
    DeleteWatcher(drive);
    return true;
}

void DriveSet::DeleteWatcher(int index) {
    if (Slot* slot = SlotOf(index))
        ClearSlot(*slot);
}

void DriveSet::ClearSlot(Slot& slot) {
    if (slot.watcher) {
        // What the watcher saved is counted before it goes, and the sum the count follows drops by it:
        // otherwise the fragments the other watchers save would count only once their sum had climbed
        // back above the old one.
        LifeTimeTotal();
        const std::int32_t saved = std::max<std::int32_t>(slot.watcher->FragmentsSaved(), 0);
        highWater_ = std::max<std::int32_t>(highWater_ - saved, 0);
    }
    slot = Slot{};
}

void DriveSet::DeleteWatcher(std::wstring_view drive) {
    DeleteWatcher(CheckedIndex(drive));
}

watcher::Watcher& DriveSet::SetMove(int index, bool on) {
    watcher::Watcher& w = Need(index);
    w.SetMoveFlag(on);
    return w;
}

watcher::Watcher& DriveSet::SetMove(std::wstring_view drive, bool on) {
    return SetMove(CheckedIndex(drive), on);
}

bool DriveSet::QueueFile(int index, const std::wstring& path) {
    return Need(index).AddFileToDefragList(path);
}

void DriveSet::SaveAll() {
    // Every watcher stops first and only then is the lifetime count written: a file that a watcher was
    // still defragmenting when asked to stop is finished, and the fragments that saved count too. All are
    // told at once, so that N drives take the longest stop, not the sum of them.
    for (Slot& slot : slots_) {
        if (slot.watcher)
            slot.watcher->RequestStop();
    }
    std::array<std::list<watcher::FileEntry>, kDriveSlots> pending;
    for (int index = 1; index <= 26; ++index) {
        Slot& slot = slots_[static_cast<std::size_t>(index)];
        if (slot.watcher)
            slot.watcher->GetFileListAndExit(pending[static_cast<std::size_t>(index)]);
    }
    store_.SaveLifeTime(LifeTimeTotal());
    for (int index = 1; index <= 26; ++index) {
        Slot& slot = slots_[static_cast<std::size_t>(index)];
        if (!slot.watcher)
            continue;
        std::vector<std::wstring> paths;
        paths.reserve(pending[static_cast<std::size_t>(index)].size());
        for (const watcher::FileEntry& entry : pending[static_cast<std::size_t>(index)])
            paths.push_back(entry.path);
        SaveQueue(index, paths);
        slot = Slot{};
    }
    highWater_ = 0;  // every watcher is gone, and what they saved is counted
}

void DriveSet::SaveState() {
    // Each list is taken at once under its watcher's lock; nothing waits for a thread.
    std::array<std::vector<std::wstring>, kDriveSlots> pending;
    for (int index = 1; index <= 26; ++index) {
        if (watcher::Watcher* w = WatcherAt(index))
            pending[static_cast<std::size_t>(index)] = w->PendingPaths();
    }
    store_.SaveLifeTime(LifeTimeTotal());
    for (int index = 1; index <= 26; ++index) {
        if (WatcherAt(index) != nullptr)
            SaveQueue(index, pending[static_cast<std::size_t>(index)]);
    }
    stateSaved_ = true;
}

watcher::Watcher* DriveSet::WatcherAt(int index) const {
    const Slot* slot = SlotOf(index);
    return slot != nullptr ? slot->watcher.get() : nullptr;
}

std::int32_t DriveSet::FragmentsSaved(int index) const {
    const watcher::Watcher* w = WatcherAt(index);
    return w != nullptr ? w->FragmentsSaved() : 0;
}

std::int32_t DriveSet::FilesLeft(int index) const {
    const watcher::Watcher* w = WatcherAt(index);
    return w != nullptr ? w->FilesLeft() : 0;
}

std::int32_t DriveSet::LargestFragmentsSaved(int index) const {
    const watcher::Watcher* w = WatcherAt(index);
    return w != nullptr ? w->LargestFragmentsSaved() : 0;
}

std::int64_t DriveSet::VolumeClusters(int index) const {
    const watcher::Watcher* w = WatcherAt(index);
    return w != nullptr ? w->VolumeClusters() : 0;
}

std::int64_t DriveSet::FreeClusters(int index) const {
    const watcher::Watcher* w = WatcherAt(index);
    return w != nullptr ? w->FreeClusters() : 0;
}

std::wstring DriveSet::WatchedDrives() const {
    std::wstring text;
    for (const Slot& slot : slots_) {
        if (slot.watcher)
            text += slot.watcher->DrivePath();
    }
    return text;
}

std::wstring DriveSet::AvailableDrives() {
    std::lock_guard lock(availableLock_);
    std::wstring text;
    for (const std::wstring& root : available_) {
        if (!store_.IsWatching(root))
            text += root;
    }
    return text;
}

std::int32_t DriveSet::LifeTimeTotal() {
    std::int64_t sum = 0;
    for (const Slot& slot : slots_) {
        if (slot.watcher)
            sum += slot.watcher->FragmentsSaved();
    }
    if (sum != 0 && sum > highWater_) {
        // The count saturates instead of wrapping after two thousand million fragments.
        const std::int64_t total = std::int64_t{lifeTime_} + (sum - highWater_);
        lifeTime_ = static_cast<std::int32_t>(
            std::min<std::int64_t>(total, std::numeric_limits<std::int32_t>::max()));
        highWater_ =
            static_cast<std::int32_t>(std::min<std::int64_t>(sum, std::numeric_limits<std::int32_t>::max()));
    }
    trace::Write(Format(L"LifeTime frags saved = %d", lifeTime_));
    return lifeTime_;
}

std::vector<std::wstring> DriveSet::GetExclusions(std::wstring_view drive) {
    watcher::Watcher* w = WatcherAt(CheckedIndex(drive));
    if (w == nullptr)
        return store_.GetExclusions(drive);
    return store_.GetExclusions(drive, [w](const std::wstring& path) { w->AddExcludeName(path); });
}

bool DriveSet::AddExclusion(std::wstring_view drive, std::wstring_view path) {
    using Add = SettingsStore::ExclusionAdd;
    watcher::Watcher* w = WatcherAt(CheckedIndex(drive));
    PathSink sink;
    if (w != nullptr)
        sink = [w](const std::wstring& stored) { w->AddExcludeName(stored); };
    const Add result = store_.TryAddExclusion(drive, path, sink);
    // The command channel sends no answer to an exclusion request; a refusal is told in the trace.
    std::wstring reason;
    switch (result) {
        case Add::Empty:
            reason = L"it is empty";
            break;
        case Add::TooLong:
            reason = Format(L"longer than %u characters", protocol::kMaxExclusionLength);
            break;
        case Add::Separator:
            reason = Format(L"it holds \"%c\"", protocol::kExclusionSeparator);
            break;
        case Add::ListFull:
            reason = Format(L"the drive already has %u exclusions", protocol::kMaxExclusions);
            break;
        default:
            break;
    }
    if (!reason.empty())
        trace::Write(Format(L"Exclusion refused for drive %c: %s\n", drive.front(), reason));
    return result == Add::Added;
}

bool DriveSet::RemoveExclusion(std::wstring_view drive, std::wstring_view path) {
    std::vector<std::wstring> remaining;
    if (!store_.RemoveExclusion(drive, path, &remaining))
        return false;
    if (watcher::Watcher* w = WatcherAt(CheckedIndex(drive)))
        w->ReplaceExclusions(remaining);
    return true;
}

std::uint32_t DriveSet::ReadMove(int index) {
    return store_.ReadMove(index);
}

std::uint32_t DriveSet::ReadMove(std::wstring_view drive) {
    return store_.ReadMove(drive);
}

void DriveSet::WriteMove(std::wstring_view drive, std::uint32_t value) {
    store_.WriteMove(drive, value);
}

bool DriveSet::IsWatching(std::wstring_view drive) {
    return store_.IsWatching(drive);
}

}  // namespace kestrel::drives
