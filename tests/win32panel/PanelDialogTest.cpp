// The main dialog built from its real resources, in this process: its template against the layout it
// must have, what it shows at creation, how replies reach its controls (handed in directly, and through
// its own listener thread from the reply mailslot), what typing and clicking report to the core, hiding
// and showing, and the end: the quit message, late replies dropped, the listener gone with the dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"
#include "panel/win32/PanelDlg.h"
#include "panel/win32/resource.h"
#include "platform/Time.h"

namespace kestrel::panel::win32 {
namespace {

class PanelDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog_ = std::make_unique<CPanelDlg>(GetModuleHandleW(nullptr));
        ASSERT_TRUE(dialog_->CreateModeless(nullptr));
        window_ = dialog_->Handle();
        Pump();
    }
    void TearDown() override { dialog_.reset(); }

    // Runs what is queued for this thread; remembers a quit message.
    void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit_ = true;
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    // Hands one reply over the way the listener does, then runs what it posted.
    void Reply(const std::wstring& text) {
        SendMessageW(window_, WM_SERVICE_REPLY, 0, reinterpret_cast<LPARAM>(&text));
        Pump();
    }
    void Command(int id, int code = 0) {
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, code),
                     reinterpret_cast<LPARAM>(GetDlgItem(window_, id)));
        Pump();
    }
    std::vector<std::wstring> Entries(int id) {
        std::vector<std::wstring> entries;
        ListBox box(GetDlgItem(window_, id));
        for (int i = 0; i < box.Count(); ++i)
            entries.push_back(box.Text(i));
        return entries;
    }
    std::wstring Text(int id) {
        wchar_t text[256] = {};
        GetDlgItemTextW(window_, id, text, 256);
        return text;
    }
    bool Checked(int id) { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }

    std::unique_ptr<CPanelDlg> dialog_;
    HWND window_ = nullptr;
    bool quit_ = false;
};

using Texts = std::vector<std::wstring>;

struct ControlLayout {
    int id;
    const wchar_t* className;
    int x, y, w, h;
    DWORD styleBits;  // bits that must be set
};

TEST_F(PanelDialogTest, TemplateHasEveryNumberedControlWhereItBelongs) {
    const ControlLayout layout[] = {
        {1018, L"ListBox", 14, 24, 58, 38, LBS_SORT | LBS_NOTIFY},
        {1022, L"Button", 75, 28, 26, 14, 0},
        {1023, L"Button", 75, 44, 26, 14, 0},
        {1019, L"ListBox", 107, 24, 58, 38, LBS_NOTIFY},
        {1025, L"Button", 107, 62, 68, 10, BS_AUTOCHECKBOX},
        {1028, L"Button", 177, 14, 66, 25, 0},
        {1027, L"Button", 177, 42, 66, 25, 0},
        {1020, L"Edit", 14, 78, 152, 14, ES_AUTOHSCROLL},
        {1006, L"Button", 177, 78, 66, 14, 0},
        {1021, L"ListBox", 14, 104, 152, 39, LBS_SORT | LBS_NOTIFY},
        {1007, L"Button", 177, 104, 66, 22, 0},
        {1014, L"Static", 14, 159, 49, 18, 0},
        {1008, L"Static", 71, 156, 48, 18, 0},
        {1013, L"Static", 14, 181, 49, 18, 0},
        {1009, L"Static", 71, 181, 48, 18, 0},
        {1015, L"Static", 14, 200, 49, 27, 0},
        {1012, L"Static", 71, 204, 48, 18, 0},
        {1016, L"Static", 195, 156, 48, 18, 0},
        {1010, L"Static", 195, 175, 48, 18, 0},
        {1011, L"Static", 195, 194, 48, 18, 0},
        {1024, L"Static", 195, 213, 48, 18, 0},
        {IDC_NOTICE, L"Static", 8, 236, 242, 26, 0},  // the status line, in the area below the statistics
    };
    for (const ControlLayout& control : layout) {
        SCOPED_TRACE(control.id);
        HWND item = GetDlgItem(window_, control.id);
        ASSERT_NE(item, nullptr);
        wchar_t className[32] = {};
        GetClassNameW(item, className, 32);
        EXPECT_EQ(_wcsicmp(className, control.className), 0) << className;
        RECT expected{control.x, control.y, control.x + control.w, control.y + control.h};
        MapDialogRect(window_, &expected);
        RECT actual{};
        GetWindowRect(item, &actual);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right, expected.right);
        EXPECT_EQ(actual.bottom, expected.bottom);
        DWORD style = static_cast<DWORD>(GetWindowLongPtrW(item, GWL_STYLE));
        EXPECT_EQ(style & control.styleBits, control.styleBits);
    }
    // The Watching list keeps the order in which drives are added.
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(window_, 1019), GWL_STYLE) & LBS_SORT, 0);
    EXPECT_EQ(Text(1022), L"--->");
    EXPECT_EQ(Text(1023), L"<---");
    EXPECT_EQ(Text(1006), L"Exclude File/Dir");
    EXPECT_EQ(Text(1007), L"Remove Entry");
    EXPECT_EQ(Text(1025), L"Defrag Only");
    EXPECT_EQ(Text(1027), L"About Kestrel");
    EXPECT_EQ(Text(1028), L"Rescan Drives");
    wchar_t caption[32] = {};
    GetWindowTextW(window_, caption, 32);
    EXPECT_STREQ(caption, L"Kestrel");
    LONG_PTR style = GetWindowLongPtrW(window_, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_NE(GetWindowLongPtrW(window_, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
    RECT client{};
    GetClientRect(window_, &client);
    RECT size{0, 0, 260, 288};
    MapDialogRect(window_, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
}

TEST_F(PanelDialogTest, StartsHiddenWithEmptyFieldsNoCalcTheAboutItemAndItsIcons) {
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_EQ(Text(IDC_PERCENT_FREE), L"no calc");
    for (int id : {IDC_FILES_LEFT, IDC_FRAGMENTS_SAVED, IDC_LARGEST_FRAGMENT, IDC_TOTAL_FILES_LEFT,
                   IDC_TOTAL_FRAGMENTS_SAVED, IDC_LIFETIME_FRAGMENTS, IDC_FILES_LEFT_LABEL,
                   IDC_FRAGMENTS_SAVED_LABEL, IDC_LARGEST_FRAGMENT_LABEL, IDC_EXCLUDE_PATH})
        EXPECT_EQ(Text(id), L"") << id;
    EXPECT_FALSE(Checked(IDC_DEFRAG_ONLY));
    wchar_t item[64] = {};
    GetMenuStringW(GetSystemMenu(window_, FALSE), IDM_ABOUTBOX, item, 64, MF_BYCOMMAND);
    EXPECT_STREQ(item, L"&About Kestrel...");
    EXPECT_NE(SendMessageW(window_, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(window_, WM_GETICON, ICON_SMALL, 0), 0);
    // Timers 3 and 4 run from the start.
    EXPECT_EQ(dialog_->State().timers[3], 5000u);
    EXPECT_EQ(dialog_->State().timers[4], 10000u);
}

TEST_F(PanelDialogTest, RepliesFillListsFieldsAndCheckBox) {
    Reply(L"20, Z:\\C:\\");
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"C:\\", L"Z:\\"}));
    Reply(L"21, E:\\D:\\");
    // The reported drives keep the service's order, the first is selected, and polling has begun.
    EXPECT_EQ(Entries(IDC_WATCHING_DRIVES), (Texts{L"E:\\", L"D:\\"}));
    EXPECT_EQ(ListBox(GetDlgItem(window_, IDC_WATCHING_DRIVES)).Selection(), 0);
    EXPECT_EQ(Text(IDC_FRAGMENTS_SAVED_LABEL), L"Fragments Saved on E:\\");
    EXPECT_EQ(Text(IDC_FILES_LEFT_LABEL), L"Files Left to Process on E:\\");
    EXPECT_EQ(Text(IDC_LARGEST_FRAGMENT_LABEL), L"Largest Fragment Saved on E:\\");
    EXPECT_TRUE(dialog_->State().connected);

    // The answer to one statistics request is shown once its last line (25, naming the drive) is in.
    Reply(L"23, No calc");
    EXPECT_EQ(Text(IDC_PERCENT_FREE), L"No calc");
    Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    Reply(L"24, E:\\TEMP;E:\\CACHE;E:\\DROPPED");
    Reply(L"25, E1DEFRAGONLY");
    EXPECT_EQ(Text(IDC_FILES_LEFT), L"1");
    EXPECT_EQ(Text(IDC_FRAGMENTS_SAVED), L"2");
    EXPECT_EQ(Text(IDC_LARGEST_FRAGMENT), L"3");
    EXPECT_EQ(Text(IDC_TOTAL_FILES_LEFT), L"4");
    EXPECT_EQ(Text(IDC_TOTAL_FRAGMENTS_SAVED), L"5");
    EXPECT_EQ(Text(IDC_LIFETIME_FRAGMENTS), L"6");
    EXPECT_EQ(Entries(IDC_EXCLUSIONS), (Texts{L"E:\\CACHE", L"E:\\TEMP"}));
    EXPECT_TRUE(Checked(IDC_DEFRAG_ONLY));
    // The next answer for E has no exclusions: the list empties. One for D, asked for before, is dropped.
    Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    Reply(L"25, E0DEFRAGONLY");
    EXPECT_EQ(Entries(IDC_EXCLUSIONS), Texts{});
    EXPECT_FALSE(Checked(IDC_DEFRAG_ONLY));
    Reply(L"22, 9;;;9;;;9;;;9;;;9;;;9;;;");
    Reply(L"24, D:\\OTHER;");
    Reply(L"25, D1DEFRAGONLY");
    EXPECT_EQ(Entries(IDC_EXCLUSIONS), Texts{});
    EXPECT_EQ(Text(IDC_FILES_LEFT), L"1");
    EXPECT_FALSE(Checked(IDC_DEFRAG_ONLY));
    // Other codes change nothing on show.
    Reply(L"19, C:\\");
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"C:\\", L"Z:\\"}));
}

TEST_F(PanelDialogTest, TypingAndSelectingReachTheCoreAndTheEditKeepsWhatWasTyped) {
    SetDlgItemTextW(window_, IDC_EXCLUDE_PATH, L"c:\\lower\\case");
    Pump();
    EXPECT_EQ(dialog_->State().exclusionPath, L"c:\\lower\\case");
    EXPECT_EQ(Text(IDC_EXCLUDE_PATH), L"c:\\lower\\case");

    Reply(L"21, C:\\");
    Reply(L"24, C:\\A;C:\\B;");
    Reply(L"25, C0DEFRAGONLY");
    ListBox exclusions(GetDlgItem(window_, IDC_EXCLUSIONS));
    exclusions.Select(1);
    Command(IDC_EXCLUSIONS, LBN_SELCHANGE);
    EXPECT_EQ(Text(IDC_EXCLUDE_PATH), L"C:\\B");

    // Entries whose order a list box's own sorting might see otherwise: the box shows the core's order,
    // so a selection names the same entry on both sides.
    Reply(L"24, C:\\A_B;C:\\AB;C:\\A-B;C:\\a b;");
    Reply(L"25, C0DEFRAGONLY");
    ASSERT_EQ(Entries(IDC_EXCLUSIONS).size(), 4u);
    EXPECT_EQ(Entries(IDC_EXCLUSIONS), dialog_->State().exclusions.entries);
    for (int i = 0; i < 4; ++i) {
        exclusions.Select(i);
        Command(IDC_EXCLUSIONS, LBN_SELCHANGE);
        EXPECT_EQ(Text(IDC_EXCLUDE_PATH), dialog_->State().exclusions.entries[static_cast<std::size_t>(i)]);
    }

    Reply(L"21, ");  // C:\\ is watched no more; its exclusions leave with it
    EXPECT_EQ(Entries(IDC_EXCLUSIONS), Texts{});
    Reply(L"20, C:\\D:\\");
    ListBox available(GetDlgItem(window_, IDC_AVAILABLE_DRIVES));
    available.Select(1);
    Command(IDC_AVAILABLE_DRIVES, LBN_SELCHANGE);
    Command(IDC_WATCH, BN_CLICKED);
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"C:\\"}));
    EXPECT_EQ(Entries(IDC_WATCHING_DRIVES), (Texts{L"D:\\"}));
    EXPECT_EQ(dialog_->State().timers[1], 5000u);
    EXPECT_EQ(dialog_->State().timers[2], 10000u);

    // Removing the last watched drive: empty statistics, "No calc", the lifetime total kept.
    Reply(L"22, 1;;;2;;;3;;;4;;;5;;;6;;;");
    Reply(L"25, D0DEFRAGONLY");
    Command(IDC_STOP_WATCHING, BN_CLICKED);
    EXPECT_EQ(Entries(IDC_WATCHING_DRIVES), Texts{});
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"C:\\", L"D:\\"}));
    EXPECT_EQ(Text(IDC_FILES_LEFT), L"");
    EXPECT_EQ(Text(IDC_TOTAL_FRAGMENTS_SAVED), L"");
    EXPECT_EQ(Text(IDC_PERCENT_FREE), L"No calc");
    EXPECT_EQ(Text(IDC_LIFETIME_FRAGMENTS), L"6");
    EXPECT_EQ(dialog_->State().timers[1], 0u);
}

TEST_F(PanelDialogTest, CloseHidesTheTrayCommandShowsAndExitQuitsAndDropsLaterReplies) {
    Command(ID_TRAY_SHOW);
    EXPECT_TRUE(IsWindowVisible(window_));
    SendMessageW(window_, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_FALSE(quit_);
    // The tray icon's double-click goes through the tray's menu to the same command.
    SendMessageW(window_, WM_TRAY_NOTIFY, 104, WM_LBUTTONDBLCLK);
    Pump();
    EXPECT_TRUE(IsWindowVisible(window_));

    Reply(L"20, C:\\");
    Command(ID_TRAY_EXIT);
    EXPECT_TRUE(quit_);
    Reply(L"20, X:\\");
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"C:\\"}));
}

TEST_F(PanelDialogTest, EveryLabelFitsItsControlWithTheDrivesNamed) {
    Reply(L"21, C:\\D:\\");  // the drive labels name the first drive
    ASSERT_EQ(Text(IDC_LARGEST_FRAGMENT_LABEL), L"Largest Fragment Saved on C:\\");
    int checked = 0;
    for (HWND item = GetWindow(window_, GW_CHILD); item != nullptr; item = GetWindow(item, GW_HWNDNEXT)) {
        wchar_t className[32] = {};
        GetClassNameW(item, className, 32);
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(item, GWL_STYLE));
        const DWORD kind = style & SS_TYPEMASK;
        if (_wcsicmp(className, L"Static") != 0 || (kind != SS_LEFT && kind != SS_LEFTNOWORDWRAP))
            continue;
        wchar_t text[256] = {};
        GetWindowTextW(item, text, 256);
        if (text[0] == L'\0')
            continue;
        SCOPED_TRACE(testing::Message() << "control " << GetDlgCtrlID(item));
        RECT client{};
        GetClientRect(item, &client);
        HDC dc = GetDC(item);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(item, WM_GETFONT, 0, 0)));
        RECT needed{0, 0, client.right, 0};
        DrawTextW(dc, text, -1, &needed,
                  DT_CALCRECT | DT_NOPREFIX | (kind == SS_LEFT ? DT_WORDBREAK : DT_SINGLELINE));
        SelectObject(dc, old);
        ReleaseDC(item, dc);
        // All of the text is drawn: no line is pushed below the control, none runs past its edge.
        EXPECT_LE(needed.bottom, client.bottom);
        EXPECT_LE(needed.right, client.right);
        ++checked;
    }
    EXPECT_GE(checked, 12);
}

TEST_F(PanelDialogTest, ARefusedPathIsExplainedOnTheStatusLine) {
    Reply(L"21, C:\\");
    EXPECT_EQ(Text(IDC_NOTICE), L"");
    SetDlgItemTextW(window_, IDC_EXCLUDE_PATH, L"c:\\a;b");
    Pump();
    Command(IDC_ADD_EXCLUDE, BN_CLICKED);
    EXPECT_NE(Text(IDC_NOTICE).find(L"\";\""), std::wstring::npos);
    EXPECT_FALSE(dialog_->State().notice.empty());
    // Typing again takes it away.
    SetDlgItemTextW(window_, IDC_EXCLUDE_PATH, L"c:\\a");
    Pump();
    EXPECT_EQ(Text(IDC_NOTICE), L"");
}

// The About box, found and closed from a thread timer while it runs modally; set when it was seen.
HWND g_aboutSeen = nullptr;
void CALLBACK CloseAbout(HWND, UINT, UINT_PTR, DWORD) {
    HWND about = FindWindowW(nullptr, L"About Kestrel");
    if (about != nullptr) {
        g_aboutSeen = about;
        PostMessageW(about, WM_COMMAND, IDOK, 0);
    }
}

TEST_F(PanelDialogTest, EnterInThePathAddsTheExclusionAndF1ShowsTheAboutBox) {
    // The service's command mailslot, read here to see what the dialog sends.
    MailslotReader service;
    ASSERT_TRUE(service.Create(std::wstring(protocol::kCommandMailslot), false));
    Reply(L"21, C:\\");
    Command(ID_TRAY_SHOW);
    ASSERT_TRUE(IsWindowVisible(window_));
    for (std::wstring m = service.Read(); !m.empty(); m = service.Read()) {
    }  // the first statistics requests

    HWND edit = GetDlgItem(window_, IDC_EXCLUDE_PATH);
    SetDlgItemTextW(window_, IDC_EXCLUDE_PATH, L"c:\\temp");
    SetFocus(edit);
    ASSERT_EQ(GetFocus(), edit);
    MSG enter{edit, WM_KEYDOWN, VK_RETURN, 0x001C0001, GetTickCount(), {}};
    EXPECT_TRUE(dialog_->PreTranslate(enter));
    Pump();
    EXPECT_TRUE(IsWindowVisible(window_));
    std::wstring sent;
    for (int i = 0; i < 100 && sent.empty(); ++i) {
        sent = service.Read();
        Sleep(10);
    }
    EXPECT_EQ(sent, L"C:\\C:\\TEMP ADDEXCLUDE" + std::wstring(protocol::kReplyAddress));

    // F1 (WM_HELP) opens the About box; no help file is looked for.
    g_aboutSeen = nullptr;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, CloseAbout);
    HELPINFO help{sizeof(HELPINFO), HELPINFO_WINDOW, IDC_EXCLUDE_PATH, edit, 0, {0, 0}};
    SendMessageW(window_, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
    ::KillTimer(nullptr, timer);
    EXPECT_NE(g_aboutSeen, nullptr);
    EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(PanelDialogTest, TheListenerHandsRepliesOverAndHasEndedWhenTheDialogIsGone) {
    timing::ScopedTimeDivisor faster(10);
    PostMessageW(window_, WM_START_WORKERS, 0, 0);
    Pump();
    // The listener creates the reply mailslot on its own thread; write into it once it is there.
    MailslotWriter writer;
    std::wstring slot(protocol::kReplyMailslot);
    DWORD start = GetTickCount();
    while (!writer.Open(slot) && GetTickCount() - start < 10000) {
        Pump();
        Sleep(50);
    }
    ASSERT_TRUE(writer.IsOpen());
    ASSERT_TRUE(writer.Write(L"20, Q:\\R:\\"));
    start = GetTickCount();
    while (Entries(IDC_AVAILABLE_DRIVES).size() < 2 && GetTickCount() - start < 10000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        Pump();
    }
    EXPECT_EQ(Entries(IDC_AVAILABLE_DRIVES), (Texts{L"Q:\\", L"R:\\"}));

    // With a reply still waiting in the slot, the destruction does not wait for long, and afterwards the
    // reply mailslot's name is free: the listener has closed it and ended.
    ASSERT_TRUE(writer.Write(L"21, S:\\"));
    writer.Open(L"");  // gives up the handle on the slot (an empty name opens nothing)
    start = GetTickCount();
    dialog_.reset();
    EXPECT_LT(GetTickCount() - start, 5000u);
    MailslotReader reader;
    EXPECT_TRUE(reader.Create(slot, false));
}

}  // namespace
}  // namespace kestrel::panel::win32
