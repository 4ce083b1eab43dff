#include "panel/win32/framework/Dialog.h"

#include <vector>

namespace kestrel::panel::win32 {

void DataExchange::Text(int controlId, std::wstring& value) {
    HWND control = GetDlgItem(dialog_, controlId);
    if (control == nullptr)
        return;
    if (saving_) {
        int length = GetWindowTextLengthW(control);
        std::vector<wchar_t> buffer(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
        int copied = GetWindowTextW(control, buffer.data(), static_cast<int>(buffer.size()));
        value.assign(buffer.data(), static_cast<std::size_t>(copied > 0 ? copied : 0));
    } else {
        SetWindowTextW(control, value.c_str());
    }
}

void DataExchange::Check(int controlId, int& value) {
    HWND control = GetDlgItem(dialog_, controlId);
    if (control == nullptr)
        return;
    if (saving_)
        value = static_cast<int>(SendMessageW(control, BM_GETCHECK, 0, 0));
    else
        SendMessageW(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
}

int ListBox::Count() const {
    LRESULT count = SendMessageW(handle_, LB_GETCOUNT, 0, 0);
    return count == LB_ERR ? 0 : static_cast<int>(count);
}

std::wstring ListBox::Text(int index) const {
    LRESULT length = SendMessageW(handle_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || length < 0)
        return {};
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    LRESULT copied = SendMessageW(handle_, LB_GETTEXT, static_cast<WPARAM>(index),
                                  reinterpret_cast<LPARAM>(buffer.data()));
    if (copied == LB_ERR || copied < 0)
        return {};
    return std::wstring(buffer.data(), static_cast<std::size_t>(copied));
}

int ListBox::Selection() const {
    return static_cast<int>(SendMessageW(handle_, LB_GETCURSEL, 0, 0));
}

void ListBox::Select(int index) const {
    SendMessageW(handle_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int ListBox::Add(const std::wstring& text) const {
    return static_cast<int>(SendMessageW(handle_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void ListBox::Delete(int index) const {
    SendMessageW(handle_, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void ListBox::Clear() const {
    SendMessageW(handle_, LB_RESETCONTENT, 0, 0);
}

Dialog::~Dialog() {
    // A window that outlives its object would call into freed memory: unbind it first.
    if (handle_ != nullptr) {
        SetWindowLongPtrW(handle_, DWLP_USER, 0);
        if (!modal_)
            DestroyWindow(handle_);
        handle_ = nullptr;
    }
}

bool Dialog::CreateModeless(HWND parent) {
    modal_ = false;
    HWND window = CreateDialogParamW(instance_, MAKEINTRESOURCEW(templateId_), parent, &Dialog::DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    return window != nullptr;
}

INT_PTR Dialog::RunModal(HWND parent) {
    modal_ = true;
    return DialogBoxParamW(instance_, MAKEINTRESOURCEW(templateId_), parent, &Dialog::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void Dialog::Destroy() {
    if (handle_ != nullptr && !modal_)
        DestroyWindow(handle_);
}

void Dialog::UpdateData(bool saving) {
    if (handle_ == nullptr)
        return;
    DataExchange exchange(handle_, saving);
    DoDataExchange(exchange);
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->handle_ = window;
        self->UpdateData(false);
        return self->OnInitDialog();
    }
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->handle_ = nullptr;
        self->OnWindowGone();
        return FALSE;
    }
    MessageResult result = self->Dispatch(message, wParam, lParam);
    if (!result.handled)
        return FALSE;
    // Messages whose result is the procedure's own return value; every other one goes through
    // DWLP_MSGRESULT.
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return result.value;
        default:
            SetWindowLongPtrW(window, DWLP_MSGRESULT, result.value);
            return TRUE;
    }
}

std::wstring LoadResourceString(HINSTANCE instance, UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW hands out a pointer to the resource itself.
    int length = LoadStringW(instance, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr)
        return {};
    return std::wstring(text, static_cast<std::size_t>(length));
}

}  // namespace kestrel::panel::win32
