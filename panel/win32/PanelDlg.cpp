#include "panel/win32/PanelDlg.h"

#include <dbt.h>

#include <type_traits>
#include <utility>
#include <variant>

#include "platform/Time.h"
#include "panel/win32/resource.h"

namespace kestrel::panel::win32 {
namespace {

// Device events that carry a DEV_BROADCAST_HDR in lParam; the others carry no data block.
bool CarriesDeviceHeader(WPARAM event) {
    switch (event) {
        case DBT_DEVICEARRIVAL:
        case DBT_DEVICEQUERYREMOVE:
        case DBT_DEVICEQUERYREMOVEFAILED:
        case DBT_DEVICEREMOVEPENDING:
        case DBT_DEVICEREMOVECOMPLETE:
        case DBT_DEVICETYPESPECIFIC:
        case DBT_CUSTOMEVENT:
            return true;
        default:
            return false;
    }
}

HICON LoadIconSized(HINSTANCE instance, UINT id, int metricX, int metricY) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                         LR_DEFAULTCOLOR | LR_SHARED));
}
}  // namespace

const MessageMapEntry<CPanelDlg> CPanelDlg::kMessageMap[] = {
    OnMessage<CPanelDlg>(WM_TRAY_NOTIFY, &CPanelDlg::OnTrayNotify),
    OnMessage<CPanelDlg>(WM_REQUEST_DATA, &CPanelDlg::OnRequestData),
    OnMessage<CPanelDlg>(WM_REQUEST_FREESPACE, &CPanelDlg::OnRequestFreeSpace),
    OnMessage<CPanelDlg>(WM_START_WORKERS, &CPanelDlg::OnStartWorkers),
    OnMessage<CPanelDlg>(WM_DRIVE_WATCHED, &CPanelDlg::OnDriveWatched),
    OnMessage<CPanelDlg>(WM_SERVICE_REPLY, &CPanelDlg::OnServiceReply),
    OnMessage<CPanelDlg>(WM_POSTED_INPUT, &CPanelDlg::OnPostedInput),
    OnMessage<CPanelDlg>(WM_DRIVE_LIST_ASKED, &CPanelDlg::OnDriveListAsked),
    OnMessage<CPanelDlg>(WM_TIMER, &CPanelDlg::OnTimer),
    OnMessage<CPanelDlg>(WM_DEVICECHANGE, &CPanelDlg::OnDeviceChange),
    OnMessage<CPanelDlg>(WM_CLOSE, &CPanelDlg::OnClose),
    OnMessage<CPanelDlg>(WM_QUERYDRAGICON, &CPanelDlg::OnQueryDragIcon),
    OnMessage<CPanelDlg>(WM_HELP, &CPanelDlg::OnHelp),
    OnCommand<CPanelDlg>(IDC_AVAILABLE_DRIVES, &CPanelDlg::OnAvailableNotify),
    OnCommand<CPanelDlg>(IDC_WATCHING_DRIVES, &CPanelDlg::OnWatchingNotify),
    OnCommand<CPanelDlg>(IDC_EXCLUSIONS, LBN_SELCHANGE, &CPanelDlg::OnExclusionsNotify),
    OnCommand<CPanelDlg>(IDC_EXCLUDE_PATH, EN_CHANGE, &CPanelDlg::OnExclusionPathChanged),
    OnCommand<CPanelDlg>(IDC_WATCH, BN_CLICKED, &CPanelDlg::OnWatch),
    OnCommand<CPanelDlg>(IDC_STOP_WATCHING, BN_CLICKED, &CPanelDlg::OnStopWatching),
    OnCommand<CPanelDlg>(IDC_ADD_EXCLUDE, BN_CLICKED, &CPanelDlg::OnAddExclusion),
    OnCommand<CPanelDlg>(IDC_REMOVE_EXCLUDE, BN_CLICKED, &CPanelDlg::OnRemoveExclusion),
    OnCommand<CPanelDlg>(IDC_DEFRAG_ONLY, BN_CLICKED, &CPanelDlg::OnDefragOnly),
    OnCommand<CPanelDlg>(IDC_RESCAN, BN_CLICKED, &CPanelDlg::OnRescan),
    OnCommand<CPanelDlg>(IDC_ABOUT, BN_CLICKED, &CPanelDlg::OnAbout),
    OnCommand<CPanelDlg>(ID_TRAY_SHOW, &CPanelDlg::OnShowCommand),
    OnCommand<CPanelDlg>(ID_TRAY_EXIT, &CPanelDlg::OnExitCommand),
    // Enter in the exclusion path adds the exclusion; elsewhere Enter, and Escape, close the dialog the
    // way its caption button does.
    OnCommand<CPanelDlg>(IDOK, &CPanelDlg::OnEnter),
    OnCommand<CPanelDlg>(IDCANCEL, &CPanelDlg::OnClose),
    OnCommand<CPanelDlg>(IDHELP, &CPanelDlg::OnHelp),
};

CPanelDlg::CPanelDlg(HINSTANCE instance) : Dialog(instance, IDD_KESTREL_DIALOG), tray_(IDI_TRAY_WAITING) {
    largeIcon_ = LoadIconSized(instance, IDR_MAINFRAME, SM_CXICON, SM_CYICON);
    smallIcon_ = LoadIconSized(instance, IDI_TRAY_CONNECTED, SM_CXSMICON, SM_CYSMICON);
    // The listener hands each reply over synchronously, on the dialog's thread. While the dialog tears
    // down, a reply still on its way is taken by the pump of Shutdown and dropped by the closed core.
    client_ = std::make_unique<ServiceClient>(
        [this](const std::wstring& message) {
            HWND window = Handle();
            if (window != nullptr)
                SendMessageW(window, WM_SERVICE_REPLY, 0, reinterpret_cast<LPARAM>(&message));
        },
        ClientNames{},
        [this](bool asked) {
            HWND window = Handle();
            if (window != nullptr)
                SendMessageW(window, WM_DRIVE_LIST_ASKED, asked ? 1 : 0, 0);
        });
}

CPanelDlg::~CPanelDlg() {
    Teardown();
}

void CPanelDlg::Teardown() {
    if (tornDown_)
        return;
    tornDown_ = true;
    // No reply may reach the dialog from here on; the sent ones already on their way are let through
    // by the pump and dropped (the core answers nothing once closed, and the client stops handing on).
    client_->Shutdown([] {
        MSG message;
        // Dispatches messages sent from other threads (the listener's hand-over) without taking posted
        // ones off the queue.
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    });
    client_.reset();
    tray_.ApplyIcon(nullptr, nullptr);
    posted_.clear();
    Destroy();
}

bool CPanelDlg::PreTranslate(MSG& message) {
    HWND window = Handle();
    return window != nullptr && IsDialogMessageW(window, &message);
}

BOOL CPanelDlg::OnInitDialog() {
    HMENU systemMenu = GetSystemMenu(Handle(), FALSE);
    std::wstring about = LoadResourceString(Instance(), IDS_ABOUTBOX);
    if (systemMenu != nullptr && !about.empty()) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
    SetIcons();
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // The icon goes into the tray as the waiting one, without tooltip. The shell knows an icon by its
    // window and identifier, so the window is set before the first add.
    tray_.SetNotifyTarget(Handle(), WM_TRAY_NOTIFY);
    tray_.ApplyIconResource(IDI_TRAY_WAITING);
    trayReady_ = true;
    Deliver(Initialize{});
    return TRUE;
}

void CPanelDlg::SetIcons() {
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon_));
}

MessageResult CPanelDlg::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        // The task bar came back: put the icon back as the connected one, then let the default handling
        // have the message as well.
        tray_.ApplyIconResource(0);
        tray_.SetNotifyTarget(Handle(), WM_TRAY_NOTIFY);
        tray_.ApplyIconResource(IDI_TRAY_CONNECTED);
        return {};
    }
    // Three messages keep the default handling in most cases, which a map line cannot express.
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) != IDM_ABOUTBOX)
                return {};
            Deliver(AboutClicked{});
            return {true, 0};
        case WM_PAINT:
            if (!IsIconic(Handle()))
                return {};
            return {true, OnPaint(wParam, lParam)};
        case WM_SETCURSOR:
            if (!core_.State().waitPending)
                return {};
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return {true, TRUE};
        default:
            return DispatchThroughMap(*this, kMessageMap, message, wParam, lParam);
    }
}

void CPanelDlg::Deliver(const Input& input) {
    Effects effects = core_.Handle(input);
    Perform(effects);
    Draw();
}

void CPanelDlg::PostInput(const Input& input) {
    HWND window = Handle();
    if (window == nullptr)
        return;
    // The inputs that have a message of their own travel as that message.
    if (std::holds_alternative<RequestData>(input)) {
        PostMessageW(window, WM_REQUEST_DATA, 0, 0);
    } else if (std::holds_alternative<RequestFreeSpace>(input)) {
        PostMessageW(window, WM_REQUEST_FREESPACE, 0, 0);
    } else if (std::holds_alternative<StartWorkers>(input)) {
        PostMessageW(window, WM_START_WORKERS, 0, 0);
    } else if (const auto* watched = std::get_if<DriveWatched>(&input)) {
        PostMessageW(window, WM_DRIVE_WATCHED, static_cast<WPARAM>(watched->driveIndex), 0);
    } else {
        posted_.push_back(input);
        PostMessageW(window, WM_POSTED_INPUT, 0, 0);
    }
}

void CPanelDlg::Perform(const Effects& effects) {
    for (const Effect& effect : effects) {
        std::visit(
            [this](const auto& e) {
                using E = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<E, Send>) {
                    client_->SendCommand(e.argument, e.word);
                } else if constexpr (std::is_same_v<E, SetTimer>) {
                    StartTimer(static_cast<UINT_PTR>(e.id), timing::Scaled(e.period));
                } else if constexpr (std::is_same_v<E, KillTimer>) {
                    StopTimer(static_cast<UINT_PTR>(e.id));
                } else if constexpr (std::is_same_v<E, Post>) {
                    PostInput(e.input);
                } else if constexpr (std::is_same_v<E, LaunchWorkers>) {
                    client_->StartWorkers();
                } else if constexpr (std::is_same_v<E, StopListener>) {
                    client_->StopListener();
                } else if constexpr (std::is_same_v<E, CheckQuitEvent>) {
                    if (QuitEventSignalled(std::wstring(kQuitEventName)))
                        Deliver(QuitEventSet{});
                } else if constexpr (std::is_same_v<E, PostQuit>) {
                    PostQuitMessage(0);
                } else if constexpr (std::is_same_v<E, ShowDialog>) {
                    ShowWindow(Handle(), SW_SHOW);
                    SetForegroundWindow(Handle());
                    SetFocus(Handle());
                } else if constexpr (std::is_same_v<E, HideDialog>) {
                    ShowWindow(Handle(), SW_HIDE);
                } else if constexpr (std::is_same_v<E, ShowAbout>) {
                    CAboutDlg about(Instance());
                    about.RunModal(Handle());
                }
            },
            effect);
    }
}

void CPanelDlg::DrawList(int controlId, const ListState& list) {
    ListBox box(Item(controlId));
    bool same = box.Count() == static_cast<int>(list.entries.size());
    for (int i = 0; same && i < box.Count(); ++i)
        same = box.Text(i) == list.entries[static_cast<std::size_t>(i)];
    if (!same) {
        box.Clear();
        // The core keeps the sorted lists in order itself. Inserting at the end shows exactly its order
        // (a sorted box would otherwise sort by its own rules), so the box's indexes are the core's.
        for (const std::wstring& entry : list.entries)
            box.Insert(-1, entry);
    }
    if (box.Selection() != list.selected)
        box.Select(list.selected);
}

void CPanelDlg::DrawText(int controlId, const std::wstring& text) {
    HWND control = Item(controlId);
    if (control == nullptr)
        return;
    std::wstring shown;
    DataExchange(Handle(), true).Text(controlId, shown);
    if (shown != text)
        SetWindowTextW(control, text.c_str());
}

void CPanelDlg::Draw() {
    if (Handle() == nullptr)
        return;
    const PanelState& state = core_.State();
    drawing_ = true;
    DrawList(IDC_AVAILABLE_DRIVES, state.available);
    DrawList(IDC_WATCHING_DRIVES, state.watching);
    DrawList(IDC_EXCLUSIONS, state.exclusions);
    DrawText(IDC_EXCLUDE_PATH, state.exclusionPath);
    DrawText(IDC_FILES_LEFT, state.filesLeft);
    DrawText(IDC_FRAGMENTS_SAVED, state.fragmentsSaved);
    DrawText(IDC_LARGEST_FRAGMENT, state.largestFragmentSaved);
    DrawText(IDC_FILES_LEFT_LABEL, state.filesLeftLabel);
    DrawText(IDC_FRAGMENTS_SAVED_LABEL, state.fragmentsSavedLabel);
    DrawText(IDC_LARGEST_FRAGMENT_LABEL, state.largestFragmentSavedLabel);
    DrawText(IDC_PERCENT_FREE, state.percentFree);
    DrawText(IDC_TOTAL_FILES_LEFT, state.totalFilesLeft);
    DrawText(IDC_TOTAL_FRAGMENTS_SAVED, state.totalFragmentsSaved);
    DrawText(IDC_LIFETIME_FRAGMENTS, state.lifetimeFragmentsSaved);
    DrawText(IDC_NOTICE, state.notice);
    int check = state.defragOnly ? BST_CHECKED : BST_UNCHECKED;
    int shownCheck = 0;
    DataExchange(Handle(), true).Check(IDC_DEFRAG_ONLY, shownCheck);
    if (shownCheck != check)
        DataExchange(Handle(), false).Check(IDC_DEFRAG_ONLY, check);
    drawing_ = false;

    // A failed shell call leaves no icon on show; the next drawing tries to add it again.
    if (trayReady_ && (state.connected != drawnConnected_ || !tray_.IconOnShow())) {
        drawnConnected_ = state.connected;
        tray_.ApplyIconResource(state.connected ? IDI_TRAY_CONNECTED : IDI_TRAY_WAITING);
    }
    if (state.waitPending != drawnWait_) {
        drawnWait_ = state.waitPending;
        POINT cursor{};
        HWND under = GetCursorPos(&cursor) ? WindowFromPoint(cursor) : nullptr;
        if (under != nullptr && (under == Handle() || IsChild(Handle(), under)))
            SetCursor(LoadCursorW(nullptr, drawnWait_ ? IDC_WAIT : IDC_ARROW));
    }
}

INT_PTR CPanelDlg::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    if (static_cast<UINT>(lParam) == WM_LBUTTONDBLCLK)
        Deliver(ShowCommand{});
    return tray_.OnTrayEvent(wParam, lParam);
}

INT_PTR CPanelDlg::OnRequestData(WPARAM, LPARAM) {
    Deliver(RequestData{});
    return 0;
}

INT_PTR CPanelDlg::OnRequestFreeSpace(WPARAM, LPARAM) {
    Deliver(RequestFreeSpace{});
    return 0;
}

INT_PTR CPanelDlg::OnStartWorkers(WPARAM, LPARAM) {
    Deliver(StartWorkers{});
    return 0;
}

INT_PTR CPanelDlg::OnDriveWatched(WPARAM wParam, LPARAM) {
    Deliver(DriveWatched{static_cast<int>(wParam)});
    return 0;
}

INT_PTR CPanelDlg::OnServiceReply(WPARAM, LPARAM lParam) {
    const auto* message = reinterpret_cast<const std::wstring*>(lParam);
    if (message != nullptr && !tornDown_)
        Deliver(ServiceReply{*message});
    return 0;
}

INT_PTR CPanelDlg::OnPostedInput(WPARAM, LPARAM) {
    if (posted_.empty())
        return 0;
    Input input = std::move(posted_.front());
    posted_.pop_front();
    Deliver(input);
    return 0;
}

INT_PTR CPanelDlg::OnDriveListAsked(WPARAM wParam, LPARAM) {
    if (!tornDown_)
        Deliver(DriveListAsked{wParam != 0});
    return 0;
}

INT_PTR CPanelDlg::OnTimer(WPARAM wParam, LPARAM) {
    Deliver(TimerTick{static_cast<int>(wParam)});
    return 0;
}

INT_PTR CPanelDlg::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    DeviceEvent event;
    if (CarriesDeviceHeader(wParam) && lParam != 0) {
        event.dataPresent = true;
        event.deviceType = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype;
    }
    Deliver(event);
    return TRUE;
}

INT_PTR CPanelDlg::OnClose(WPARAM, LPARAM) {
    Deliver(CloseRequested{});
    return 0;
}

INT_PTR CPanelDlg::OnPaint(WPARAM, LPARAM) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Handle(), &paint);
    SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(Handle(), &client);
    int width = GetSystemMetrics(SM_CXICON);
    int height = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (client.right - client.left - width + 1) / 2, (client.bottom - client.top - height + 1) / 2,
             largeIcon_);
    EndPaint(Handle(), &paint);
    return 0;
}

INT_PTR CPanelDlg::OnQueryDragIcon(WPARAM, LPARAM) {
    return reinterpret_cast<INT_PTR>(largeIcon_);
}

INT_PTR CPanelDlg::OnHelp(WPARAM, LPARAM) {
    // The panel ships no help file: F1 shows the About box, the one page of help there is.
    Deliver(AboutClicked{});
    return TRUE;
}

INT_PTR CPanelDlg::OnEnter(WPARAM wParam, LPARAM lParam) {
    HWND focus = GetFocus();
    if (focus != nullptr && focus == Item(IDC_EXCLUDE_PATH)) {
        Deliver(AddExclusionClicked{});
        return 0;
    }
    return OnClose(wParam, lParam);
}

INT_PTR CPanelDlg::OnAvailableNotify(WPARAM wParam, LPARAM) {
    if (drawing_)
        return 0;
    int selection = ListBox(Item(IDC_AVAILABLE_DRIVES)).Selection();
    switch (HIWORD(wParam)) {
        case LBN_SELCHANGE:
            Deliver(SelectAvailable{selection});
            break;
        case LBN_DBLCLK:
            Deliver(SelectAvailable{selection});
            Deliver(WatchClicked{});
            break;
        default:
            break;
    }
    return 0;
}

INT_PTR CPanelDlg::OnWatchingNotify(WPARAM wParam, LPARAM) {
    if (drawing_)
        return 0;
    int selection = ListBox(Item(IDC_WATCHING_DRIVES)).Selection();
    switch (HIWORD(wParam)) {
        case LBN_SELCHANGE:
            Deliver(SelectWatching{selection});
            break;
        case LBN_DBLCLK:
            Deliver(StopWatchingClicked{});
            break;
        default:
            break;
    }
    return 0;
}

INT_PTR CPanelDlg::OnExclusionsNotify(WPARAM, LPARAM) {
    if (!drawing_)
        Deliver(SelectExclusion{ListBox(Item(IDC_EXCLUSIONS)).Selection()});
    return 0;
}

INT_PTR CPanelDlg::OnExclusionPathChanged(WPARAM, LPARAM) {
    if (drawing_)
        return 0;
    std::wstring text;
    DataExchange(Handle(), true).Text(IDC_EXCLUDE_PATH, text);
    Deliver(ExclusionPathEdited{std::move(text)});
    return 0;
}

INT_PTR CPanelDlg::OnWatch(WPARAM, LPARAM) {
    Deliver(WatchClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnStopWatching(WPARAM, LPARAM) {
    Deliver(StopWatchingClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnAddExclusion(WPARAM, LPARAM) {
    Deliver(AddExclusionClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnRemoveExclusion(WPARAM, LPARAM) {
    Deliver(RemoveExclusionClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnDefragOnly(WPARAM, LPARAM) {
    if (drawing_)
        return 0;
    int check = 0;
    DataExchange(Handle(), true).Check(IDC_DEFRAG_ONLY, check);
    Deliver(DefragOnlyClicked{check != BST_UNCHECKED});
    return 0;
}

INT_PTR CPanelDlg::OnRescan(WPARAM, LPARAM) {
    Deliver(RescanClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnAbout(WPARAM, LPARAM) {
    Deliver(AboutClicked{});
    return 0;
}

INT_PTR CPanelDlg::OnShowCommand(WPARAM, LPARAM) {
    Deliver(ShowCommand{});
    return 0;
}

INT_PTR CPanelDlg::OnExitCommand(WPARAM, LPARAM) {
    Deliver(ExitCommand{});
    return 0;
}

CAboutDlg::CAboutDlg(HINSTANCE instance) : Dialog(instance, IDD_ABOUTBOX) {}

MessageResult CAboutDlg::Dispatch(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(Handle(), LOWORD(wParam));
        return {true, TRUE};
    }
    return {};
}

}  // namespace kestrel::panel::win32
