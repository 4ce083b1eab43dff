#include "panel/ServiceClient.h"

#include <optional>
#include <utility>

#include "common/protocol/Reply.h"
#include "common/protocol/Request.h"

namespace kestrel::panel {

// ---- CommandLink ----

bool CommandLink::IsOpen() const {
    return writer_ && writer_->IsOpen();
}

bool CommandLink::Open(const std::wstring& name) {
    writer_ = std::make_unique<MailslotWriter>();
    return writer_->Open(name);
}

bool CommandLink::Send(const std::wstring& text) {
    return writer_ && writer_->Write(text);
}

void CommandLink::Close() {
    writer_.reset();
}

// ---- ServiceClient ----

ServiceClient::ServiceClient(ReplyHandler onReply, ClientNames names, DriveListHandler onDriveList)
    : onReply_(std::move(onReply)), names_(std::move(names)), onDriveList_(std::move(onDriveList)) {}

ServiceClient::~ServiceClient() {
    Shutdown();
}

bool ServiceClient::SendCommand(std::wstring_view argument, std::wstring_view word) {
    std::lock_guard<std::mutex> lock(sendLock_);
    return SendLocked(argument, word);
}

bool ServiceClient::SendLocked(std::wstring_view argument, std::wstring_view word) {
    if (!link_.IsOpen() && !link_.Open(names_.commandMailslot))
        return false;
    if (link_.Send(protocol::ComposeRequest(argument, word, names_.replyAddress)))
        return true;
    link_.Close();
    return false;
}

void ServiceClient::StartWorkers() {
    std::lock_guard<std::mutex> lock(workerLock_);
    if (stop_.IsSet())
        return;  // closing: nothing starts any more
    if (!listenerRunning_) {
        if (listener_)
            listener_->Join();  // it has ended; release it before starting the next
        listenerEnded_.Reset();
        listener_ = std::make_unique<threads::Thread>();
        listenerRunning_ = listener_->Start([this] { return ListenerProc(); });
        if (!listenerRunning_)
            listenerEnded_.Set();
    }
    if (!driveListRunning_) {
        if (driveList_)
            driveList_->Join();
        driveListEnded_.Reset();
        driveList_ = std::make_unique<threads::Thread>();
        driveListRunning_ = driveList_->Start([this] { return DriveListProc(); });
        if (!driveListRunning_)
            driveListEnded_.Set();
    }
}

void ServiceClient::StopListener() {
    stop_.Set();
}

void ServiceClient::Shutdown(const std::function<void()>& pump) {
    stop_.Set();
    std::unique_ptr<threads::Thread> listener;
    std::unique_ptr<threads::Thread> driveList;
    {
        std::lock_guard<std::mutex> lock(workerLock_);
        listener = std::move(listener_);
        driveList = std::move(driveList_);
    }
    // Wait without holding the lock: the pump may hand a reply to the front end, which may call back.
    auto finish = [&pump](std::unique_ptr<threads::Thread>& thread, timing::Event& ended) {
        if (!thread)
            return;
        while (!ended.Wait(10)) {
            if (pump)
                pump();
        }
        thread->Join();
        thread->Close();
    };
    finish(listener, listenerEnded_);
    finish(driveList, driveListEnded_);
}

bool ServiceClient::ListenerRunning() const {
    std::lock_guard<std::mutex> lock(workerLock_);
    return listenerRunning_;
}

bool ServiceClient::DriveListRequestRunning() const {
    std::lock_guard<std::mutex> lock(workerLock_);
    return driveListRunning_;
}

bool ServiceClient::ListenerReady() const {
    std::lock_guard<std::mutex> lock(workerLock_);
    return listenerReady_;
}

std::uint32_t ServiceClient::ListenerProc() {
    {
        MailslotReader reader;
        const bool created = reader.Create(names_.replyMailslot, false);
        {
            std::lock_guard<std::mutex> lock(workerLock_);
            listenerReady_ = created;
        }
        while (!stop_.Wait(1)) {
            std::optional<std::wstring> taken = reader.ReadMessage();
            if (!taken) {
                stop_.Wait(1000);  // the one-second poll, cut short by the stop event
                continue;
            }
            // An empty message carries no reply; it is skipped without the poll's pause, so that a run
            // of them cannot hold the service's replies back by a second each.
            std::wstring message = std::move(*taken);
            if (message.empty())
                continue;
            const std::size_t keep = protocol::CutToUtf16Units(message, kReceiveBufferUnits).size();
            if (keep < message.size())
                message.resize(keep);
            if (stop_.IsSet())
                break;  // the panel is closing: a reply that comes now is dropped
            onReply_(message);
        }
    }  // the reader closes the reply mailslot here
    {
        std::lock_guard<std::mutex> lock(workerLock_);
        listenerRunning_ = false;
        listenerReady_ = false;
    }
    listenerEnded_.Set();
    return 0;
}

std::uint32_t ServiceClient::DriveListProc() {
    if (!stop_.Wait(1000)) {
        if (onDriveList_)
            onDriveList_(true);
        bool sent = false;
        {
            // Both requests in one go, so that no other request comes between them: the service then
            // answers the first with its 21 and the second with a 20 right behind it, or with nothing
            // when no drive is available, which the panel can tell only by what comes next.
            std::lock_guard<std::mutex> lock(sendLock_);
            sent = SendLocked(L"", protocol::kWordGetWatchingDrives);
            sent = SendLocked(L"", protocol::kWordGetAvailableDrives) && sent;
        }
        if (!sent && onDriveList_)
            onDriveList_(false);
    }
    {
        std::lock_guard<std::mutex> lock(workerLock_);
        driveListRunning_ = false;
    }
    driveListEnded_.Set();
    return 0;
}

bool QuitEventSignalled(const std::wstring& name) {
    timing::Event quit(true, false, name);
    if (!quit.Wait(1))
        return false;
    quit.Reset();
    return true;
}

}  // namespace kestrel::panel
