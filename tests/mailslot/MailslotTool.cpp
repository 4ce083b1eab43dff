// A small Windows program around the mailslot endpoint, so that scripts can make separate processes
// read, write and hold mailslots under Wine.
//
//   mailslot_tool read NAME COUNT TIMEOUT_MS   creates NAME, prints "ready", then prints each non-empty
//                                               message as a line until COUNT came (exit 0) or the time
//                                               ran out (exit 1)
//   mailslot_tool write NAME TEXT...            sends each TEXT as one message
//   mailslot_tool write-raw NAME HEX...         sends each HEX string as one message of those bytes
//                                               ("-" sends a message of no bytes)
//   mailslot_tool hold NAME SECONDS             creates NAME, prints "held", keeps it for SECONDS
//   mailslot_tool create NAME                   creates NAME and ends (exit 0 when created)
//   mailslot_tool create-secure NAME            the same with the command slot's access rules
//   Both creates then read the slot's access list back from the system and print it as
//   "dacl: SDDL" ("dacl: none" for a slot without one, "dacl: error N" when it cannot be read).
//
// Trace lines are printed as "trace: " and the line without its line end. Exit code 2: bad usage or the
// mailslot could not be created or opened.
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "platform/Mailslot.h"
#include "platform/Trace.h"

namespace {

void Print(const std::wstring& text) {
    std::string bytes = kestrel::ToUtf8(text);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

class PrintingSink : public kestrel::trace::TraceSink {
  public:
    void Write(std::wstring_view line) override {
        std::wstring text(line);
        while (!text.empty() && text.back() == L'\n')
            text.pop_back();
        Print(L"trace: " + text);
    }
};

class RawWriter : public kestrel::MailslotWriter {
  public:
    kestrel::mailslot::RawMailslot Raw() const { return handle_.get(); }
};

class RawReader : public kestrel::MailslotReader {
  public:
    kestrel::mailslot::RawMailslot Raw() const { return handle_.get(); }
};

// The access list of an open object as the system holds it, in SDDL.
std::wstring DaclOf(HANDLE object) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return L"error " + std::to_wstring(error);
    std::wstring text = L"none";
    wchar_t* sddl = nullptr;
    if (dacl != nullptr && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                               descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        text = sddl;
        LocalFree(sddl);
    } else if (dacl != nullptr) {
        text = L"error " + std::to_wstring(GetLastError());
    }
    LocalFree(descriptor);
    return text;
}

bool ParseHex(const std::wstring& text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (text == L"-")
        return true;
    if (text.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        wchar_t* end = nullptr;
        const std::wstring pair = text.substr(i, 2);
        unsigned long value = std::wcstoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

int Read(const std::wstring& name, long count, long timeoutMs) {
    kestrel::MailslotReader reader;
    if (!reader.Create(name, false))
        return 2;
    Print(L"ready");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    long received = 0;
    while (received < count && std::chrono::steady_clock::now() < deadline) {
        std::wstring text = reader.Read();
        if (text.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        Print(L"message: " + text);
        ++received;
    }
    return received == count ? 0 : 1;
}

int Usage() {
    Print(L"usage: mailslot_tool read|write|write-raw|hold|create|create-secure NAME ...");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in "\n" alone, for the scripts
    PrintingSink sink;
    kestrel::trace::ScopedSink scope(sink);
    if (argc < 3)
        return Usage();
    const std::wstring command = argv[1];
    const std::wstring name = argv[2];

    if (command == L"read" && argc == 5) {
        return Read(name, std::wcstol(argv[3], nullptr, 10), std::wcstol(argv[4], nullptr, 10));
    }
    if (command == L"write" || command == L"write-raw") {
        RawWriter writer;
        if (!writer.Open(name))
            return 2;
        bool ok = true;
        for (int i = 3; i < argc; ++i) {
            if (command == L"write") {
                ok = writer.Write(argv[i]) && ok;
                continue;
            }
            std::vector<std::uint8_t> bytes;
            if (!ParseHex(argv[i], bytes))
                return Usage();
            std::uint32_t error = kestrel::mailslot::Write(writer.Raw(), bytes.data(),
                                                           static_cast<std::uint32_t>(bytes.size()));
            if (error != kestrel::mailslot::kErrorSuccess) {
                Print(L"write-raw failed with " + std::to_wstring(error));
                ok = false;
            }
        }
        return ok ? 0 : 1;
    }
    if (command == L"hold" && argc == 4) {
        kestrel::MailslotReader reader;
        if (!reader.Create(name, false))
            return 2;
        Print(L"held");
        std::this_thread::sleep_for(std::chrono::seconds(std::wcstol(argv[3], nullptr, 10)));
        return 0;
    }
    if ((command == L"create" || command == L"create-secure") && argc == 3) {
        RawReader reader;
        if (!reader.Create(name, command == L"create-secure"))
            return 1;
        Print(L"dacl: " + DaclOf(reinterpret_cast<HANDLE>(reader.Raw())));
        return 0;
    }
    return Usage();
}
