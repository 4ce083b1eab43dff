// The command thread and the handling of each request. The protocol itself (keyword search, reply name,
// reply lines) is common/protocol/; this file puts it together with the mailslots and the drive set.
#include "service/core/CommandThread.h"

#include <algorithm>
#include <exception>

#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Reply.h"
#include "platform/Time.h"
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

}  // namespace

CommandHandler::CommandHandler(drives::DriveSet& driveSet, drives::DiskInstanceSource physicalDisks,
                               InstanceListSink keepInstances, ReplyWriterFactory writers,
                               std::wstring commandMailslot)
    : driveSet_(driveSet),
      physicalDisks_(std::move(physicalDisks)),
      keepInstances_(std::move(keepInstances)),
      writers_(std::move(writers)),
      commandMailslot_(std::move(commandMailslot)) {}

Command CommandHandler::Handle(std::wstring_view text) {
    const Request request = protocol::ParseRequest(text);
    try {
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
    ReplySender sender(writers_);
    OpenSender(request, sender);
    driveSet_.StopWatching(request.DriveString());
    const std::wstring watched = driveSet_.WatchedDrives();
    if (!watched.empty())
        sender.Send(protocol::kCodeWatchedDrives, watched);
}

void CommandHandler::GetWatchingDrives(const Request& request) {
    const std::wstring watched = driveSet_.WatchedDrives();
    ReplySender sender(writers_);
    OpenSender(request, sender);
    if (!watched.empty())
        sender.Send(protocol::kCodeWatchedDrives, watched);
}

void CommandHandler::GetAvailableDrives(const Request& request) {
    const std::wstring available = driveSet_.AvailableDrives();
    if (available.empty())
        return;
    ReplySender sender(writers_);
    OpenSender(request, sender);
    sender.Send(protocol::kCodeAvailableDrives, available);
}

void CommandHandler::Watch(const Request& request) {
    const std::wstring drive = request.DriveString();
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
    ReplySender sender(writers_);
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
    ReplySender sender(writers_);
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
    ReplySender sender(writers_);
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
    ReplySender sender(writers_);
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
    while (!service->StopRequested()) {
        timing::Sleep(kCommandPoll);
        for (int handled = 0; handled < kRequestsPerPass && !service->StopRequested(); ++handled) {
            const std::wstring text = reader->Read();
            if (text.empty())
                break;
            std::lock_guard lock(service->driveSetLock_);
            handler.Handle(text);
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
