#include "platform/dialog/application.h"

#include <memory>

#include <QApplication>
#include <QSessionManager>
#include <QString>

#include "platform/dialog/qt/dialog_window.h"

namespace dlg {

int Application::Run(const char* programName) {
    // The toolkit keeps references to argc and argv for the application's lifetime.
    static int argc = 1;
    static char* argv[] = {const_cast<char*>(programName), nullptr};
    std::unique_ptr<QApplication> app;
    if (QCoreApplication::instance() == nullptr)
        app = std::make_unique<QApplication>(argc, argv);
    // The session manager asks to save before a logout: the session is ending, unless it is held
    // and the manager lets the program cancel.
    const auto logout =
        QObject::connect(qApp, &QGuiApplication::commitDataRequest, [](QSessionManager& manager) {
            if (SessionEndHeld() && manager.allowsInteraction()) {
                manager.cancel();
                manager.release();
                return;
            }
            notifySessionEnding();
        });
    if (InitInstance())
        QApplication::exec();
    QObject::disconnect(logout);
    const int code = ExitInstance();
    SetMainWindow(nullptr);
    return code;
}

// On Linux the download's sleep lock also blocks shutdown; the session manager is asked at
// logout (above).
void applySessionEndHold(bool, std::string_view) {}

void SetApplicationIcon(const Icon& icon) {
    QApplication::setWindowIcon(toQIcon(icon));
}

void SetDesktopFileName(std::string_view id) {
    QGuiApplication::setDesktopFileName(
        QString::fromUtf8(id.data(), static_cast<qsizetype>(id.size())));
}

}  // namespace dlg
