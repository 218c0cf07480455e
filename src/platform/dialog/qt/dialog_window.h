#pragma once
// The Qt 6 Widgets backend's side of the dialog framework, for code that must reach the toolkit
// itself (tests, the showcase): the window behind a Dialog, its controls and window menu, the
// dialog font, and conversions of the framework's neutral types.

#include <utility>
#include <vector>

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QRect>

#include "platform/dialog/dialog.h"

class QMenu;

namespace dlg {

// An 8-point sans-serif: Liberation Sans when installed (its metrics match the classic dialog
// fonts), otherwise DejaVu Sans, otherwise the toolkit's default sans-serif.
QFont dialogFont();
BaseUnits baseUnits(const QFont& font);

QRect toQRect(const PixelRect& rect);
// Both sizes of the icon; a null icon when there is none.
QIcon toQIcon(const Icon& icon);

// The toolkit window behind a Dialog. It forwards the keyboard and window-manager requests to
// the Dialog's overridable steps, so that a dialog decides itself whether Enter, Escape or the
// close box do anything.
//
// The window manager's menu cannot be extended, so the window has a window menu of its own,
// shown on a right click on its background, on Shift+F10 and on the Menu key. It starts with
// "Close". The menu pops up without a loop of its own: showing it returns at once, so a window
// that answers its events from inside a caller's work (a progress update) never holds that work
// up while the menu is open.
class DialogWindow : public QDialog {
  public:
    DialogWindow(Dialog& owner, Qt::WindowFlags flags);
    ~DialogWindow() override;
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    void reject() override { dialog_.OnCommand(kIdCancel); }
    void accept() override { dialog_.OnCommand(kIdOk); }

    // The control with this id, or none.
    QWidget* item(int id) const;
    QMenu* windowMenu() const { return menu_; }

    // Makes the window, its controls and its menu for `dialog`, owned by the window of `owner`
    // (or none), and initialises it; none when the dialog already has a window.
    static DialogWindow* make(Dialog& dialog, Dialog* owner);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // A disabled window (one whose owned window is busy) cannot be closed, as on the platform
    // where its window menu and close box take no input.
    void closeEvent(QCloseEvent* event) override;

  private:
    friend class Dialog;
    void createControls();
    void focusFirstTabStop();
    void showWindowMenu(const QPoint& globalPos);
    // Enter presses the focused push button, otherwise issues the default button's command
    // (whether or not that button is visible), otherwise OK.
    void pressEnter();

    Dialog& dialog_;
    QMenu* menu_ = nullptr;
    std::vector<std::pair<int, QWidget*>> controls_;
};

}  // namespace dlg
