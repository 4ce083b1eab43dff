// The panel's small window framework, in plain Win32: a dialog base (modeless or modal, from a dialog
// resource) whose derived classes declare their handlers in a message map, dialog data exchange between
// the controls and the dialog's fields, window timers, and a thin list-box wrapper.
//
// Everything here runs on the thread that created the dialog.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace kestrel::panel::win32 {

// Moves values between a dialog's controls and its fields. Saving (`Saving()` true) reads the controls
// into the fields; otherwise the fields are written to the controls.
class DataExchange {
  public:
    DataExchange(HWND dialog, bool saving) : dialog_(dialog), saving_(saving) {}
    bool Saving() const { return saving_; }

    // The window text of a control (edit, static, button) and a string field.
    void Text(int controlId, std::wstring& value);
    // A check box's state (0 clear, 1 set, 2 indeterminate) and an integer field.
    void Check(int controlId, int& value);

  private:
    HWND dialog_;
    bool saving_;
};

// A list box child of a dialog, addressed by its handle. Indexes are zero-based; kNone is no entry.
class ListBox {
  public:
    static constexpr int kNone = LB_ERR;

    ListBox() = default;
    explicit ListBox(HWND handle) : handle_(handle) {}
    HWND Handle() const { return handle_; }

    int Count() const;
    std::wstring Text(int index) const;  // empty for an index outside the list
    int Selection() const;               // kNone when nothing is selected
    void Select(int index) const;        // kNone clears the selection
    int Add(const std::wstring& text) const;
    void Delete(int index) const;
    void Clear() const;

  private:
    HWND handle_ = nullptr;
};

// What dispatching made of a message: `value` is the handler's result; `handled` false lets the dialog's
// default processing take the message.
struct MessageResult {
    bool handled = false;
    INT_PTR value = 0;
};

// One line of a message map. `message` selects the window message; for WM_COMMAND the entry also names
// the control or command id and, unless kAnyCode, the notification code.
template <class Owner>
struct MessageMapEntry {
    static constexpr UINT kAnyCode = 0xFFFFFFFF;
    using Handler = INT_PTR (Owner::*)(WPARAM, LPARAM);

    UINT message;
    UINT id;
    UINT code;
    Handler handler;
};

// Makes map lines: OnMessage for any message, OnCommand for a WM_COMMAND of one id (and code).
template <class Owner>
constexpr MessageMapEntry<Owner> OnMessage(UINT message, typename MessageMapEntry<Owner>::Handler handler) {
    return {message, 0, MessageMapEntry<Owner>::kAnyCode, handler};
}
template <class Owner>
constexpr MessageMapEntry<Owner> OnCommand(UINT id, UINT code, typename MessageMapEntry<Owner>::Handler handler) {
    return {WM_COMMAND, id, code, handler};
}
template <class Owner>
constexpr MessageMapEntry<Owner> OnCommand(UINT id, typename MessageMapEntry<Owner>::Handler handler) {
    return {WM_COMMAND, id, MessageMapEntry<Owner>::kAnyCode, handler};
}

// Looks a message up in a map and calls the first matching handler on `owner`.
template <class Owner, std::size_t N>
MessageResult DispatchThroughMap(Owner& owner, const MessageMapEntry<Owner> (&map)[N], UINT message,
                                 WPARAM wParam, LPARAM lParam) {
    for (const MessageMapEntry<Owner>& entry : map) {
        if (entry.message != message)
            continue;
        if (message == WM_COMMAND) {
            if (LOWORD(wParam) != entry.id)
                continue;
            if (entry.code != MessageMapEntry<Owner>::kAnyCode && HIWORD(wParam) != entry.code)
                continue;
        }
        return {true, (owner.*entry.handler)(wParam, lParam)};
    }
    return {};
}

// A dialog built from a dialog resource. Derived classes answer Dispatch (usually through a message map)
// and DoDataExchange; OnInitDialog runs once the controls exist.
class Dialog {
  public:
    Dialog(HINSTANCE instance, int templateId) : instance_(instance), templateId_(templateId) {}
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog without showing it (unless its template is visible); false on failure.
    bool CreateModeless(HWND parent);
    // Runs the dialog modally; the result passed to EndDialog, or -1 on failure.
    INT_PTR RunModal(HWND parent);
    // Destroys a modeless dialog's window (the object stays).
    void Destroy();

    HWND Handle() const { return handle_; }
    HINSTANCE Instance() const { return instance_; }
    HWND Item(int controlId) const { return GetDlgItem(handle_, controlId); }

    // Runs data exchange: `saving` true reads the controls into the fields, false writes them.
    void UpdateData(bool saving);

    // Window timers: starting a running timer restarts it with the new period.
    void StartTimer(UINT_PTR id, UINT milliseconds) { ::SetTimer(handle_, id, milliseconds, nullptr); }
    void StopTimer(UINT_PTR id) { ::KillTimer(handle_, id); }

  protected:
    // Called for every message after the window is bound; the result says whether it was handled.
    virtual MessageResult Dispatch(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual void DoDataExchange(DataExchange&) {}
    // Runs on WM_INITDIALOG after the first data exchange out; the result is WM_INITDIALOG's.
    virtual BOOL OnInitDialog() { return TRUE; }
    // Called once the window is gone (WM_NCDESTROY); the handle is already cleared.
    virtual void OnWindowGone() {}

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    int templateId_;
    HWND handle_ = nullptr;
    bool modal_ = false;
};

// Loads a string resource; empty when it is missing.
std::wstring LoadResourceString(HINSTANCE instance, UINT id);

}  // namespace kestrel::panel::win32
