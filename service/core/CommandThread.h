// The command channel's service side: CommandHandler acts on one request text (keyword search, the
// drive set, the replies), and the command thread (DefragService::CommandThread) feeds it from the
// command mailslot once a second (at once again while a flood leaves more waiting) until the service
// stops.
//
// The handler needs no thread and no mailslot of its own beyond the reply writers its factory makes, so
// tests and the fuzz target drive it directly with request texts.
//
// Replies go only to a reply name that is a plain local mailslot name ("\\.\mailslot\NAME") other than
// the service's own command mailslot (compared without regard to case, as mailslot names are): a
// request naming anything else, or nothing, is still acted on, but nothing is opened or written for it.
// Answered into the command mailslot, a code-25 line would come back as a "DEFRAGONLY" request. A first
// character that is no drive letter A-Z never indexes the drive table; "DEFRAGONLY" for a drive without a
// watcher stores the setting and goes no further; an exclusion request whose keyword stands before the
// path's place is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/protocol/Protocol.h"
#include "common/protocol/Request.h"
#include "service/core/ReplySender.h"
#include "service/drives/DriveSet.h"

namespace kestrel::core {

// Receives the "PhysicalDisk" instance names that the watch command listed (the service keeps them).
using InstanceListSink = std::function<void(const std::vector<std::wstring>&)>;

class CommandHandler {
  public:
    // `physicalDisks` lists the instance names for the watch command (empty: none are known);
    // `keepInstances` (may be empty) receives each list; `writers` makes the reply writers (empty:
    // MailslotWriters); `commandMailslot` is the name of the mailslot the requests arrive on, never
    // answered. The drive set must outlive the handler.
    CommandHandler(drives::DriveSet& driveSet, drives::DiskInstanceSource physicalDisks,
                   InstanceListSink keepInstances = {}, ReplyWriterFactory writers = {},
                   std::wstring commandMailslot = std::wstring(protocol::kCommandMailslot));

    // Handles one request: the first command in search order whose keyword occurs in the text. Returns
    // that command (Command::None when the text holds no keyword and was dropped). Never throws.
    protocol::Command Handle(std::wstring_view text);

    // The command thread's bounds on what a flood of requests can cost it, per period of `windowMs`
    // (real milliseconds); a handler without them (tests, the fuzz target) acts on every request and lets
    // replies wait for room as long as any writer does.
    //
    // Requests that change settings or watchers (WATCH, QUITWATCH, DEFRAGONLY, ADDEXCLUDE,
    // DELETEEXCLUDE) write the settings store, and the first two build or end a watcher: each costs far
    // more than a question. At most `changesPerWindow` of them are acted on per period; later ones in the
    // same period are dropped, with one trace line per period. The panel sends one such request per
    // click, far below the bound; a flood of them can no longer keep the thread writing the store while
    // the panel's questions wait.
    //
    // A reply finds the client's mailslot full when the client reads slowly or not at all (its process
    // stopped). Each reply may then wait up to `roomWaitPerReplyMs` for room, and all replies of one period
    // together up to `roomWaitPerWindowMs`; after that a reply that finds no room is dropped at once. A
    // live client makes room within a millisecond or so; one that never reads costs the thread this much
    // per period at most, not half a second a reply.
    void LimitCosts(int changesPerWindow, std::uint32_t roomWaitPerReplyMs, std::uint32_t roomWaitPerWindowMs,
                    std::uint64_t windowMs);
    // Requests dropped so far by the bound on changes.
    std::uint64_t DroppedChanges() const { return droppedChanges_; }

  private:
    // A sender opened on the request's reply name, or an unopened one (it sends nothing) when the
    // request named none that may be answered.
    void OpenSender(const protocol::Request& request, ReplySender& sender) const;
    // Starts a new period of the bounds when the last one is over.
    void Refill();
    // False when a change must be dropped under LimitCosts.
    bool AdmitChange();
    // The wait budget for the next reply sender, or none when the costs are not bounded.
    ReplySender::RoomWait* RoomWait() { return limited_ ? &roomWait_ : nullptr; }

    void QuitWatch(const protocol::Request& request);
    void GetWatchingDrives(const protocol::Request& request);
    void GetAvailableDrives(const protocol::Request& request);
    void Watch(const protocol::Request& request);
    void GetData(const protocol::Request& request);
    void FreeSpace(const protocol::Request& request);
    void DefragOnly(const protocol::Request& request);
    void Exclude(const protocol::Request& request, bool add);

    drives::DriveSet& driveSet_;
    drives::DiskInstanceSource physicalDisks_;
    InstanceListSink keepInstances_;
    ReplyWriterFactory writers_;
    std::wstring commandMailslot_;

    bool limited_ = false;
    int changesPerWindow_ = 0;
    std::uint32_t roomWaitPerWindowMs_ = 0;
    std::uint64_t windowMs_ = 0;
    std::uint64_t windowStart_ = 0;
    int changesInWindow_ = 0;
    std::uint64_t droppedChanges_ = 0;
    ReplySender::RoomWait roomWait_;
};

}  // namespace kestrel::core
