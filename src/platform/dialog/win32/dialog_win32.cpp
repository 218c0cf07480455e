#include "platform/dialog/win32/system.h"

#include <string>

#include "platform/dialog/application.h"
#include "platform/dialog/win32/dialog_window.h"
#include "platform/dialog/win32/template_builder.h"
#include "platform/os/windows/text.h"

namespace dlg {
namespace {

using os::windows::utf8;
using os::windows::wide;

HINSTANCE instance() {
    return GetModuleHandleW(nullptr);
}

std::wstring windowText(HWND window) {
    if (window == nullptr)
        return {};
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Centred over the owner, or on the work area of the screen when there is none.
void centre(HWND window, HWND owner) {
    RECT area{};
    if (owner == nullptr || !GetWindowRect(owner, &area))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT frame{};
    GetWindowRect(window, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(window, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HICON loadIcon(unsigned id, int metricX, int metricY) {
    return static_cast<HICON>(LoadImageW(instance(), MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                         LR_DEFAULTCOLOR | LR_SHARED));
}

// Posted to a dialog to fit its labels again after a change of scale.
constexpr UINT kRefitLabels = WM_APP + 1;

// Under another font than the one the templates were drawn for (the system substitutes one for
// the shell dialog font where it lacks it), a one-line label may not hold its text. Such a label
// grows to the width of its text (and the control's small margin), to the right or, when centred,
// to both sides, so that no text is cut off; value fields (sunken edge) and multi-line texts keep
// their rectangle.
void fitLabels(HWND window, const DialogTemplate& dialogTemplate) {
    HDC dc = GetDC(window);
    const auto font = reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0));
    HGDIOBJ previous = SelectObject(dc, font);
    HWND child = GetWindow(window, GW_CHILD);
    for (const auto& control : dialogTemplate.controls) {
        if (child == nullptr)
            break;
        if (control.kind == ControlKind::Static &&
            (control.styles & (kSunkenEdge | kMultiLine)) == 0) {
            const std::wstring text = windowText(child);
            SIZE extent{};
            RECT rect{};
            GetWindowRect(child, &rect);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
            const int width = rect.right - rect.left;
            if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent) &&
                extent.cx + 3 > width) {
                const int left = (control.styles & kCentred) != 0
                                     ? rect.left - (extent.cx + 3 - width) / 2
                                     : rect.left;
                SetWindowPos(child, nullptr, left, rect.top, extent.cx + 3, rect.bottom - rect.top,
                             SWP_NOZORDER | SWP_NOACTIVATE);
            }
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
}

}  // namespace

DialogWindow::~DialogWindow() {
    if (dialog.window_ == this) {
        dialog.window_ = nullptr;
        dialog.windowMenu_.reset();
    }
}

ProgressBarControl* DialogWindow::progressBar(int id) {
    for (const auto& bar : bars_)
        if (bar->id == id)
            return bar.get();
    HWND control = item(id);
    if (control == nullptr)
        return nullptr;
    return bars_.emplace_back(std::make_unique<ProgressBarControl>(id, control)).get();
}

BOOL DialogWindow::initialise(HWND window) {
    hwnd = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
    RECT units{0, 0, 4, 8};
    MapDialogRect(window, &units);
    dialog.units_ = {units.right, units.bottom};
    if ((dialog.dialogTemplate().styles & kSystemMenu) != 0 &&
        GetSystemMenu(window, FALSE) != nullptr)
        dialog.windowMenu_ = std::make_unique<WindowMenu>(dialog);
    fitLabels(window, dialog.dialogTemplate());
    centre(window, GetWindow(window, GW_OWNER));
    // True lets the dialog manager give the focus to the first enabled tab stop.
    return dialog.OnInitDialog() ? TRUE : FALSE;
}

INT_PTR CALLBACK DialogWindow::procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return reinterpret_cast<DialogWindow*>(lParam)->initialise(hwnd);
    auto* self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr)
        return FALSE;
    switch (message) {
        case WM_COMMAND:
            // Buttons, and Enter / Escape turned into the default button's id or IDCANCEL by
            // the dialog manager.
            if (HIWORD(wParam) == BN_CLICKED) {
                self->dialog.OnCommand(LOWORD(wParam));
                return TRUE;
            }
            break;
        case WM_SYSCOMMAND: {
            const auto command = static_cast<unsigned>(wParam & 0xFFF0u);
            // The window's own entries and Close go to the dialog; moving and the rest are
            // left to the system. A disabled window cannot be closed.
            if (command == SC_CLOSE) {
                if (IsWindowEnabled(hwnd))
                    self->dialog.OnSysCommand(static_cast<unsigned>(wParam));
                else
                    self->dialog.OnCloseWhileDisabled();
                return TRUE;
            }
            if (command < 0xF000u) {
                self->dialog.OnSysCommand(static_cast<unsigned>(wParam));
                return TRUE;
            }
            break;
        }
        case WM_QUERYENDSESSION:
            // While the printer's firmware is written the session may not end: no. Otherwise
            // the session is ending: a run under way stops (its stage ends, the printer is
            // reset).
            if (SessionEndHeld()) {
                SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, FALSE);
                return TRUE;
            }
            notifySessionEnding();
            break;
        case WM_DPICHANGED:
            // Moved to a monitor of another scale: the dialog manager scales the window and its
            // font (per-monitor awareness); the labels are fitted again once it has.
            PostMessageW(hwnd, kRefitLabels, 0, 0);
            break;
        case kRefitLabels:
            fitLabels(hwnd, self->dialog.dialogTemplate());
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(self->largeIcon);
        case WM_NCDESTROY:
            SetWindowLongPtrW(hwnd, DWLP_USER, 0);
            delete self;
            return FALSE;
        default:
            break;
    }
    return FALSE;
}

INT_PTR DialogWindow::runModal(Dialog& dialog, HWND owner) {
    const std::vector<std::uint16_t> words = win32::buildTemplate(dialog.dialogTemplate());
    auto* window = new DialogWindow(dialog, true);
    dialog.window_ = window;
    const INT_PTR result =
        DialogBoxIndirectParamW(instance(), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()), owner,
                                &procedure, reinterpret_cast<LPARAM>(window));
    // No window was made: the object never reached the dialog procedure.
    if (dialog.window_ == window && window->hwnd == nullptr)
        delete window;
    return result;
}

HWND DialogWindow::create(Dialog& dialog, HWND owner) {
    const std::vector<std::uint16_t> words = win32::buildTemplate(dialog.dialogTemplate());
    auto* window = new DialogWindow(dialog, false);
    dialog.window_ = window;
    HWND hwnd =
        CreateDialogIndirectParamW(instance(), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()),
                                   owner, &procedure, reinterpret_cast<LPARAM>(window));
    if (hwnd == nullptr) {
        if (dialog.window_ == window)
            delete window;
        return nullptr;
    }
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    return hwnd;
}

void DataExchange::Control(int id, ProgressCtrl& wrapper) {
    DialogWindow* window = dialog_.window();
    wrapper.Attach(window != nullptr ? window->progressBar(id) : nullptr);
}

void WindowMenu::AppendSeparator() {
    if (HMENU menu = GetSystemMenu(hwndOf(&dialog_), FALSE))
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
}

void WindowMenu::AppendItem(unsigned commandId, std::string_view text) {
    if (HMENU menu = GetSystemMenu(hwndOf(&dialog_), FALSE))
        AppendMenuW(menu, MF_STRING, commandId, wide(text).c_str());
}

int MessageBox(Dialog* owner, std::string_view text, std::string_view caption, MessageIcon icon) {
    const UINT kind = icon == MessageIcon::Warning ? MB_ICONWARNING : MB_ICONINFORMATION;
    MessageBoxW(hwndOf(owner), wide(text).c_str(), wide(caption).c_str(), MB_OK | kind);
    return kIdOk;
}

void PumpMessages() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Left for the loop that waits for it.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        // The dialog manager's keyboard handling (Tab, Enter, Escape, mnemonics) of the dialog
        // the message is for.
        HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        if (root != nullptr && IsDialogMessageW(root, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void DiscardPendingInput() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
           PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE) ||
           PeekMessageW(&message, nullptr, WM_NCMOUSEMOVE, WM_NCMBUTTONDBLCLK, PM_REMOVE)) {
    }
    PumpMessages();
}

Dialog::~Dialog() {
    if (window_ != nullptr && window_->hwnd != nullptr && !window_->modal)
        ::DestroyWindow(window_->hwnd);
    delete window_;  // only when the window is gone already, or never came
}

int Dialog::DoModal() {
    if (window_ != nullptr)
        return kIdCancel;
    Dialog* owner = parent_ != nullptr ? parent_ : MainWindow();
    if (owner == this)
        owner = nullptr;  // the main window itself runs without owner
    const INT_PTR result = DialogWindow::runModal(*this, hwndOf(owner));
    return result == -1 ? kIdCancel : static_cast<int>(result);
}

bool Dialog::Create(Dialog* owner) {
    if (window_ != nullptr)
        return false;
    return DialogWindow::create(*this, hwndOf(owner)) != nullptr;
}

bool Dialog::DestroyWindow() {
    if (window_ == nullptr)
        return false;
    if (window_->modal)
        ::EndDialog(window_->hwnd, kIdCancel);
    else
        ::DestroyWindow(window_->hwnd);
    return true;
}

void Dialog::EndDialog(int result) {
    if (window_ == nullptr)
        return;
    if (window_->modal)
        ::EndDialog(window_->hwnd, result);
    else
        ShowWindow(window_->hwnd, SW_HIDE);
}

void Dialog::SetDlgItemText(int id, std::string_view text) {
    if (window_ != nullptr)
        SetDlgItemTextW(window_->hwnd, id, wide(text).c_str());
}

std::string Dialog::GetDlgItemText(int id) const {
    return window_ != nullptr ? utf8(windowText(window_->item(id))) : std::string();
}

void Dialog::EnableDlgItem(int id, bool enable) {
    if (window_ != nullptr)
        if (HWND control = window_->item(id))
            ::EnableWindow(control, enable ? TRUE : FALSE);
}

bool Dialog::IsDlgItemEnabled(int id) const {
    HWND control = window_ != nullptr ? window_->item(id) : nullptr;
    return control != nullptr && ::IsWindowEnabled(control) != FALSE;
}

void Dialog::GotoDlgCtrl(int id) {
    if (window_ != nullptr)
        if (HWND control = window_->item(id))
            SendMessageW(window_->hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void Dialog::SetWindowText(std::string_view text) {
    if (window_ != nullptr)
        SetWindowTextW(window_->hwnd, wide(text).c_str());
}

std::string Dialog::GetWindowText() const {
    return window_ != nullptr ? utf8(windowText(window_->hwnd)) : std::string();
}

// The icon comes from the program's resources under the same id: both sizes the system uses.
void Dialog::SetIcon(const Icon& icon) {
    if (window_ == nullptr || icon.isNull())
        return;
    window_->largeIcon = loadIcon(icon.id, SM_CXICON, SM_CYICON);
    window_->smallIcon = loadIcon(icon.id, SM_CXSMICON, SM_CYSMICON);
    SendMessageW(window_->hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(window_->largeIcon));
    SendMessageW(window_->hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(window_->smallIcon));
}

void Dialog::EnableWindow(bool enable) {
    if (window_ != nullptr)
        ::EnableWindow(window_->hwnd, enable ? TRUE : FALSE);
}

bool Dialog::IsWindowEnabled() const {
    return window_ != nullptr && ::IsWindowEnabled(window_->hwnd) != FALSE;
}

// The bar is the system's own control, which keeps the position and applies the rules itself.
void ProgressCtrl::SetRange(std::int32_t low, std::int32_t high) {
    if (control_ != nullptr)
        SendMessageW(control_->hwnd, PBM_SETRANGE, 0,
                     MAKELPARAM(static_cast<WORD>(low & 0xFFFF), static_cast<WORD>(high & 0xFFFF)));
}

std::int32_t ProgressCtrl::SetPos(std::int32_t position) {
    if (control_ == nullptr)
        return 0;
    return static_cast<std::int32_t>(SendMessageW(
        control_->hwnd, PBM_SETPOS, static_cast<WPARAM>(static_cast<INT_PTR>(position)), 0));
}

std::int32_t ProgressCtrl::SetStep(std::int32_t step) {
    if (control_ == nullptr)
        return 0;
    return static_cast<std::int32_t>(SendMessageW(
        control_->hwnd, PBM_SETSTEP, static_cast<WPARAM>(static_cast<INT_PTR>(step)), 0));
}

std::int32_t ProgressCtrl::StepIt() {
    return control_ != nullptr
               ? static_cast<std::int32_t>(SendMessageW(control_->hwnd, PBM_STEPIT, 0, 0))
               : 0;
}

std::int32_t ProgressCtrl::GetPos() const {
    return control_ != nullptr
               ? static_cast<std::int32_t>(SendMessageW(control_->hwnd, PBM_GETPOS, 0, 0))
               : 0;
}

}  // namespace dlg
