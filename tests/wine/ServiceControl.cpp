// Test helper: sends a control code to an installed service, or prints its current state, through the
// service manager (the command-line tools of some systems cannot send user-defined codes).
//
//   kestrel_service_control <name> <code>   sends the code; prints "sent <code>, state <n>"
//   kestrel_service_control <name> state    prints "state <n>"
//   kestrel_service_control <name> status   prints "state <n>, exit <win32 exit code>, specific <code>"
//   kestrel_service_control <name> watch <s>
//       prints "watching", then follows the state the service manager holds until the service has left
//       the stopped state and come back to it (or <s> seconds passed), and prints "states" followed by
//       every state it saw, in order, repeats folded: the manager's own view of a run.
// Exit code 0 on success; otherwise the Win32 error code, with a line on standard error.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {
int Fail(const wchar_t* what) {
    DWORD error = GetLastError();
    std::fwprintf(stderr, L"%ls failed: %lu\n", what, error);
    return error != 0 ? static_cast<int>(error) : 1;
}

struct ScHandle {
    SC_HANDLE value;
    ~ScHandle() {
        if (value != nullptr)
            CloseServiceHandle(value);
    }
};
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && !(argc == 4 && std::wstring(argv[2]) == L"watch")) {
        std::fwprintf(stderr, L"usage: kestrel_service_control <name> <code>|state|status|watch <s>\n");
        return 87;
    }
    const std::wstring what = argv[2];
    ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (manager.value == nullptr)
        return Fail(L"OpenSCManagerW");
    ScHandle service{
        OpenServiceW(manager.value, argv[1], SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS)};
    if (service.value == nullptr)
        return Fail(L"OpenServiceW");
    SERVICE_STATUS status{};
    if (what == L"state" || what == L"status") {
        if (!QueryServiceStatus(service.value, &status))
            return Fail(L"QueryServiceStatus");
        if (what == L"state")
            std::wprintf(L"state %lu\n", status.dwCurrentState);
        else
            std::wprintf(L"state %lu, exit %lu, specific %lu\n", status.dwCurrentState,
                         status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
        return 0;
    }
    if (what == L"watch") {
        std::wprintf(L"watching\n");
        std::fflush(stdout);
        const ULONGLONG deadline = GetTickCount64() + 1000ULL * std::wcstoul(argv[3], nullptr, 10);
        std::wstring seen;
        DWORD last = SERVICE_STOPPED;
        bool started = false;
        while (GetTickCount64() < deadline) {
            if (!QueryServiceStatus(service.value, &status))
                return Fail(L"QueryServiceStatus");
            if (status.dwCurrentState != last) {
                last = status.dwCurrentState;
                seen += L" " + std::to_wstring(last);
                started = true;
                if (last == SERVICE_STOPPED)
                    break;
            }
            Sleep(1);
        }
        std::wprintf(L"states%ls%ls\n", seen.c_str(),
                     started && last == SERVICE_STOPPED ? L"" : L" (timed out)");
        return 0;
    }
    wchar_t* end = nullptr;
    unsigned long code = std::wcstoul(what.c_str(), &end, 10);
    if (end == what.c_str() || *end != L'\0' || code > 255) {
        std::fwprintf(stderr, L"bad control code %ls\n", what.c_str());
        return 87;
    }
    if (!ControlService(service.value, code, &status))
        return Fail(L"ControlService");
    std::wprintf(L"sent %lu, state %lu\n", code, status.dwCurrentState);
    return 0;
}
