// kestrel: the control panel on the host. Without a command it shows the panel in the terminal; with one
// it sends that command to the service, prints the answer and exits.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"
#include "panel/ServiceClient.h"
#include "panel/host/OneShot.h"
#include "panel/host/Terminal.h"
#include "platform/Time.h"

namespace kestrel::panel::host {
namespace {

void Out(const std::wstring& text, std::FILE* stream = stdout) {
    const std::string bytes = ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

std::wstring Help() {
    return L"Usage: kestrel [OPTIONS]                 the panel in the terminal\n"
           L"       kestrel [OPTIONS] COMMAND ARGS    one request to the service\n"
           L"\n"
           L"The panel talks to the service (KestrelService) over the host mailslots in\n"
           L"$KESTREL_MAILSLOT_DIR (else $XDG_RUNTIME_DIR/kestrel, else /tmp/kestrel-UID); run both\n"
           L"with the same directory.\n"
           L"\n"
           L"Commands (D is a drive letter: D, D: or D:\\):\n" +
           OneShotUsage() +
           L"\n"
           L"A command prints what the service answered. Requests that the service answers with\n"
           L"nothing (watch, unwatch, exclude, include, defragonly, an empty drive list) are followed\n"
           L"by \"GetWatchingDrives\", \"GetData\" or \"FreeSpace\", and the result is read from their\n"
           L"replies. Each command and each terminal panel has a reply mailslot of its own.\n"
           L"Exit status: 0 done; 1 the service answered but did not do what was asked (the drive\n"
           L"is not watched, the exclusion is not listed, ...); 2 the service gave no complete\n"
           L"answer within the time limit; 64 a wrong command line.\n"
           L"\n"
           L"Keys of the terminal panel:\n" +
           TerminalKeys() +
           L"The screen is refreshed on the panel's own timers: statistics every 5 s, free space\n"
           L"every 10 s once a drive is watched; the drive lists are asked for 5 s after the start.\n"
           L"\n"
           L"Options:\n"
           L"  --time-divisor N   run every period N times faster (also $KESTREL_TIME_DIVISOR); use the\n"
           L"                     same divisor as the service\n"
           L"  --timeout SECONDS  how long a command waits for the service's answer (default 10)\n"
           L"  --raw              a command also prints each reply line as received\n"
           L"  --plain            the terminal panel prints each changed screen without escape codes\n"
           L"  --help             this text\n";
}

int RunCommandOn(const std::wstring& replyName, const Plan& plan, unsigned timeoutSeconds, bool raw) {
    ClientNames names;
    names.replyMailslot = replyName;
    names.replyAddress = replyName;
    MailslotReader reader;
    if (!reader.Create(names.replyMailslot, false)) {
        Out(L"kestrel: cannot create the reply mailslot " + names.replyMailslot + L" in " +
                FromUtf8(MailslotDirectory()) + L"\n",
            stderr);
        return kExitNoAnswer;
    }
    ServiceClient client([](const std::wstring&) {}, names);
    for (const PlannedRequest& request : plan.requests) {
        if (!client.SendCommand(request.argument, request.word)) {
            Out(L"kestrel: the service is not running: no command mailslot to write to in " +
                    FromUtf8(MailslotDirectory()) +
                    L" (the service and the panel must use the same directory; see kestrel --help)\n",
                stderr);
            return kExitNoAnswer;
        }
    }
    std::vector<std::wstring> replies;
    const std::uint64_t end = timing::NowMs() + std::uint64_t{timeoutSeconds} * 1000;
    while (!Complete(plan, replies) && timing::NowMs() < end) {
        std::optional<std::wstring> taken = reader.ReadMessage();
        if (!taken) {
            ::usleep(20000);
            continue;
        }
        std::wstring message = std::move(*taken);
        if (message.empty())
            continue;  // an empty message answers nothing
        if (raw)
            Out(message + L"\n");
        replies.push_back(std::move(message));
    }
    const Outcome outcome = Judge(plan, replies);
    for (const std::wstring& line : outcome.lines)
        Out(line + L"\n", outcome.exitCode == kExitNoAnswer ? stderr : stdout);
    return outcome.exitCode;
}

// One command, answered on a reply mailslot of its own, so that a panel running in the terminal and
// other commands do not meet it; the mailslot leaves nothing behind.
int RunCommand(const Plan& plan, unsigned timeoutSeconds, bool raw) {
    const std::wstring replyName = OwnReplyName(L"KestrelCli");
    const int code = RunCommandOn(replyName, plan, timeoutSeconds, raw);
    RemoveOwnSlotLock(replyName);
    return code;
}

bool ParseNumber(const std::wstring& text, unsigned& value) {
    if (text.empty() || text.size() > 9)
        return false;
    unsigned result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        result = result * 10 + static_cast<unsigned>(c - L'0');
    }
    value = result;
    return true;
}

int Main(int argc, char** argv) {
    std::vector<std::wstring> words;
    unsigned divisor = 1;
    unsigned timeout = 10;
    bool raw = false;
    TerminalOptions terminal;
    if (const char* env = std::getenv("KESTREL_TIME_DIVISOR"); env && *env) {
        if (!ParseNumber(FromUtf8(env), divisor) || divisor == 0) {
            Out(L"kestrel: KESTREL_TIME_DIVISOR must be a positive number\n", stderr);
            return kExitUsage;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = FromUtf8(argv[i]);
        auto value = [&](unsigned& into) {
            if (i + 1 >= argc || !ParseNumber(FromUtf8(argv[i + 1]), into) || into == 0) {
                Out(L"kestrel: " + arg + L" takes a positive number\n", stderr);
                return false;
            }
            ++i;
            return true;
        };
        if (arg == L"--help" || arg == L"-h") {
            Out(Help());
            return kExitOk;
        } else if (arg == L"--time-divisor") {
            if (!value(divisor))
                return kExitUsage;
        } else if (arg == L"--timeout") {
            if (!value(timeout))
                return kExitUsage;
        } else if (arg == L"--raw") {
            raw = true;
        } else if (arg == L"--plain") {
            terminal.plain = true;
        } else if (arg.size() > 1 && arg[0] == L'-' && words.empty()) {
            Out(L"kestrel: unknown option " + arg + L" (see kestrel --help)\n", stderr);
            return kExitUsage;
        } else {
            words.push_back(arg);
        }
    }
    timing::SetTimeDivisor(divisor);
    if (words.empty())
        return RunTerminal(terminal);
    std::wstring error;
    const std::optional<Plan> plan = MakePlan(words, error);
    if (!plan) {
        Out(L"kestrel: " + error + L" (see kestrel --help)\n", stderr);
        return kExitUsage;
    }
    return RunCommand(*plan, timeout, raw);
}

}  // namespace
}  // namespace kestrel::panel::host

int main(int argc, char** argv) {
    return kestrel::panel::host::Main(argc, argv);
}
