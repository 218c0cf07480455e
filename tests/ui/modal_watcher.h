#pragma once
// Answers the modal windows a test provokes: a repeating timer looks at the active modal window
// while the code under test runs its nested event loop, records what it saw and closes it.

#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace pv::ui::testing {

struct SeenModal {
    std::string title;
    std::string text;  // a message box's text; empty for other windows
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class ModalWatcher {
  public:
    // `onModal` runs for every modal window before it is closed (for example to inspect it).
    explicit ModalWatcher(std::function<void(QWidget*)> onModal = {})
        : onModal_(std::move(onModal)) {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
        timer_.start();
    }

    const std::vector<SeenModal>& seen() const { return seen_; }

  private:
    void check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        SeenModal entry{modal->windowTitle().toStdString(), {}, QMessageBox::NoIcon};
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            entry.text = box->text().toStdString();
            entry.icon = box->icon();
        }
        seen_.push_back(entry);
        if (onModal_)
            onModal_(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(1);
        else
            modal->close();
    }

    std::function<void(QWidget*)> onModal_;
    std::vector<SeenModal> seen_;
    QTimer timer_;
};

}  // namespace pv::ui::testing
