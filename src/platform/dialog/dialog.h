#pragma once
// Dialogs built from templates. A Dialog object exists before and after its window: DoModal runs
// the window modally and destroys it when it ends; Create makes a modeless window that lives until
// DestroyWindow. Every dialog window is a top-level window of its own, owned by another window but
// never a child of it, so disabling an owner leaves the windows it owns usable. The overridable
// steps follow the usual dialog life: OnInitDialog once the controls exist, DoDataExchange pushing
// fields into controls, OnOK / OnCancel for Enter / Escape and the close box, OnCommand for button
// clicks, OnSysCommand for window-menu entries.
//
// This interface is the same on every platform; each backend (qt/, win32/) supplies the window
// behind it, its DialogWindow, and the framework's free functions.

#include <memory>
#include <string>
#include <string_view>

#include "platform/dialog/dialog_template.h"
#include "platform/dialog/dialog_units.h"
#include "platform/dialog/resources.h"

namespace dlg {

class Dialog;
class ProgressCtrl;
// The backend's window behind a Dialog.
class DialogWindow;

// Window-menu command that closes the window (the close box, Alt+F4, "Close" in the window menu).
inline constexpr unsigned kScClose = 0xF060;

// Fields-to-controls data exchange; the dialog's DoDataExchange lists its bindings.
class DataExchange {
  public:
    explicit DataExchange(Dialog& dialog) : dialog_(dialog) {}
    // Writes the field into the control's text.
    void Text(int id, const std::string& field);
    // Attaches the wrapper to the progress bar control with this id.
    void Control(int id, ProgressCtrl& wrapper);

  private:
    Dialog& dialog_;
};

// The window's window menu. Programs append their entries, which arrive at OnSysCommand.
class WindowMenu {
  public:
    explicit WindowMenu(Dialog& dialog) : dialog_(dialog) {}
    void AppendSeparator();
    void AppendItem(unsigned commandId, std::string_view text);

  private:
    Dialog& dialog_;
};

enum class MessageIcon { Warning, Information };

// A modal message box with an OK button. With an owner it is centred over the owner and tied to
// it; without one it stands alone. Returns when the user has dismissed it; answers kIdOk.
int MessageBox(Dialog* owner, std::string_view text, std::string_view caption, MessageIcon icon);

// Handles every event waiting for any window of the thread, without waiting for more.
void PumpMessages();
// Like PumpMessages, but throws away the user's input (keys, mouse buttons, wheel, context-menu
// requests) instead of delivering it: for input that arrived while the program was busy and
// must not act once it is idle again.
void DiscardPendingInput();

class Dialog {
  public:
    Dialog(const DialogTemplate& dialogTemplate, const ResourceModule& resources,
           Dialog* parent = nullptr);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the window, runs it modally and destroys it; answers the code given to EndDialog
    // (kIdCancel when the window went away otherwise).
    int DoModal();
    // Creates and shows the window modelessly, owned by `owner` (none: a window of its own).
    bool Create(Dialog* owner);
    // Destroys the window; false when there was none.
    virtual bool DestroyWindow();
    // Ends a modal run with `result`, or hides a modeless window.
    void EndDialog(int result);

    // Pushes the fields into the controls (the only direction this framework supports).
    void UpdateData();

    // The window, or none before it is created and after it is destroyed.
    DialogWindow* window() const { return window_; }
    bool hasWindow() const { return window_ != nullptr; }
    void SetDlgItemText(int id, std::string_view text);
    std::string GetDlgItemText(int id) const;
    void EnableDlgItem(int id, bool enable);
    bool IsDlgItemEnabled(int id) const;
    // Makes the control the next control of the dialog: it takes the keyboard focus and, if it
    // is a push button, becomes the default button.
    void GotoDlgCtrl(int id);
    void SetWindowText(std::string_view text);
    std::string GetWindowText() const;
    void SetIcon(const Icon& icon);
    void EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    // The window menu; none without a window or when the template has no system-menu style.
    WindowMenu* GetSystemMenu();
    int MessageBox(std::string_view text, std::string_view caption, MessageIcon icon);

    std::string LoadString(unsigned id) const { return resources_.LoadString(id); }
    Icon LoadIcon(unsigned id) const { return resources_.LoadIcon(id); }
    const DialogTemplate& dialogTemplate() const { return template_; }
    BaseUnits baseUnits() const { return units_; }
    Dialog* parent() const { return parent_; }

    // Called by the window for its events; programs override the On... steps, not these.
    virtual void OnCommand(int id);
    virtual void OnSysCommand(unsigned id);
    // A close request (the close box, the session ending) while the window is disabled by a window
    // it owns, which refuses it; a program may still take note of it.
    virtual void OnCloseWhileDisabled() {}

  protected:
    // Runs once the controls exist, before the window is shown. The base performs the data
    // exchange; answering true gives the focus to the first enabled tab stop.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(DataExchange& dx);
    virtual void OnOK();
    virtual void OnCancel();

  private:
    friend class DialogWindow;

    const DialogTemplate& template_;
    const ResourceModule& resources_;
    Dialog* parent_;
    BaseUnits units_;
    DialogWindow* window_ = nullptr;
    std::unique_ptr<WindowMenu> windowMenu_;
};

}  // namespace dlg
