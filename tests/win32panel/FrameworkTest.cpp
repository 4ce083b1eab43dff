// The Win32 panel's pieces that need no dialog: the message map's dispatch, the tray icon's calls to the
// shell and its mouse handling, and the start-up helpers.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "panel/win32/PanelApp.h"
#include "panel/win32/TrayIcon.h"
#include "panel/win32/framework/Dialog.h"
#include "panel/win32/resource.h"

namespace kestrel::panel::win32 {
namespace {

// ---- the message map ----

struct MapOwner {
    std::vector<std::string> calls;
    INT_PTR Add(WPARAM, LPARAM) {
        calls.push_back("add");
        return 1;
    }
    INT_PTR AddDoubleClick(WPARAM, LPARAM) {
        calls.push_back("add-dblclk");
        return 2;
    }
    INT_PTR Timer(WPARAM wParam, LPARAM) {
        calls.push_back("timer " + std::to_string(wParam));
        return 3;
    }
    INT_PTR Second(WPARAM, LPARAM) {
        calls.push_back("second");
        return 4;
    }
};

const MessageMapEntry<MapOwner> kMap[] = {
    OnCommand<MapOwner>(1018, LBN_DBLCLK, &MapOwner::AddDoubleClick),
    OnCommand<MapOwner>(1018, &MapOwner::Add),
    OnMessage<MapOwner>(WM_TIMER, &MapOwner::Timer),
    OnMessage<MapOwner>(WM_TIMER, &MapOwner::Second),
};

TEST(MessageMap, CommandsMatchTheirIdAndCodeAndTheFirstMatchingLineWins) {
    MapOwner owner;
    MessageResult dblclk = DispatchThroughMap(owner, kMap, WM_COMMAND, MAKEWPARAM(1018, LBN_DBLCLK), 0);
    MessageResult selchange = DispatchThroughMap(owner, kMap, WM_COMMAND, MAKEWPARAM(1018, LBN_SELCHANGE), 0);
    MessageResult timer = DispatchThroughMap(owner, kMap, WM_TIMER, 3, 0);
    EXPECT_TRUE(dblclk.handled);
    EXPECT_EQ(dblclk.value, 2);
    EXPECT_TRUE(selchange.handled);
    EXPECT_EQ(selchange.value, 1);
    EXPECT_EQ(timer.value, 3);
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"add-dblclk", "add", "timer 3"}));
}

TEST(MessageMap, OtherIdsAndMessagesAreLeftToTheDefault) {
    MapOwner owner;
    EXPECT_FALSE(DispatchThroughMap(owner, kMap, WM_COMMAND, MAKEWPARAM(1019, LBN_DBLCLK), 0).handled);
    EXPECT_FALSE(DispatchThroughMap(owner, kMap, WM_PAINT, 0, 0).handled);
    // A command's id sits in the low word only: 1018 in the high word is a code, not an id.
    EXPECT_FALSE(DispatchThroughMap(owner, kMap, WM_COMMAND, MAKEWPARAM(0, 1018), 0).handled);
    EXPECT_TRUE(owner.calls.empty());
}

// ---- the tray icon ----

// Answers the shell calls itself and records what each one carried.
class RecordingTray : public CTrayIcon {
  public:
    struct Call {
        DWORD operation;
        UINT flags;
        std::wstring tooltip;
        HWND window;
        UINT message;
        bool icon;
        DWORD size;
        UINT id;
    };

    using CTrayIcon::CTrayIcon;
    // The base's own removal would go to the real shell: remove the icon here, recorded.
    ~RecordingTray() override { ApplyIcon(nullptr, nullptr); }

    std::vector<Call> calls;
    BOOL answer = TRUE;

  protected:
    BOOL CallShell(DWORD operation, NOTIFYICONDATAW* data) override {
        calls.push_back({operation, data->uFlags, data->szTip, data->hWnd, data->uCallbackMessage,
                         data->hIcon != nullptr, data->cbSize, data->uID});
        return answer;
    }
};

HWND Window() {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
}

TEST(TrayIcon, WaitingIconWithoutTooltipThenConnectedIconWithItThenRemoved) {
    RecordingTray tray(IDI_TRAY_WAITING);
    EXPECT_EQ(tray.Tooltip(), L"");  // string 104 does not exist
    tray.SetNotifyTarget(Window(), WM_USER);
    ASSERT_TRUE(tray.ApplyIconResource(IDI_TRAY_WAITING));
    ASSERT_TRUE(tray.ApplyIconResource(IDI_TRAY_CONNECTED));
    ASSERT_TRUE(tray.ApplyIconResource(0));
    ASSERT_EQ(tray.calls.size(), 3u);

    const auto& add = tray.calls[0];
    EXPECT_EQ(add.operation, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(add.flags, static_cast<UINT>(NIF_ICON | NIF_MESSAGE));
    EXPECT_TRUE(add.icon);
    EXPECT_EQ(add.window, Window());
    EXPECT_EQ(add.message, static_cast<UINT>(WM_USER));
    EXPECT_EQ(add.id, 104u);
    EXPECT_EQ(add.size, static_cast<DWORD>(sizeof(void*) == 8 ? 952 : 936));

    const auto& modify = tray.calls[1];
    EXPECT_EQ(modify.operation, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(modify.flags, static_cast<UINT>(NIF_ICON | NIF_TIP | NIF_MESSAGE));
    EXPECT_EQ(modify.tooltip, L"Kestrel - On the Fly Defragger");
    EXPECT_EQ(modify.id, 104u);  // the identifier stays; only the icon resource changes

    EXPECT_EQ(tray.calls[2].operation, static_cast<DWORD>(NIM_DELETE));
    EXPECT_FALSE(tray.IconOnShow());
    // Nothing on show: nothing to remove, and the shell is not asked.
    EXPECT_TRUE(tray.ApplyIcon(nullptr, nullptr));
    EXPECT_EQ(tray.calls.size(), 3u);
}

TEST(TrayIcon, AFailedCallForgetsTheIconSoTheNextOneAddsIt) {
    RecordingTray tray(IDI_TRAY_WAITING);
    tray.answer = FALSE;
    EXPECT_FALSE(tray.ApplyIconResource(IDI_TRAY_WAITING));
    EXPECT_FALSE(tray.IconOnShow());
    tray.answer = TRUE;
    EXPECT_TRUE(tray.ApplyIconResource(IDI_TRAY_CONNECTED));
    ASSERT_EQ(tray.calls.size(), 2u);
    EXPECT_EQ(tray.calls[1].operation, static_cast<DWORD>(NIM_ADD));
    // Without a notification window the message flag stays off.
    EXPECT_EQ(tray.calls[1].flags, static_cast<UINT>(NIF_ICON | NIF_TIP));
}

TEST(TrayIcon, ALongTooltipIsCutTo127Characters) {
    RecordingTray tray(IDI_TRAY_WAITING);
    std::wstring longText(300, L'x');
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    ASSERT_TRUE(tray.ApplyIcon(icon, longText.c_str()));
    ASSERT_EQ(tray.calls.size(), 1u);
    EXPECT_EQ(tray.calls[0].tooltip, std::wstring(127, L'x'));
}

// A window that records the commands it receives.
std::vector<WPARAM> g_commands;
LRESULT CALLBACK RecordCommands(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND)
        g_commands.push_back(wParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(TrayIcon, ADoubleClickSendsTheMenusFirstCommandAndOtherMouseMessagesDoNothing) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &RecordCommands;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KestrelTrayTestTarget";
    RegisterClassW(&windowClass);
    HWND target = CreateWindowW(L"KestrelTrayTestTarget", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(target, nullptr);
    g_commands.clear();
    {
        RecordingTray tray(IDI_TRAY_WAITING);
        tray.SetNotifyTarget(target, WM_USER);
        EXPECT_EQ(tray.OnTrayEvent(103, WM_LBUTTONDBLCLK), 0);  // another icon's identifier
        EXPECT_EQ(tray.OnTrayEvent(104, WM_LBUTTONDOWN), 0);
        EXPECT_EQ(tray.OnTrayEvent(104, WM_LBUTTONUP), 0);
        EXPECT_TRUE(g_commands.empty());
        EXPECT_EQ(tray.OnTrayEvent(104, WM_LBUTTONDBLCLK), 1);
    }
    EXPECT_EQ(g_commands, std::vector<WPARAM>{ID_TRAY_SHOW});
    DestroyWindow(target);
}

TEST(TrayIcon, MenuResourceHoldsKestrelThenExit) {
    for (UINT id : {IDR_TRAY_MENU, IDR_TRAY_MENU_COPY}) {
        HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
        ASSERT_NE(menu, nullptr);
        HMENU popup = GetSubMenu(menu, 0);
        ASSERT_NE(popup, nullptr);
        ASSERT_EQ(GetMenuItemCount(popup), 2);
        wchar_t text[32] = {};
        GetMenuStringW(popup, 0, text, 32, MF_BYPOSITION);
        EXPECT_STREQ(text, L"Kestrel");
        EXPECT_EQ(GetMenuItemID(popup, 0), static_cast<UINT>(ID_TRAY_SHOW));
        GetMenuStringW(popup, 1, text, 32, MF_BYPOSITION);
        EXPECT_STREQ(text, L"Exit");
        EXPECT_EQ(GetMenuItemID(popup, 1), static_cast<UINT>(ID_TRAY_EXIT));
        DestroyMenu(menu);
    }
}

// ---- start-up helpers ----

TEST(StartUp, OnlyTheEmbeddingAndAutomationSwitchesMarkAnEmbeddedStart) {
    EXPECT_TRUE(IsEmbeddedStart(L"Kestrel.exe /Embedding"));
    EXPECT_TRUE(IsEmbeddedStart(L"Kestrel.exe -embedding"));
    EXPECT_TRUE(IsEmbeddedStart(L"\"C:\\Program Files\\Kestrel\\Kestrel.exe\" /AUTOMATION"));
    EXPECT_FALSE(IsEmbeddedStart(L"Kestrel.exe"));
    EXPECT_FALSE(IsEmbeddedStart(L"Kestrel.exe Embedding"));
    EXPECT_FALSE(IsEmbeddedStart(L"Kestrel.exe /Embeddings"));
    EXPECT_FALSE(IsEmbeddedStart(L"Kestrel.exe /"));
    EXPECT_FALSE(IsEmbeddedStart(nullptr));
}

TEST(StartUp, AnUnknownPrivilegeFailsWithItsConsoleLine) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    testing::internal::CaptureStdout();
    bool result = SetPrivilege(token, L"SeNoSuchPrivilege", true);
    std::fflush(stdout);
    std::string output = testing::internal::GetCapturedStdout();
    CloseHandle(token);
    EXPECT_FALSE(result);
    EXPECT_EQ(output, "LookupPrivilegeValue error: " + std::to_string(ERROR_NO_SUCH_PRIVILEGE) + "\n");
}

}  // namespace
}  // namespace kestrel::panel::win32
