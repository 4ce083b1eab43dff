// CPanelApp: the control panel's application object. Its construction sets the process's privileges,
// keeps the panel to one running instance and prepares the per-user key; Run creates the main dialog
// hidden and polls the main thread's message queue at idle priority until the panel quits.
#pragma once

#include <windows.h>

#include <string>

namespace kestrel::panel::win32 {

class CPanelDlg;

// Enables (`enable` true) or removes (false: taken out of the token, not merely disabled) one privilege.
// False when its name is unknown or the token did not take it.
bool SetPrivilege(HANDLE token, const wchar_t* privilege, bool enable);

// True when the command line asks for an embedded ("Embedding") or automation ("Automation") start: a
// switch "/NAME" or "-NAME", letters compared without regard to case.
bool IsEmbeddedStart(const wchar_t* commandLine);

class CPanelApp {
  public:
    static constexpr const wchar_t* kAppName = L"Kestrel";
    static constexpr const wchar_t* kRegistryKey = L"Quorvane";
    static constexpr const wchar_t* kProfileKey = L"Software\\Quorvane\\Kestrel";
    static constexpr const wchar_t* kOlderProfileKey = L"Software\\Quorvanix\\Kestrel";
    static constexpr const wchar_t* kInstanceEvent = L"Tarnwick";

    // Runs the start-up steps; a second panel shows its message box and ends the process here (code 0).
    explicit CPanelApp(HINSTANCE instance);
    ~CPanelApp();
    CPanelApp(const CPanelApp&) = delete;
    CPanelApp& operator=(const CPanelApp&) = delete;

    // InitInstance and the run: the exit code of the process.
    int Run(const wchar_t* commandLine);

  private:
    // The loop of an embedded or automation start: no window; it ends only when another program sets the
    // quit event, which it looks at once a second.
    int RunWithoutWindow();
    // Polls the queue: one message per pass, 1 ms sleep between passes, until the quit message.
    void PollMessages(CPanelDlg& dialog);
    void ExitInstance();

    HINSTANCE instance_;
    HANDLE instanceEvent_ = nullptr;  // held for the life of the process, never closed
    bool running_ = true;
};

}  // namespace kestrel::panel::win32
