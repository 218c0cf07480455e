#pragma once
// The Win32 backend's window behind a Dialog: a window of the system's dialog manager, made from
// the in-memory template, whose dialog procedure hands commands, window-menu commands and the
// initialisation to the Dialog. The object lives from creation until the window is destroyed.

#include "platform/dialog/win32/system.h"

#include <memory>
#include <vector>

#include "platform/dialog/dialog.h"
#include "platform/dialog/progress_ctrl.h"

namespace dlg {

// A progress bar control (msctls_progress32) of a dialog window.
class ProgressBarControl {
  public:
    ProgressBarControl(int controlId, HWND control) : id(controlId), hwnd(control) {}
    int id;
    HWND hwnd;
};

class DialogWindow {
  public:
    DialogWindow(Dialog& owner, bool isModal) : dialog(owner), modal(isModal) {}
    ~DialogWindow();
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    // Runs the window modally, owned by `owner`; answers EndDialog's code, -1 when no window
    // could be made.
    static INT_PTR runModal(Dialog& dialog, HWND owner);
    // Creates the window modelessly and shows it; none when no window could be made.
    static HWND create(Dialog& dialog, HWND owner);

    HWND item(int id) const { return GetDlgItem(hwnd, id); }
    ProgressBarControl* progressBar(int id);

    Dialog& dialog;
    const bool modal;
    HWND hwnd = nullptr;
    HICON largeIcon = nullptr;
    HICON smallIcon = nullptr;

  private:
    static INT_PTR CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL initialise(HWND window);

    std::vector<std::unique_ptr<ProgressBarControl>> bars_;
};

// The window behind the dialog, or none.
inline HWND hwndOf(const Dialog* dialog) {
    return dialog != nullptr && dialog->window() != nullptr ? dialog->window()->hwnd : nullptr;
}

}  // namespace dlg
