#include "platform/dialog/application.h"

#include <memory>

#include <QApplication>

namespace dlg {
namespace {
Application* current = nullptr;
}

Application::Application() {
    current = this;
}

Application::~Application() {
    if (current == this)
        current = nullptr;
}

Application* Application::Current() {
    return current;
}

Dialog* MainWindow() {
    return current != nullptr ? current->GetMainWindow() : nullptr;
}

int Application::Run(const char* programName) {
    // The toolkit keeps references to argc and argv for the application's lifetime.
    static int argc = 1;
    static char* argv[] = {const_cast<char*>(programName), nullptr};
    std::unique_ptr<QApplication> app;
    if (QCoreApplication::instance() == nullptr)
        app = std::make_unique<QApplication>(argc, argv);
    if (InitInstance())
        QApplication::exec();
    const int code = ExitInstance();
    SetMainWindow(nullptr);
    return code;
}

}  // namespace dlg
