// The command thread and the handling of each request. The protocol itself (keyword search, reply name,
// reply lines) is common/protocol/; this file puts it together with the mailslots and the drive set.
#include "service/core/CommandThread.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "common/Format.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Reply.h"
#include "platform/Time.h"
#include "platform/Trace.h"
#include "service/core/DefragService.h"
#include "service/watcher/DiskInstances.h"

namespace kestrel::core {
namespace {

using protocol::Command;
using protocol::Request;

// How long the command thread sleeps before each read (nominal milliseconds).
constexpr timing::Millis kCommandPoll = 1000;
// Requests handled after one sleep at most. The panel sends a few requests every five seconds, which one
// a pass would serve; but any local process may write to the command mailslot, and at one a pass a burst
// of requests would hold every later one (the panel's too) back for as long as the backlog lasts: hours
// for a full queue. So a pass works through what has arrived, up to this bound, and the stop flag is
// still looked at between requests.
constexpr int kRequestsPerPass = 256;
// When a pass ends at that bound more requests are waiting, and the next pass begins after this short
// pause instead of the whole poll: a sustained flood is then worked off as fast as the requests can be
// handled, so a request that arrives behind it (the panel's) waits for the backlog, not for one poll per
// 256 requests of it. Once the mailslot is empty the thread is back at its one look a poll.
constexpr timing::Millis kBacklogPause = 1;
// The bounds of CommandHandler::LimitCosts, per poll period: requests that change settings or watchers
// acted on, and how long one reply and all replies together may wait for room in full client
// mailslots (real milliseconds).
constexpr int kChangesPerPoll = 64;
constexpr std::uint32_t kRoomWaitPerReplyMs = 20;
constexpr std::uint32_t kRoomWaitPerPollMs = 100;
}  // namespace

CommandHandler::CommandHandler(drives::DriveSet& driveSet, drives::DiskInstanceSource physicalDisks,
                               InstanceListSink keepInstances, ReplyWriterFactory writers,
                               std::wstring commandMailslot)
    : driveSet_(driveSet),
      physicalDisks_(std::move(physicalDisks)),
      keepInstances_(std::move(keepInstances)),
      writers_(std::move(writers)),
      commandMailslot_(std::move(commandMailslot)) {}

void CommandHandler::LimitCosts(int changesPerWindow, std::uint32_t roomWaitPerReplyMs,
                                std::uint32_t roomWaitPerWindowMs, std::uint64_t windowMs) {
    limited_ = true;
    changesPerWindow_ = changesPerWindow;
    roomWaitPerWindowMs_ = roomWaitPerWindowMs;
    roomWait_.perReply = roomWaitPerReplyMs;
    roomWait_.left = roomWaitPerWindowMs;
    windowMs_ = windowMs;
    windowStart_ = timing::NowMs();
    changesInWindow_ = 0;
}

void CommandHandler::Refill() {
    const std::uint64_t now = timing::NowMs();
    if (now - windowStart_ < windowMs_)
        return;
    windowStart_ = now;
    changesInWindow_ = 0;
    roomWait_.left = roomWaitPerWindowMs_;
}

bool CommandHandler::AdmitChange() {
    if (!limited_)
        return true;
    if (changesInWindow_ < changesPerWindow_) {
        ++changesInWindow_;
        return true;
    }
    if (changesInWindow_++ == changesPerWindow_) {
        trace::Write(
            Format(L"More than %d requests to change settings or watched drives within %d ms: "
                   L"the rest of them are dropped until the next period",
                   changesPerWindow_, static_cast<int>(windowMs_)));
    }
    ++droppedChanges_;
    return false;
}

Command CommandHandler::Handle(std::wstring_view text) {
    if (limited_)
        Refill();
    const Request request = protocol::ParseRequest(text);
    try {
        switch (request.command) {
            case Command::QuitWatch:
            case Command::Watch:
            case Command::DefragOnly:
            case Command::AddExclude:
            case Command::DeleteExclude:
                if (!AdmitChange())
                    return request.command;
                break;
            default:
                break;
        }
        switch (request.command) {
            case Command::QuitWatch:
                QuitWatch(request);
                break;
            case Command::GetWatchingDrives:
                GetWatchingDrives(request);
                break;
            case Command::GetAvailableDrives:
                GetAvailableDrives(request);
                break;
            case Command::Watch:
                Watch(request);
                break;
            case Command::CurrentFile:
                break;
            case Command::GetData:
                GetData(request);
                break;
            case Command::FreeSpace:
                FreeSpace(request);
                break;
            case Command::DefragOnly:
                DefragOnly(request);
                break;
            case Command::AddExclude:
                Exclude(request, true);
                break;
            case Command::DeleteExclude:
                Exclude(request, false);
                break;
            case Command::None:
                break;
        }
    } catch (...) {
        // No request may end the command thread; what the command did before the failure stands.
    }
    return request.command;
}

void CommandHandler::OpenSender(const Request& request, ReplySender& sender) const {
    std::optional<std::wstring> target = request.ReplyTarget();
    if (target && !protocol::SameMailslotName(*target, commandMailslot_))
        sender.Open(*target);
}

void CommandHandler::QuitWatch(const Request& request) {
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    driveSet_.StopWatching(request.DriveString());
    const std::wstring watched = driveSet_.WatchedDrives();
    if (!watched.empty())
        sender.Send(protocol::kCodeWatchedDrives, watched);
}

void CommandHandler::GetWatchingDrives(const Request& request) {
    const std::wstring watched = driveSet_.WatchedDrives();
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    if (!watched.empty())
        sender.Send(protocol::kCodeWatchedDrives, watched);
}

void CommandHandler::GetAvailableDrives(const Request& request) {
    const std::wstring available = driveSet_.AvailableDrives();
    if (available.empty())
        return;
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    sender.Send(protocol::kCodeAvailableDrives, available);
}

void CommandHandler::Watch(const Request& request) {
    const std::wstring drive = request.DriveString();
    // A drive whose watcher runs is watched already. Built anew, its watcher would first wait for the
    // running one's threads to end (the file under way, a pause of the defragmentation thread) while
    // every other request waits, and its queued files would start their rest again.
    if (driveSet_.WatcherRunning(request.driveIndex)) {
        driveSet_.StartWatching(std::wstring_view(drive));  // records it as watched, should that be lost
        return;
    }
    try {
        const std::vector<std::wstring> instances =
            physicalDisks_ ? physicalDisks_() : std::vector<std::wstring>();
        if (keepInstances_)
            keepInstances_(instances);
        const std::wstring instance = watcher::FindDiskInstance(instances, drive);
        driveSet_.CreateWatcher(drive, instance);
        driveSet_.StartWatching(std::wstring_view(drive));
    } catch (...) {
        driveSet_.DeleteWatcher(std::wstring_view(drive));
    }
}

void CommandHandler::GetData(const Request& request) {
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    const int index = request.driveIndex;  // kNoDrive unless the first character is A-Z

    protocol::Statistics numbers;
    for (int slot = 0; slot < drives::kDriveSlots; ++slot) {
        if (driveSet_.WatcherAt(slot) == nullptr)
            continue;
        numbers.totalFilesLeft += driveSet_.FilesLeft(slot);
        numbers.totalFragmentsSaved += driveSet_.FragmentsSaved(slot);
    }
    if (driveSet_.WatcherAt(index) != nullptr) {
        numbers.filesLeft = std::max<std::int64_t>(driveSet_.FilesLeft(index), 0);
        numbers.fragmentsSaved = std::max<std::int64_t>(driveSet_.FragmentsSaved(index), 0);
        numbers.largestFragmentsSaved = std::max<std::int64_t>(driveSet_.LargestFragmentsSaved(index), 0);
    }
    numbers.lifetimeFragmentsSaved = driveSet_.LifeTimeTotal();
    sender.SendNumbers(numbers);

    if (drives::DriveSet::IsDriveIndex(index)) {
        const std::wstring exclusions =
            protocol::ExclusionsText(driveSet_.GetExclusions(drives::DriveSet::DriveRoot(index)));
        if (!exclusions.empty())
            sender.Send(protocol::kCodeExclusions, exclusions);
    }

    const std::uint32_t move = drives::DriveSet::IsDriveIndex(index) ? driveSet_.ReadMove(index) : 1u;
    const std::wstring_view first = std::wstring_view(&request.driveLetter, request.driveLetter ? 1 : 0);
    sender.Send(protocol::kCodeDefragOnly,
                protocol::DefragOnlyRecord::Build(first, protocol::FlagForMove(move), request.replyName));
}

void CommandHandler::FreeSpace(const Request& request) {
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    const int index = request.driveIndex;
    std::int64_t volume = 0;
    std::int64_t free = 0;
    if (driveSet_.WatcherAt(index) != nullptr) {
        // The whole 64-bit counts: cut to 32 bits, a volume of more than 2^31 clusters would show a
        // wrong percentage or none.
        volume = driveSet_.VolumeClusters(index);
        free = driveSet_.FreeClusters(index);
    }
    sender.Send(protocol::kCodeFreeSpace, protocol::FreeSpaceText(free, volume));
}

void CommandHandler::DefragOnly(const Request& request) {
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    const protocol::DefragOnlyRecord& record = request.defragOnly;
    const std::wstring drive = record.drive ? std::wstring(1, record.drive) : std::wstring();
    const std::uint32_t move = protocol::MoveForFlag(record.flag);
    driveSet_.WriteMove(drive, move);
    // The setting is stored; a drive without a watcher picks it up when its watcher is created.
    if (driveSet_.WatcherAt(protocol::DriveIndex(record.drive)) != nullptr)
        driveSet_.SetMove(std::wstring_view(drive), move != 0);
}

void CommandHandler::Exclude(const Request& request, bool add) {
    ReplySender sender(writers_, RoomWait());
    OpenSender(request, sender);
    // A keyword before the path's place (index 3) leaves no path: nothing to add or remove.
    if (!request.exclusionPath)
        return;
    const std::wstring drive = request.DriveString();
    if (add)
        driveSet_.AddExclusion(drive, *request.exclusionPath);
    else
        driveSet_.RemoveExclusion(drive, *request.exclusionPath);
}

std::uint32_t DefragService::CommandThread(DefragService* service) {
    if (service->platform_.idlePriority)
        threads::SetCurrentThreadIdlePriority();
    try {
        std::lock_guard lock(service->driveSetLock_);
        service->driveSet_->Rescan();
    } catch (...) {
        // Drives that could not be looked at are looked at again on the next device event.
    }
    service->Trace(L"Command Thread started");
    auto reader = std::make_unique<MailslotReader>();
    // When the slot cannot be created every read is empty and the thread only idles until stopped.
    reader->Create(service->platform_.commandMailslot, true);

    CommandHandler handler(
        *service->driveSet_, service->platform_.physicalDisks,
        [service](const std::vector<std::wstring>& names) { service->KeepDiskInstances(names); },
        service->platform_.replyWriters, service->platform_.commandMailslot);
    handler.LimitCosts(kChangesPerPoll, kRoomWaitPerReplyMs, kRoomWaitPerPollMs,
                       timing::Scaled(kCommandPoll));
    bool backlog = false;
    std::uint64_t drivesChecked = timing::NowMs();
    while (!service->StopRequested()) {
        timing::Sleep(backlog ? kBacklogPause : kCommandPoll);
        int handled = 0;
        for (; handled < kRequestsPerPass && !service->StopRequested(); ++handled) {
            // A message with an empty text is a message all the same: only an empty mailslot ends the
            // pass, or empty messages would each cost a whole poll.
            const std::optional<std::wstring> text = reader->ReadMessage();
            if (!text)
                break;
            std::lock_guard lock(service->driveSetLock_);
            handler.Handle(*text);
        }
        backlog = handled == kRequestsPerPass;
        // Drives that went away or came back with no device event to tell: once a poll, flood or not.
        if (!service->StopRequested() && timing::NowMs() - drivesChecked >= timing::Scaled(kCommandPoll)) {
            drivesChecked = timing::NowMs();
            try {
                std::lock_guard lock(service->driveSetLock_);
                service->driveSet_->CheckDrives();
            } catch (...) {
                // Looked at again on the next poll.
            }
        }
    }

    try {
        std::lock_guard lock(service->driveSetLock_);
        service->driveSet_->Shutdown();
    } catch (...) {
        // What could not be saved is lost; the watchers still end with the drive set.
    }
    service->Trace(L"Command Thread exiting");
    reader.reset();
    return 1;
}

}  // namespace kestrel::core
