#include "panel/win32/PanelApp.h"

#include <cstdio>
#include <cwchar>
#include <memory>

#include "panel/win32/PanelDlg.h"
#include "panel/win32/resource.h"

namespace kestrel::panel::win32 {

bool SetPrivilege(HANDLE token, const wchar_t* privilege, bool enable) {
    LUID luid{};
    if (!LookupPrivilegeValueW(nullptr, privilege, &luid)) {
        std::printf("LookupPrivilegeValue error: %u\n", static_cast<unsigned>(GetLastError()));
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : SE_PRIVILEGE_REMOVED;
    SetLastError(ERROR_SUCCESS);
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    // The call succeeds even when the token lacks the privilege; only the last error tells.
    return GetLastError() == ERROR_SUCCESS;
}

bool IsEmbeddedStart(const wchar_t* commandLine) {
    if (commandLine == nullptr)
        return false;
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(commandLine, &count);
    if (arguments == nullptr)
        return false;
    bool embedded = false;
    // The first word is the program when the line came from GetCommandLineW; a program path never
    // starts with a switch character, so every word can be looked at.
    for (int i = 0; i < count; ++i) {
        const wchar_t* word = arguments[i];
        if (word[0] != L'/' && word[0] != L'-')
            continue;
        if (_wcsicmp(word + 1, L"Embedding") == 0 || _wcsicmp(word + 1, L"Automation") == 0)
            embedded = true;
    }
    LocalFree(arguments);
    return embedded;
}

CPanelApp::CPanelApp(HINSTANCE instance) : instance_(instance) {
    // 1. The panel has no use for the debug privilege: take it out of the token.
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        if (!SetPrivilege(token, SE_DEBUG_NAME, false))
            OutputDebugStringW(L"Unable to set debug privilege");
        CloseHandle(token);
    }

    // 3. One panel at a time: the first one finds the event set and resets it, every later one finds it
    // unset.
    instanceEvent_ = CreateEventW(nullptr, TRUE, TRUE, kInstanceEvent);
    if (instanceEvent_ != nullptr) {
        if (WaitForSingleObject(instanceEvent_, 1) == WAIT_TIMEOUT) {
            MessageBoxW(nullptr, L"You cannot run multiple versions of Kestrel", L"KESTREL Already Running", MB_OK);
            ExitProcess(0);
        }
        ResetEvent(instanceEvent_);
    }

    // 4. The per-user key. The older key is only opened: the panel keeps nothing in either, so nothing
    // is carried over, and no copy of it is written anywhere.
    HKEY older = nullptr;
    HKEY current = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, kOlderProfileKey, 0, KEY_READ, &older);
    RegCreateKeyExW(HKEY_CURRENT_USER, kProfileKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                    nullptr, &current, nullptr);
    if (older != nullptr)
        RegCloseKey(older);
    if (current != nullptr)
        RegCloseKey(current);

    // 6. The backup privilege.
    token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        std::printf("Cannot open process token - err = %d\n", static_cast<int>(GetLastError()));
    } else {
        if (!SetPrivilege(token, SE_BACKUP_NAME, true))
            OutputDebugStringW(L"Unable to enable backup privilege");
        CloseHandle(token);
    }
}

CPanelApp::~CPanelApp() = default;  // the instance event stays held until the process ends

int CPanelApp::Run(const wchar_t* commandLine) {
    if (IsEmbeddedStart(commandLine))
        return RunWithoutWindow();

    auto dialog = std::make_unique<CPanelDlg>(instance_);
    if (!dialog->CreateModeless(nullptr)) {
        OutputDebugStringW(L"Kestrel: the main dialog could not be created\n");
        return 1;
    }
    SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
    running_ = true;
    PollMessages(*dialog);
    // Destruction ends the worker threads (the listener first), the tray icon and the window.
    dialog.reset();
    ExitInstance();
    return 0;
}

void CPanelApp::PollMessages(CPanelDlg& dialog) {
    while (running_) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!GetMessageW(&message, nullptr, 0, 0)) {
                running_ = false;
                break;
            }
            if (!dialog.PreTranslate(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        Sleep(1);
    }
}

int CPanelApp::RunWithoutWindow() {
    while (running_) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                running_ = false;
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (running_ && QuitEventSignalled())
            running_ = false;
        if (running_)
            Sleep(1000);
    }
    ExitInstance();
    return 0;
}

void CPanelApp::ExitInstance() {
    if (running_)
        Sleep(1000);
}

}  // namespace kestrel::panel::win32

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    static kestrel::panel::win32::CPanelApp app(instance);
    return app.Run(GetCommandLineW());
}
