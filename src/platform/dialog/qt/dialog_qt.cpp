#include "platform/dialog/qt/dialog_window.h"

#include <algorithm>
#include <charconv>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QWindow>

#include "platform/dialog/application.h"
#include "platform/dialog/qt/progress_bar.h"

namespace dlg {
namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

Qt::WindowFlags flagsOf(unsigned styles) {
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

void DataExchange::Control(int id, ProgressCtrl& wrapper) {
    DialogWindow* window = dialog_.window();
    wrapper.Attach(window != nullptr ? dynamic_cast<ProgressBarControl*>(window->item(id))
                                     : nullptr);
}

void WindowMenu::AppendSeparator() {
    if (DialogWindow* window = dialog_.window())
        window->windowMenu()->addSeparator();
}

void WindowMenu::AppendItem(unsigned commandId, std::string_view text) {
    DialogWindow* window = dialog_.window();
    if (window == nullptr)
        return;
    QAction* action = window->windowMenu()->addAction(toQString(text));
    Dialog* dialog = &dialog_;
    QObject::connect(action, &QAction::triggered, window->windowMenu(),
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

QFont dialogFont() {
    const QStringList families = QFontDatabase::families();
    QFont font;
    if (families.contains(QStringLiteral("Liberation Sans")))
        font.setFamily(QStringLiteral("Liberation Sans"));
    else if (families.contains(QStringLiteral("DejaVu Sans")))
        font.setFamily(QStringLiteral("DejaVu Sans"));
    else
        font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

BaseUnits baseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    return baseUnitsOf(metrics.horizontalAdvance(
                           QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                       metrics.height());
}

QRect toQRect(const PixelRect& rect) {
    return {rect.x, rect.y, rect.cx, rect.cy};
}

QIcon toQIcon(const Icon& icon) {
    QIcon result;
    const IconEntry* entry = icon.isNull() ? nullptr : icon.module->FindIcon(icon.id);
    if (entry == nullptr)
        return result;
    for (const char* const* xpm : {entry->large, entry->small})
        if (xpm != nullptr)
            result.addPixmap(QPixmap(xpm));
    return result;
}

DialogWindow::DialogWindow(Dialog& owner, Qt::WindowFlags flags)
    : QDialog(nullptr, flags), dialog_(owner) {}

DialogWindow::~DialogWindow() {
    if (dialog_.window_ == this) {
        dialog_.window_ = nullptr;
        dialog_.windowMenu_.reset();
    }
}

DialogWindow* DialogWindow::make(Dialog& dialog, Dialog* ownerDialog) {
    if (dialog.hasWindow())
        return nullptr;
    QWidget* owner = ownerDialog != nullptr ? ownerDialog->window() : nullptr;
    const DialogTemplate& tmpl = dialog.dialogTemplate();
    auto* window = new DialogWindow(dialog, flagsOf(tmpl.styles));
    dialog.window_ = window;
    const QFont font = dialogFont();
    window->setFont(font);
    dialog.units_ = dlg::baseUnits(font);
    window->setWindowTitle(toQString(tmpl.caption));
    window->setFixedSize(toQRect(mapDialogRect({0, 0, tmpl.cx, tmpl.cy}, dialog.units_)).size());
    window->createControls();
    if ((tmpl.styles & kSystemMenu) != 0) {
        window->menu_ = new QMenu(window);
        dialog.windowMenu_ = std::make_unique<WindowMenu>(dialog);
        dialog.windowMenu_->AppendItem(kScClose, "&Close\tAlt+F4");
    }
    setOwner(window, owner);
    centre(window, owner);
    if (dialog.OnInitDialog())
        window->focusFirstTabStop();
    return window;
}

void DialogWindow::focusFirstTabStop() {
    for (const auto& control : dialog_.dialogTemplate().controls) {
        QWidget* widget = item(control.id);
        if ((control.styles & (kTabStop | kHidden | kDisabled)) == kTabStop && widget != nullptr &&
            widget->isEnabled()) {
            widget->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

QWidget* DialogWindow::item(int id) const {
    if (id == kNoId)
        return nullptr;
    for (const auto& [controlId, widget] : controls_)
        if (controlId == id)
            return widget;
    return nullptr;
}

void DialogWindow::showWindowMenu(const QPoint& globalPos) {
    if (menu_ != nullptr)
        menu_->popup(globalPos);
}

void DialogWindow::keyPressEvent(QKeyEvent* event) {
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

void DialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    const bool byKeyboard = event->reason() == QContextMenuEvent::Keyboard;
    showWindowMenu(byKeyboard ? mapToGlobal(QPoint(0, 0)) : event->globalPos());
}

void DialogWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (isEnabled())
        dialog_.OnSysCommand(kScClose);
    else
        dialog_.OnCloseWhileDisabled();
}

void DialogWindow::pressEnter() {
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

void DialogWindow::createControls() {
    controls_.clear();
    QWidget* previousTabStop = nullptr;
    for (const auto& control : dialog_.dialogTemplate().controls) {
        QWidget* widget = nullptr;
        QRect rect = toQRect(mapDialogRect(control.rect, dialog_.baseUnits()));
        switch (control.kind) {
            case ControlKind::Static: {
                QLabel* label = makeLabel(control, this);
                rect = fitText(control, *label, rect);
                widget = label;
                break;
            }
            case ControlKind::PushButton: {
                auto* button = new QPushButton(toQString(control.text), this);
                button->setAutoDefault(false);
                button->setDefault((control.styles & kDefaultButton) != 0);
                const int id = control.id;
                Dialog* dialog = &dialog_;
                QObject::connect(button, &QPushButton::clicked, button,
                                 [dialog, id] { dialog->OnCommand(id); });
                widget = button;
                break;
            }
            case ControlKind::ProgressBar:
                widget = new ProgressBarControl(this);
                break;
            case ControlKind::Icon: {
                // An icon control takes the size of the large icon, whatever the template says.
                auto* label = new QLabel(this);
                label->setPixmap(toQIcon(dialog_.LoadIcon(iconId(control.text))).pixmap(32, 32));
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

namespace {

QLabel* labelOf(const Dialog& dialog, int id) {
    return dialog.window() != nullptr ? qobject_cast<QLabel*>(dialog.window()->item(id)) : nullptr;
}

QPushButton* buttonOf(const Dialog& dialog, int id) {
    return dialog.window() != nullptr ? qobject_cast<QPushButton*>(dialog.window()->item(id))
                                      : nullptr;
}

}  // namespace

Dialog::~Dialog() {
    delete window_;
}

int Dialog::DoModal() {
    Dialog* owner = parent_ != nullptr ? parent_ : MainWindow();
    if (owner == this)
        owner = nullptr;  // the main window itself runs without owner
    if (DialogWindow::make(*this, owner) == nullptr)
        return kIdCancel;
    window_->setWindowModality(Qt::ApplicationModal);
    const int result = window_->exec();
    DestroyWindow();
    return result;
}

bool Dialog::Create(Dialog* owner) {
    if (DialogWindow::make(*this, owner) == nullptr)
        return false;
    window_->show();
    return true;
}

bool Dialog::DestroyWindow() {
    if (window_ == nullptr)
        return false;
    delete window_;
    return true;
}

void Dialog::EndDialog(int result) {
    if (window_ != nullptr)
        window_->done(result);
}

void Dialog::SetDlgItemText(int id, std::string_view text) {
    if (QLabel* label = labelOf(*this, id)) {
        label->setText(toQString(text));
        for (const auto& control : template_.controls)
            if (control.id == id && control.kind == ControlKind::Static)
                label->setGeometry(
                    fitText(control, *label, toQRect(mapDialogRect(control.rect, units_))));
    } else if (QPushButton* button = buttonOf(*this, id)) {
        button->setText(toQString(text));
    }
}

std::string Dialog::GetDlgItemText(int id) const {
    if (const QLabel* label = labelOf(*this, id))
        return label->text().toStdString();
    if (const QPushButton* button = buttonOf(*this, id))
        return button->text().toStdString();
    return {};
}

void Dialog::EnableDlgItem(int id, bool enable) {
    if (window_ != nullptr)
        if (QWidget* widget = window_->item(id))
            widget->setEnabled(enable);
}

bool Dialog::IsDlgItemEnabled(int id) const {
    const QWidget* widget = window_ != nullptr ? window_->item(id) : nullptr;
    return widget != nullptr && widget->isEnabled();
}

void Dialog::GotoDlgCtrl(int id) {
    QWidget* widget = window_ != nullptr ? window_->item(id) : nullptr;
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

void Dialog::SetIcon(const Icon& icon) {
    if (window_ != nullptr)
        window_->setWindowIcon(toQIcon(icon));
}

void Dialog::EnableWindow(bool enable) {
    if (window_ != nullptr)
        window_->setEnabled(enable);
}

bool Dialog::IsWindowEnabled() const {
    return window_ != nullptr && window_->isEnabled();
}

}  // namespace dlg
