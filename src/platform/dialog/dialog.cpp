#include "platform/dialog/dialog.h"

#include <algorithm>
#include <charconv>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "platform/dialog/application.h"
#include "platform/dialog/progress_ctrl.h"

namespace dlg {
namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

Qt::WindowFlags windowFlags(unsigned styles) {
    Qt::WindowFlags flags = (styles & kAppWindow) != 0 ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint;
    if ((styles & kCaption) != 0)
        flags |= Qt::WindowTitleHint;
    if ((styles & kSystemMenu) != 0)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    return flags;
}

// Ties a top-level window to its owner the way the window system knows it (stacking, task bar),
// without making it a toolkit child that the owner's disabling would reach.
void setOwner(QWidget* window, QWidget* owner) {
    if (owner == nullptr)
        return;
    window->winId();
    owner->winId();
    if (window->windowHandle() != nullptr)
        window->windowHandle()->setTransientParent(owner->windowHandle());
}

void centre(QWidget* window, QWidget* owner) {
    QRect area;
    if (owner != nullptr)
        area = owner->frameGeometry();
    else if (const QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid())
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

QLabel* makeLabel(const ControlTemplate& control, QWidget* parent) {
    auto* label = new QLabel(toQString(control.text), parent);
    // A static control shows its text as it is; markup in it (for example in a text the printer
    // reported) is never interpreted.
    label->setTextFormat(Qt::PlainText);
    label->setIndent(0);
    label->setWordWrap(true);
    const Qt::Alignment horizontal =
        (control.styles & kCentred) != 0 ? Qt::AlignHCenter : Qt::AlignLeft;
    label->setAlignment(horizontal | Qt::AlignTop);
    if ((control.styles & kSunkenEdge) != 0) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
    }
    return label;
}

// The dialog font here is a little wider and its lines a little taller than those of the fonts
// the templates were drawn for. So that no text is cut off, a label that cannot hold its text
// grows when it is made and whenever its text changes: a one-line label to the width of its text
// (to the right, or to both sides when centred), and any label downwards to the height of its
// lines. Value fields (sunken edge) keep their rectangle.
QRect fitText(const ControlTemplate& control, const QLabel& label, QRect rect) {
    if ((control.styles & kSunkenEdge) != 0)
        return rect;
    if ((control.styles & kMultiLine) == 0) {
        const int needed = label.fontMetrics().horizontalAdvance(label.text()) + 1;
        if (needed > rect.width()) {
            if ((control.styles & kCentred) != 0)
                rect.moveLeft(rect.left() - (needed - rect.width()) / 2);
            rect.setWidth(needed);
        }
    }
    rect.setHeight(std::max(rect.height(), label.heightForWidth(rect.width())));
    return rect;
}

// An icon control's text is the resource id of its icon; 0 when it is not a number.
unsigned iconId(std::string_view text) {
    unsigned id = 0;
    std::from_chars(text.data(), text.data() + text.size(), id);
    return id;
}

}  // namespace

// The toolkit window behind a Dialog. It forwards the keyboard and window-manager requests to
// the Dialog's overridable steps, so that a dialog decides itself whether Enter, Escape or the
// close box do anything.
class DialogWindow : public QDialog {
  public:
    DialogWindow(Dialog& owner, Qt::WindowFlags flags) : QDialog(nullptr, flags), dialog_(owner) {}

    void reject() override { dialog_.OnCommand(kIdCancel); }
    void accept() override { dialog_.OnCommand(kIdOk); }

    // popup, never exec: the window may be answering its events from inside a drain in the
    // middle of a caller's work, which a nested menu loop would stop until the menu closed.
    void showWindowMenu(const QPoint& globalPos) {
        if (WindowMenu* menu = dialog_.GetSystemMenu())
            menu->menu()->popup(globalPos);
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
            pressEnter();
        } else if (plain && event->key() == Qt::Key_Escape) {
            dialog_.OnCommand(kIdCancel);
        } else if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
            showWindowMenu(mapToGlobal(QPoint(0, 0)));
        } else if (event->key() == Qt::Key_F4 && event->modifiers() == Qt::AltModifier) {
            // The window menu's "Close" shortcut, also where no window manager provides it.
            dialog_.OnSysCommand(kScClose);
        } else {
            QDialog::keyPressEvent(event);
        }
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        const bool byKeyboard = event->reason() == QContextMenuEvent::Keyboard;
        showWindowMenu(byKeyboard ? mapToGlobal(QPoint(0, 0)) : event->globalPos());
    }

    // A disabled window (one whose owned window is busy) cannot be closed, as on the platform
    // where its window menu and close box take no input.
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        if (isEnabled())
            dialog_.OnSysCommand(kScClose);
        else
            dialog_.OnCloseWhileDisabled();
    }

  private:
    // Enter presses the focused push button, otherwise issues the default button's command
    // (whether or not that button is visible), otherwise OK.
    void pressEnter() {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button != nullptr && button->isEnabled()) {
            button->click();
            return;
        }
        for (const auto& control : dialog_.dialogTemplate().controls) {
            if ((control.styles & kDefaultButton) == 0)
                continue;
            if (dialog_.IsDlgItemEnabled(control.id))
                dialog_.OnCommand(control.id);
            return;
        }
        dialog_.OnCommand(kIdOk);
    }

    Dialog& dialog_;
};

void DataExchange::Text(int id, const std::string& field) {
    dialog_.SetDlgItemText(id, field);
}

void DataExchange::Control(int id, ProgressCtrl& wrapper) {
    wrapper.Attach(dynamic_cast<ProgressBarControl*>(dialog_.GetDlgItem(id)));
}

WindowMenu::WindowMenu(Dialog& dialog, QWidget* window)
    : dialog_(dialog), menu_(new QMenu(window)) {
    AppendItem(kScClose, "&Close\tAlt+F4");
}

void WindowMenu::AppendSeparator() {
    menu_->addSeparator();
}

void WindowMenu::AppendItem(unsigned commandId, std::string_view text) {
    QAction* action = menu_->addAction(toQString(text));
    Dialog* dialog = &dialog_;
    QObject::connect(action, &QAction::triggered, menu_,
                     [dialog, commandId] { dialog->OnSysCommand(commandId); });
}

int MessageBox(Dialog* owner, std::string_view text, std::string_view caption, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::Information,
                    toQString(caption), toQString(text), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);  // the text may quote what a device reported
    QWidget* ownerWindow = owner != nullptr ? owner->window() : nullptr;
    setOwner(&box, ownerWindow);
    box.setWindowModality(Qt::ApplicationModal);
    if (ownerWindow != nullptr) {
        box.adjustSize();
        centre(&box, ownerWindow);
    }
    box.exec();
    return kIdOk;
}

void PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

namespace {

// Swallows the user's input for every object of the application while it is installed.
class InputDiscarder : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            default:
                return QObject::eventFilter(watched, event);
        }
    }
};

}  // namespace

void DiscardPendingInput() {
    InputDiscarder discarder;
    QCoreApplication::instance()->installEventFilter(&discarder);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::instance()->removeEventFilter(&discarder);
}

Dialog::Dialog(const DialogTemplate& dialogTemplate, const ResourceModule& resources,
               Dialog* parent)
    : template_(dialogTemplate), resources_(resources), parent_(parent) {}

Dialog::~Dialog() {
    windowMenu_.reset();
    delete window_.data();
}

QWidget* Dialog::window() const {
    return window_.data();
}

bool Dialog::createWindow(Dialog* owner) {
    if (window_ != nullptr)
        return false;
    window_ = new DialogWindow(*this, windowFlags(template_.styles));
    const QFont font = dialogFont();
    window_->setFont(font);
    units_ = dlg::baseUnits(font);
    window_->setWindowTitle(toQString(template_.caption));
    const QRect client = mapDialogRect({0, 0, template_.cx, template_.cy}, units_);
    window_->setFixedSize(client.size());
    createControls();
    if ((template_.styles & kSystemMenu) != 0)
        windowMenu_ = std::make_unique<WindowMenu>(*this, window_);
    QWidget* ownerWindow = owner != nullptr ? owner->window() : nullptr;
    setOwner(window_, ownerWindow);
    centre(window_, ownerWindow);
    if (OnInitDialog())
        focusFirstTabStop();
    return true;
}

void Dialog::createControls() {
    controls_.clear();
    QWidget* previousTabStop = nullptr;
    for (const auto& control : template_.controls) {
        QWidget* widget = nullptr;
        QRect rect = mapDialogRect(control.rect, units_);
        switch (control.kind) {
            case ControlKind::Static: {
                QLabel* label = makeLabel(control, window_);
                rect = fitText(control, *label, rect);
                widget = label;
                break;
            }
            case ControlKind::PushButton: {
                auto* button = new QPushButton(toQString(control.text), window_);
                button->setAutoDefault(false);
                button->setDefault((control.styles & kDefaultButton) != 0);
                const int id = control.id;
                QObject::connect(button, &QPushButton::clicked, button,
                                 [this, id] { OnCommand(id); });
                widget = button;
                break;
            }
            case ControlKind::ProgressBar:
                widget = new ProgressBarControl(window_);
                break;
            case ControlKind::Icon: {
                // An icon control takes the size of the large icon, whatever the template says.
                auto* label = new QLabel(window_);
                label->setPixmap(LoadIcon(iconId(control.text)).pixmap(32, 32));
                rect.setSize({32, 32});
                widget = label;
                break;
            }
        }
        widget->setGeometry(rect);
        widget->setObjectName(QStringLiteral("control-%1").arg(control.id));
        widget->setFocusPolicy((control.styles & kTabStop) != 0 ? Qt::StrongFocus : Qt::NoFocus);
        if ((control.styles & kTabStop) != 0) {
            if (previousTabStop != nullptr)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
        widget->setEnabled((control.styles & kDisabled) == 0);
        widget->setVisible((control.styles & kHidden) == 0);
        controls_.emplace_back(control.id, widget);
    }
}

void Dialog::focusFirstTabStop() {
    for (const auto& control : template_.controls) {
        QWidget* widget = GetDlgItem(control.id);
        if ((control.styles & (kTabStop | kHidden | kDisabled)) == kTabStop && widget != nullptr &&
            widget->isEnabled()) {
            widget->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

int Dialog::DoModal() {
    Dialog* owner = parent_ != nullptr ? parent_ : MainWindow();
    if (owner == this)
        owner = nullptr;  // the main window itself runs without owner
    if (!createWindow(owner))
        return kIdCancel;
    window_->setWindowModality(Qt::ApplicationModal);
    const int result = window_->exec();
    DestroyWindow();
    return result;
}

bool Dialog::Create(Dialog* owner) {
    if (!createWindow(owner))
        return false;
    window_->show();
    return true;
}

bool Dialog::DestroyWindow() {
    if (window_ == nullptr)
        return false;
    windowMenu_.reset();
    controls_.clear();
    delete window_.data();
    return true;
}

void Dialog::EndDialog(int result) {
    if (window_ != nullptr)
        window_->done(result);
}

void Dialog::UpdateData() {
    if (window_ == nullptr)
        return;
    DataExchange dx(*this);
    DoDataExchange(dx);
}

QWidget* Dialog::GetDlgItem(int id) const {
    if (id == kNoId || window_ == nullptr)
        return nullptr;
    for (const auto& [controlId, widget] : controls_)
        if (controlId == id)
            return widget;
    return nullptr;
}

void Dialog::SetDlgItemText(int id, std::string_view text) {
    QWidget* widget = GetDlgItem(id);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(toQString(text));
        for (const auto& control : template_.controls)
            if (control.id == id && control.kind == ControlKind::Static)
                label->setGeometry(fitText(control, *label, mapDialogRect(control.rect, units_)));
    } else if (auto* button = qobject_cast<QPushButton*>(widget))
        button->setText(toQString(text));
}

std::string Dialog::GetDlgItemText(int id) const {
    QWidget* widget = GetDlgItem(id);
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(widget))
        return button->text().toStdString();
    return {};
}

void Dialog::EnableDlgItem(int id, bool enable) {
    if (QWidget* widget = GetDlgItem(id))
        widget->setEnabled(enable);
}

bool Dialog::IsDlgItemEnabled(int id) const {
    const QWidget* widget = GetDlgItem(id);
    return widget != nullptr && widget->isEnabled();
}

void Dialog::GotoDlgCtrl(int id) {
    QWidget* widget = GetDlgItem(id);
    if (widget == nullptr)
        return;
    widget->setFocus(Qt::OtherFocusReason);
    if (auto* button = qobject_cast<QPushButton*>(widget))
        button->setDefault(true);
}

void Dialog::SetWindowText(std::string_view text) {
    if (window_ != nullptr)
        window_->setWindowTitle(toQString(text));
}

std::string Dialog::GetWindowText() const {
    return window_ != nullptr ? window_->windowTitle().toStdString() : std::string();
}

void Dialog::SetIcon(const QIcon& icon) {
    if (window_ != nullptr)
        window_->setWindowIcon(icon);
}

void Dialog::EnableWindow(bool enable) {
    if (window_ != nullptr)
        window_->setEnabled(enable);
}

bool Dialog::IsWindowEnabled() const {
    return window_ != nullptr && window_->isEnabled();
}

WindowMenu* Dialog::GetSystemMenu() {
    return window_ != nullptr ? windowMenu_.get() : nullptr;
}

int Dialog::MessageBox(std::string_view text, std::string_view caption, MessageIcon icon) {
    return dlg::MessageBox(this, text, caption, icon);
}

bool Dialog::OnInitDialog() {
    UpdateData();
    return true;
}

void Dialog::DoDataExchange(DataExchange&) {}

void Dialog::OnOK() {
    EndDialog(kIdOk);
}

void Dialog::OnCancel() {
    EndDialog(kIdCancel);
}

void Dialog::OnCommand(int id) {
    if (id == kIdOk)
        OnOK();
    else if (id == kIdCancel)
        OnCancel();
}

void Dialog::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) == kScClose)
        OnCommand(kIdCancel);
}

}  // namespace dlg
