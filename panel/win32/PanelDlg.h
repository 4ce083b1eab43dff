// CPanelDlg: the control panel's main window, a modeless dialog (resource 102). It holds no decisions of
// its own: every button, selection, timer tick, reply and device event becomes an input of the panel's
// core, and the dialog carries out the effects the core returns and draws the core's state into its
// controls. It owns the core, the service client (listener and drive-list threads) and the tray icon.
#pragma once

#include <windows.h>

#include <deque>
#include <memory>
#include <string>

#include "panel/PanelCore.h"
#include "panel/ServiceClient.h"
#include "panel/win32/TrayIcon.h"
#include "panel/win32/framework/Dialog.h"

namespace kestrel::panel::win32 {

// The dialog's private messages.
inline constexpr UINT WM_TRAY_NOTIFY = WM_USER + 0;
inline constexpr UINT WM_REQUEST_DATA = WM_USER + 1;
inline constexpr UINT WM_REQUEST_FREESPACE = WM_USER + 2;
inline constexpr UINT WM_START_WORKERS = WM_USER + 3;
inline constexpr UINT WM_DRIVE_WATCHED = WM_USER + 4;
inline constexpr UINT WM_SERVICE_REPLY = WM_USER + 6;
// Any other input the core posts to itself, queued in order (the dialog's own addition).
inline constexpr UINT WM_POSTED_INPUT = WM_USER + 7;
// The drive-list thread is about to ask for the drive lists (wParam 1), or could not (wParam 0); sent,
// like WM_SERVICE_REPLY, so that the dialog knows of the request before its replies come.
inline constexpr UINT WM_DRIVE_LIST_ASKED = WM_USER + 8;

class CPanelDlg : public Dialog {
  public:
    explicit CPanelDlg(HINSTANCE instance);
    // Ends the listener (it must not hand over a reply to a dialog that is gone) and the drive-list
    // thread, takes the icon out of the tray, and destroys the window.
    ~CPanelDlg() override;

    // Lets the dialog take keyboard navigation messages; true when it did.
    bool PreTranslate(MSG& message);

    const PanelState& State() const { return core_.State(); }

  protected:
    MessageResult Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

  private:
    // Hands one input to the core, carries out its effects and draws the new state.
    void Deliver(const Input& input);
    void Perform(const Effects& effects);
    void PostInput(const Input& input);
    void Draw();
    void DrawList(int controlId, const ListState& list);
    void DrawText(int controlId, const std::wstring& text);
    void SetIcons();
    void Teardown();

    // Handlers of the message map.
    INT_PTR OnTrayNotify(WPARAM, LPARAM);
    INT_PTR OnRequestData(WPARAM, LPARAM);
    INT_PTR OnRequestFreeSpace(WPARAM, LPARAM);
    INT_PTR OnStartWorkers(WPARAM, LPARAM);
    INT_PTR OnDriveWatched(WPARAM, LPARAM);
    INT_PTR OnServiceReply(WPARAM, LPARAM);
    INT_PTR OnPostedInput(WPARAM, LPARAM);
    INT_PTR OnDriveListAsked(WPARAM, LPARAM);
    INT_PTR OnTimer(WPARAM, LPARAM);
    INT_PTR OnDeviceChange(WPARAM, LPARAM);
    INT_PTR OnClose(WPARAM, LPARAM);
    INT_PTR OnEnter(WPARAM, LPARAM);  // IDOK: Enter
    INT_PTR OnPaint(WPARAM, LPARAM);  // only while minimised
    INT_PTR OnQueryDragIcon(WPARAM, LPARAM);
    INT_PTR OnHelp(WPARAM, LPARAM);
    INT_PTR OnAvailableNotify(WPARAM, LPARAM);
    INT_PTR OnWatchingNotify(WPARAM, LPARAM);
    INT_PTR OnExclusionsNotify(WPARAM, LPARAM);
    INT_PTR OnExclusionPathChanged(WPARAM, LPARAM);
    INT_PTR OnWatch(WPARAM, LPARAM);
    INT_PTR OnStopWatching(WPARAM, LPARAM);
    INT_PTR OnAddExclusion(WPARAM, LPARAM);
    INT_PTR OnRemoveExclusion(WPARAM, LPARAM);
    INT_PTR OnDefragOnly(WPARAM, LPARAM);
    INT_PTR OnRescan(WPARAM, LPARAM);
    INT_PTR OnAbout(WPARAM, LPARAM);
    INT_PTR OnShowCommand(WPARAM, LPARAM);
    INT_PTR OnExitCommand(WPARAM, LPARAM);

    static const MessageMapEntry<CPanelDlg> kMessageMap[];

    PanelCore core_;
    std::unique_ptr<ServiceClient> client_;
    CTrayIcon tray_;
    HICON largeIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    UINT taskbarCreated_ = 0;
    std::deque<Input> posted_;  // inputs behind WM_POSTED_INPUT, oldest first
    bool drawing_ = false;      // set while Draw writes controls, so their notifications are not inputs
    bool drawnConnected_ = false;
    bool drawnWait_ = false;
    bool trayReady_ = false;  // the icon has its window: drawing may change it
    bool tornDown_ = false;
};

// The About box (resource 100): no logic of its own beyond closing.
class CAboutDlg : public Dialog {
  public:
    explicit CAboutDlg(HINSTANCE instance);

  protected:
    MessageResult Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
};

}  // namespace kestrel::panel::win32
