// The scriptable one-shot form of the host front end: one command from the command line becomes a few
// requests, the replies that come back are collected, and a verdict is drawn from them.
//
// The service answers in the order it received the requests, one per second, and several requests get
// no reply by design ("WATCH", "DEFRAGONLY", the exclusion requests, an empty drive list, "QUITWATCH"
// with nothing left watched). So every plan ends with a request that is always answered, a "GetData"
// (last reply: code 25) or a "FreeSpace" (code 23): once that answer is in, every earlier request has
// been handled, and its replies, if any, have come. The plan's verdict then reads what came back.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::panel::host {

// Exit codes of the one-shot form.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;   // the service answered, but the result is not the one asked for
inline constexpr int kExitNoAnswer = 2;  // no complete answer within the time limit
inline constexpr int kExitUsage = 64;    // the command line is wrong

struct PlannedRequest {
    std::wstring argument;
    std::wstring word;
};

struct Plan {
    std::vector<PlannedRequest> requests;
    int finalCode = 0;  // the code of the reply that ends the wait
    std::wstring command;
    wchar_t drive = L'\0';  // the drive letter the command is about (0 for "drives")
    std::wstring path;      // exclude / include: the path as sent (upper case)
    bool flag = false;      // defragonly: on or off
};

// Builds the plan of a command line (the words after the program name). On a usage error, returns
// nothing and sets `error`.
std::optional<Plan> MakePlan(const std::vector<std::wstring>& words, std::wstring& error);

struct Outcome {
    int exitCode = kExitNoAnswer;
    std::vector<std::wstring> lines;  // what to print, one line each
};

// Whether the replies so far complete the plan.
bool Complete(const Plan& plan, const std::vector<std::wstring>& replies);

// The verdict and the lines to print, from the replies collected (complete or not).
Outcome Judge(const Plan& plan, const std::vector<std::wstring>& replies);

// The one-shot commands, for the help text.
std::wstring OneShotUsage();

// ---- the host's mailslots, as the front ends use them ----

// The directory of the host's mailslots, by the mailslot layer's rule (platform/Mailslot.h):
// $KESTREL_MAILSLOT_DIR, else $XDG_RUNTIME_DIR/kestrel, else /tmp/kestrel-<uid>. For messages: the service
// and the panel meet only when both use the same one.
std::string MailslotDirectory();

// A reply mailslot of this process's own, "\\.\mailslot\" + stem + the process id, so that any number of
// front ends (terminal panels, one-shot commands) can each have their answers.
std::wstring OwnReplyName(std::wstring_view stem);

// Removes the lock file that a reader of `name` leaves in the mailslot directory. Only for a name of this
// process's own (OwnReplyName) whose reader is closed: no other process can be using it, so nothing is
// left behind for every run.
void RemoveOwnSlotLock(const std::wstring& name);

}  // namespace kestrel::panel::host
