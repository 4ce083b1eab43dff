// A small outside helper for the control panel's Wine check: it finds Kestrel.exe's main dialog (and its
// message box) from another process, reads what the dialog shows, presses its buttons and tray commands
// the way a user would, and sets named events. Every command prints what it saw; the exit code says
// whether it found what it waited for (0 yes, 1 no, 2 usage).
//
//   panel_probe find SECONDS            the dialog exists; prints "visible 0|1"
//   panel_probe command ID [SECONDS]    posts WM_COMMAND ID (a tray menu item) and, with SECONDS, waits
//                                       until the dialog is visible
//   panel_probe tray MOUSEMSG SECONDS   posts the tray callback (icon 104, mouse message) and waits until
//                                       the dialog is visible
//   panel_probe close SECONDS           posts WM_CLOSE and waits until the dialog is hidden
//   panel_probe lists                   prints the three lists, one "NAME: entry|entry" line each
//   panel_probe wait-lists SECONDS A W  waits until Available holds >= A and Watching >= W entries
//   panel_probe watch LETTER SECONDS    selects LETTER in Available, presses "--->", waits until it
//                                       is in Watching
//   panel_probe text ID                 prints a control's text
//   panel_probe selected ID             prints the selected entry of a list ("(none)" when none)
//   panel_probe wait-text ID TEXT SECONDS  waits until a control shows TEXT
//   panel_probe wait-number ID SECONDS  waits until a control shows a decimal number
//   panel_probe rect                    prints the dialog's screen rectangle "x y w h"
//   panel_probe dismiss SECONDS         finds the "KESTREL Already Running" box, prints its text, presses OK
//   panel_probe set-event NAME SECONDS [until-gone]
//                                       opens or creates the named event, sets it and holds it SECONDS
//                                       (or until the panel's dialog is gone)
//   panel_probe gone SECONDS            waits until no panel dialog exists
//   panel_probe tray-shown SECONDS      waits until the tray shows an icon (tray-gone: until it shows none)
//   panel_probe tray-info               prints the tray window's handle, class, visibility and rectangle
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT kTrayNotify = WM_USER + 0;
constexpr int kAvailable = 1018;
constexpr int kWatching = 1019;
constexpr int kExclusions = 1021;
constexpr int kWatchButton = 1022;

// The panel's dialog: a dialog-class window captioned "Kestrel" that holds the Available Drives list.
struct Search {
    HWND found = nullptr;
};

BOOL CALLBACK FindPanel(HWND window, LPARAM context) {
    wchar_t className[64] = {};
    wchar_t title[64] = {};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, title, 64);
    if (std::wcscmp(className, L"#32770") == 0 && std::wcscmp(title, L"Kestrel") == 0 &&
        GetDlgItem(window, kAvailable) != nullptr) {
        reinterpret_cast<Search*>(context)->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Panel() {
    Search search;
    EnumWindows(&FindPanel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Polls `test` every 100 ms for up to `seconds`.
template <class Test>
bool WaitFor(double seconds, Test test) {
    DWORD start = GetTickCount();
    for (;;) {
        if (test())
            return true;
        if (GetTickCount() - start > static_cast<DWORD>(seconds * 1000))
            return false;
        Sleep(100);
    }
}

std::wstring ListText(HWND list, int index) {
    LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || length < 0)
        return {};
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    return buffer.data();
}

std::vector<std::wstring> ListEntries(HWND dialog, int id) {
    std::vector<std::wstring> entries;
    HWND list = GetDlgItem(dialog, id);
    int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        entries.push_back(ListText(list, i));
    return entries;
}

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

void PrintList(const char* name, const std::vector<std::wstring>& entries) {
    std::printf("%s:", name);
    for (std::size_t i = 0; i < entries.size(); ++i)
        std::printf("%s%ls", i == 0 ? " " : "|", entries[i].c_str());
    std::printf("\n");
}

bool Visible(HWND window) {
    return window != nullptr && IsWindowVisible(window);
}

int Usage() {
    std::fprintf(stderr, "usage: panel_probe COMMAND ARGS (see the source)\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return Usage();
    std::wstring command = argv[1];
    auto seconds = [&](int index) { return argc > index ? _wtof(argv[index]) : 0.0; };

    if (command == L"set-event" && argc >= 3) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, argv[2]);
        if (event == nullptr)
            return 1;
        BOOL set = SetEvent(event);
        std::printf("set %ls: %d\n", argv[2], set ? 1 : 0);
        // A named event lives only while someone holds it, and the panel opens it only on its timers: the
        // handle is held for SECONDS, or, with "until-gone", until the panel's dialog is gone.
        bool untilGone = argc >= 5 && std::wcscmp(argv[4], L"until-gone") == 0;
        WaitFor(seconds(3), [&] { return untilGone && Panel() == nullptr; });
        CloseHandle(event);
        return set ? 0 : 1;
    }
    if (command == L"dismiss") {
        HWND box = nullptr;
        bool found = WaitFor(seconds(2), [&] {
            box = FindWindowW(L"#32770", L"KESTREL Already Running");
            return box != nullptr;
        });
        if (!found) {
            std::printf("no message box\n");
            return 1;
        }
        // The message box shows its text in a static control with id 0xFFFF.
        std::printf("caption: KESTREL Already Running\ntext: %ls\n", ControlText(box, 0xFFFF).c_str());
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (command == L"tray-shown" || command == L"tray-gone") {
        // With no notification area on the X display, Wine's shell shows the tray icons in a window of its
        // own, which exists exactly while an icon is in the tray.
        bool wantShown = command == L"tray-shown";
        auto shown = [] {
            HWND tray = FindWindowW(nullptr, L"Wine System Tray");
            return tray != nullptr && IsWindowVisible(tray);
        };
        bool seen = WaitFor(seconds(2), [&] { return shown() == wantShown; });
        std::printf("tray %s\n", shown() ? "shown" : "not shown");
        return seen ? 0 : 1;
    }
    if (command == L"tray-info") {
        HWND tray = FindWindowW(nullptr, L"Wine System Tray");
        RECT rect{};
        if (tray != nullptr)
            GetWindowRect(tray, &rect);
        wchar_t className[64] = {};
        if (tray != nullptr)
            GetClassNameW(tray, className, 64);
        std::printf("tray %p class %ls visible %d rect %ld %ld %ld %ld\n", static_cast<void*>(tray),
                    className, tray != nullptr && IsWindowVisible(tray) ? 1 : 0, rect.left, rect.top,
                    rect.right, rect.bottom);
        return 0;
    }
    if (command == L"gone") {
        bool gone = WaitFor(seconds(2), [] { return Panel() == nullptr; });
        std::printf(gone ? "gone\n" : "still there\n");
        return gone ? 0 : 1;
    }

    HWND dialog = nullptr;
    double findSeconds = command == L"find" ? seconds(2) : 10.0;
    if (!WaitFor(findSeconds, [&] { return (dialog = Panel()) != nullptr; })) {
        std::printf("no panel window\n");
        return 1;
    }

    if (command == L"find") {
        std::printf("visible %d\n", Visible(dialog) ? 1 : 0);
        return 0;
    }
    if (command == L"command" && argc >= 3) {
        PostMessageW(dialog, WM_COMMAND, static_cast<WPARAM>(_wtoi(argv[2])), 0);
        if (argc < 4)
            return 0;
        bool shown = WaitFor(seconds(3), [&] { return Visible(dialog); });
        std::printf("visible %d\n", shown ? 1 : 0);
        return shown ? 0 : 1;
    }
    if (command == L"tray" && argc >= 3) {
        PostMessageW(dialog, kTrayNotify, 104, static_cast<LPARAM>(_wtoi(argv[2])));
        bool shown = WaitFor(seconds(3), [&] { return Visible(dialog); });
        std::printf("visible %d\n", shown ? 1 : 0);
        return shown ? 0 : 1;
    }
    if (command == L"close") {
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        bool hidden = WaitFor(seconds(2), [&] { return !Visible(dialog); });
        std::printf("visible %d\n", hidden ? 0 : 1);
        return hidden ? 0 : 1;
    }
    if (command == L"lists") {
        PrintList("available", ListEntries(dialog, kAvailable));
        PrintList("watching", ListEntries(dialog, kWatching));
        PrintList("exclusions", ListEntries(dialog, kExclusions));
        return 0;
    }
    if (command == L"wait-lists" && argc >= 5) {
        std::size_t available = static_cast<std::size_t>(_wtoi(argv[3]));
        std::size_t watching = static_cast<std::size_t>(_wtoi(argv[4]));
        bool filled = WaitFor(seconds(2), [&] {
            return ListEntries(dialog, kAvailable).size() >= available &&
                   ListEntries(dialog, kWatching).size() >= watching;
        });
        PrintList("available", ListEntries(dialog, kAvailable));
        PrintList("watching", ListEntries(dialog, kWatching));
        return filled ? 0 : 1;
    }
    if (command == L"watch" && argc >= 3) {
        wchar_t letter = towupper(argv[2][0]);
        std::vector<std::wstring> available = ListEntries(dialog, kAvailable);
        int index = -1;
        for (std::size_t i = 0; i < available.size(); ++i) {
            if (!available[i].empty() && towupper(available[i][0]) == letter)
                index = static_cast<int>(i);
        }
        if (index < 0) {
            std::printf("%lc is not in Available Drives\n", letter);
            return 1;
        }
        // What a click on the entry does: the selection, then its notification to the dialog.
        HWND list = GetDlgItem(dialog, kAvailable);
        SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kAvailable, LBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(list));
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kWatchButton, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, kWatchButton)));
        std::wstring entry = std::wstring(1, letter) + L":\\";
        bool moved = WaitFor(seconds(3), [&] {
            for (const std::wstring& watched : ListEntries(dialog, kWatching)) {
                if (watched == entry)
                    return true;
            }
            return false;
        });
        PrintList("available", ListEntries(dialog, kAvailable));
        PrintList("watching", ListEntries(dialog, kWatching));
        return moved ? 0 : 1;
    }
    if (command == L"text" && argc >= 3) {
        std::printf("%ls\n", ControlText(dialog, _wtoi(argv[2])).c_str());
        return 0;
    }
    if (command == L"selected" && argc >= 3) {
        HWND list = GetDlgItem(dialog, _wtoi(argv[2]));
        const LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
        std::printf("%ls\n", index == LB_ERR ? L"(none)" : ListText(list, static_cast<int>(index)).c_str());
        return 0;
    }
    if (command == L"wait-text" && argc >= 4) {
        int id = _wtoi(argv[2]);
        std::wstring want = argv[3];
        bool seen = WaitFor(seconds(4), [&] { return ControlText(dialog, id) == want; });
        std::printf("%ls\n", ControlText(dialog, id).c_str());
        return seen ? 0 : 1;
    }
    if (command == L"wait-number" && argc >= 3) {
        int id = _wtoi(argv[2]);
        auto isNumber = [](const std::wstring& text) {
            if (text.empty())
                return false;
            for (wchar_t c : text) {
                if (c < L'0' || c > L'9')
                    return false;
            }
            return true;
        };
        bool seen = WaitFor(seconds(3), [&] { return isNumber(ControlText(dialog, id)); });
        std::printf("%ls\n", ControlText(dialog, id).c_str());
        return seen ? 0 : 1;
    }
    if (command == L"rect") {
        RECT rect{};
        GetWindowRect(dialog, &rect);
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        return 0;
    }
    return Usage();
}
