// The panel's side of the conversation with the service, shared by every front end: the link that writes
// requests into the service's command mailslot, the thread that listens for replies on the panel's own
// mailslot, and the thread that asks for the two drive lists. Portable: it builds on MailslotEndpoint and
// the platform's threads and events only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace kestrel::panel {

// The most of one reply message that the listener hands on, in UTF-16 code units: a longer message is
// cut to this, never taken further.
inline constexpr std::size_t kReceiveBufferUnits = protocol::kMaxReplyText;

// At most one writer on the service's command mailslot, created on demand.
class CommandLink {
  public:
    // True when a writer exists and its handle is valid.
    bool IsOpen() const;
    // Destroys any writer, creates a new one and opens it on `name`. A failed open leaves a writer whose
    // handle is invalid.
    bool Open(const std::wstring& name);
    // Writes the text; false when there is no writer or the write fails.
    bool Send(const std::wstring& text);
    // Destroys the writer: the next SendCommand opens the name afresh.
    void Close();

  private:
    std::unique_ptr<MailslotWriter> writer_;
};

// The names the client uses; tests and the host front end may use their own.
struct ClientNames {
    std::wstring commandMailslot{protocol::kCommandMailslot};
    std::wstring replyMailslot{protocol::kReplyMailslot};
    std::wstring replyAddress{protocol::kReplyAddress};  // appended to every request
};

class ServiceClient {
  public:
    // Receives one reply message on the listener thread. It should hand the message to the front end's
    // own thread (the dialog's WM_SERVICE_REPLY) and may wait until it has been handled; while it waits,
    // Shutdown's `pump` must keep that hand-over moving, or Shutdown would wait for good.
    using ReplyHandler = std::function<void(const std::wstring& message)>;

    // Told about each drive-list request on its thread: with true just before it writes its two
    // requests, with false when they could not be written (no answer will come). Like the ReplyHandler
    // it should hand this to the front end's thread and wait, so that the front end knows of the request
    // before any reply to it (the panel's DriveListAsked).
    using DriveListHandler = std::function<void(bool asked)>;

    explicit ServiceClient(ReplyHandler onReply, ClientNames names = {}, DriveListHandler onDriveList = {});
    // Shutdown() without a pump.
    ~ServiceClient();
    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;

    // Opens the command mailslot if the link is not open, then sends argument + word + reply address. The
    // result is only returned for the callers that care (the one-shot client); the panel ignores it. Once
    // open, the link stays open while its writes succeed. A failed write is not retried, but it closes the
    // link, so that the next call opens the mailslot again: a service that was restarted has a new
    // mailslot, which the old handle never reaches. A failed open is retried by the next call too. Any
    // thread; calls are serialised.
    bool SendCommand(std::wstring_view argument, std::wstring_view word);

    // Starts the reply listener if it is not running, and the drive-list request if it is not running
    // (it sleeps one second, then asks for the watched and the available drives, and ends).
    void StartWorkers();
    // Sets the stop event: the listener ends within about a second, dropping what it has not handed on.
    void StopListener();
    // Sets the stop event and waits until the listener and the drive-list request have ended. `pump` is
    // called while waiting (the Win32 dialog dispatches its messages there, so that a reply the listener
    // is handing over synchronously completes). After it returns no reply is handed on any more.
    void Shutdown(const std::function<void()>& pump = {});

    bool ListenerRunning() const;
    bool DriveListRequestRunning() const;
    // Whether the listener holds the reply mailslot (false before it starts, or when its create failed).
    bool ListenerReady() const;

  private:
    std::uint32_t ListenerProc();
    std::uint32_t DriveListProc();
    // SendCommand with the send lock already held.
    bool SendLocked(std::wstring_view argument, std::wstring_view word);

    ReplyHandler onReply_;
    ClientNames names_;
    DriveListHandler onDriveList_;

    std::mutex sendLock_;  // serialises SendCommand between the dialog's and the drive-list thread
    CommandLink link_;

    mutable std::mutex workerLock_;  // guards the two thread objects and their running flags
    timing::Event stop_{true, false};
    timing::Event listenerEnded_{true, false};
    timing::Event driveListEnded_{true, false};
    std::unique_ptr<threads::Thread> listener_;
    std::unique_ptr<threads::Thread> driveList_;
    bool listenerRunning_ = false;
    bool driveListRunning_ = false;
    bool listenerReady_ = false;
};

// The quit-event check: opens or creates the named event (manual reset, initially unset), looks at it for
// 1 ms, and when it is set resets it and answers true. The handle is released in every case.
bool QuitEventSignalled(const std::wstring& name = std::wstring(L"Tarnwell"));

}  // namespace kestrel::panel
