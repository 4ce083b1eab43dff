#include "panel/win32/TrayIcon.h"

#include <cwchar>

#include "panel/win32/framework/Dialog.h"

namespace kestrel::panel::win32 {
namespace {
// The record as shell version 5 knows it (NOTIFYICONDATAW_V2_SIZE): 936 bytes in a 32-bit build, 952 in
// an x64 one, whose pointers are wider. The fields after the tooltip stay zero.
constexpr DWORD kRecordSize = NOTIFYICONDATAW_V2_SIZE;
static_assert(kRecordSize == (sizeof(void*) == 8 ? 952 : 936), "shell version 5 record size");
constexpr std::size_t kTooltipCapacity = sizeof(NOTIFYICONDATAW::szTip) / sizeof(wchar_t);
static_assert(kTooltipCapacity == 128, "the tooltip holds 127 characters and a terminator");
}  // namespace

CTrayIcon::CTrayIcon(UINT id) {
    ZeroMemory(&data_, sizeof data_);
    data_.cbSize = kRecordSize;
    data_.uID = id;
    LoadTooltip(id);
}

CTrayIcon::~CTrayIcon() {
    ApplyIcon(nullptr, nullptr);
}

void CTrayIcon::LoadTooltip(UINT id) {
    std::wstring text = LoadResourceString(GetModuleHandleW(nullptr), id);
    wcsncpy(data_.szTip, text.c_str(), kTooltipCapacity - 1);
    data_.szTip[kTooltipCapacity - 1] = L'\0';
}

void CTrayIcon::SetNotifyTarget(HWND window, UINT message) {
    data_.hWnd = window;
    data_.uCallbackMessage = message;
}

BOOL CTrayIcon::ApplyIcon(HICON icon, const wchar_t* tooltip) {
    data_.uFlags = 0;
    DWORD operation = NIM_DELETE;
    if (icon != nullptr) {
        operation = data_.hIcon != nullptr ? NIM_MODIFY : NIM_ADD;
        data_.hIcon = icon;
        data_.uFlags = NIF_ICON;
    } else if (data_.hIcon == nullptr) {
        return TRUE;  // nothing on show, nothing to take away
    }
    if (tooltip != nullptr) {
        wcsncpy(data_.szTip, tooltip, kTooltipCapacity - 1);
        data_.szTip[kTooltipCapacity - 1] = L'\0';
    }
    if (data_.szTip[0] != L'\0')
        data_.uFlags |= NIF_TIP;
    if (data_.uCallbackMessage != 0 && data_.hWnd != nullptr)
        data_.uFlags |= NIF_MESSAGE;
    BOOL result = Shell_NotifyIconW(operation, &data_);
    if (operation == NIM_DELETE || !result)
        data_.hIcon = nullptr;
    return result;
}

BOOL CTrayIcon::ApplyIconResource(UINT id) {
    if (id == 0)
        return ApplyIcon(nullptr, nullptr);
    LoadTooltip(id);
    HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_DEFAULTCOLOR | LR_SHARED));
    return ApplyIcon(icon, nullptr);
}

LRESULT CTrayIcon::OnTrayEvent(WPARAM id, LPARAM mouseMessage) {
    if (id != data_.uID || (mouseMessage != WM_RBUTTONUP && mouseMessage != WM_LBUTTONDBLCLK))
        return 0;
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(data_.uID));
    if (menu == nullptr)
        return 0;
    HMENU popup = GetSubMenu(menu, 0);
    if (popup == nullptr) {
        DestroyMenu(menu);
        return 0;
    }
    if (mouseMessage == WM_RBUTTONUP) {
        SetMenuDefaultItem(popup, 0, TRUE);
        POINT cursor{};
        GetCursorPos(&cursor);
        SetForegroundWindow(data_.hWnd);
        TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, data_.hWnd, nullptr);
    } else {
        UINT first = GetMenuItemID(popup, 0);
        SendMessageW(data_.hWnd, WM_COMMAND, first, 0);
    }
    DestroyMenu(menu);
    return 1;
}

}  // namespace kestrel::panel::win32
