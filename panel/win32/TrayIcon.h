// CTrayIcon: the panel's one icon in the task bar's notification area. It carries the shell's
// notify-icon record, swaps the icon between the panel's two states and turns mouse actions on the icon
// into commands for the window that owns it. Main thread only.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace kestrel::panel::win32 {

class CTrayIcon {
  public:
    // The record's identifier, which is also the id of the icon, tooltip string and menu resources.
    explicit CTrayIcon(UINT id);
    // Takes the icon out of the tray.
    virtual ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // The window that receives `message` for mouse actions on the icon (nullptr for none).
    void SetNotifyTarget(HWND window, UINT message);

    // Shows `icon` (adding it, or modifying the one on show), or takes the icon out when `icon` is null.
    // A non-null `tooltip` replaces the tooltip, cut to the record's 127 characters. Returns the shell's
    // result; a removal or a failed call forgets the icon, so the next ApplyIcon adds it anew.
    BOOL ApplyIcon(HICON icon, const wchar_t* tooltip);
    // Shows icon resource `id` with string resource `id` as tooltip (none when missing); 0 removes the icon.
    BOOL ApplyIconResource(UINT id);

    // A mouse message on the icon: right-button-up opens the menu at the cursor, a left double-click
    // sends the menu's first command to the window. 1 when it acted, 0 otherwise.
    virtual LRESULT OnTrayEvent(WPARAM id, LPARAM mouseMessage);

    UINT Id() const { return data_.uID; }
    bool IconOnShow() const { return data_.hIcon != nullptr; }
    std::wstring Tooltip() const { return data_.szTip; }

  private:
    void LoadTooltip(UINT id);

    NOTIFYICONDATAW data_;
};

}  // namespace kestrel::panel::win32
