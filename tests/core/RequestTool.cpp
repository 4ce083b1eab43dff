// A command-line client of the service's command channel, for scripts (host mode and under Wine):
//
//   request_tool SLOT WAIT_MS COUNT REQUEST...
//
// Creates the reply mailslot "\\.\mailslot\SLOT", writes each REQUEST as one message into the command
// mailslot (every "@" in a REQUEST is replaced by the reply mailslot's name), then prints each reply as
// "reply: TEXT" until COUNT replies came or WAIT_MS milliseconds passed. COUNT -1 waits the whole time.
// Exit code: 0 when COUNT replies came (any number for -1), 1 when fewer did, 2 for bad usage or a reply
// mailslot that cannot be created, 3 when the command mailslot cannot be opened (the service is not
// running).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"

namespace {

void Print(const std::wstring& text) {
    std::string bytes = kestrel::ToUtf8(text);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

int Run(const std::vector<std::wstring>& args) {
    if (args.size() < 4) {
        Print(L"usage: request_tool SLOT WAIT_MS COUNT REQUEST...");
        return 2;
    }
    const std::wstring slot = std::wstring(L"\\\\.\\mailslot\\") + args[0];
    const long waitMs = std::wcstol(args[1].c_str(), nullptr, 10);
    const long count = std::wcstol(args[2].c_str(), nullptr, 10);
    kestrel::MailslotReader reader;
    if (!reader.Create(slot, false))
        return 2;
    kestrel::MailslotWriter writer;
    if (!writer.Open(std::wstring(kestrel::protocol::kCommandMailslot)))
        return 3;
    for (std::size_t i = 3; i < args.size(); ++i) {
        std::wstring request;
        for (wchar_t c : args[i]) {
            if (c == L'@')
                request += slot;
            else
                request += c;
        }
        writer.Write(request);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    long received = 0;
    while ((count < 0 || received < count) && std::chrono::steady_clock::now() < deadline) {
        const std::wstring text = reader.Read();
        if (text.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        Print(L"reply: " + text);
        ++received;
    }
    return count < 0 || received == count ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return Run(std::vector<std::wstring>(argv + 1, argv + argc));
}
#else
int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(kestrel::FromUtf8(argv[i]));
    return Run(args);
}
#endif
