#include "platform/dialog/application.h"

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

}  // namespace dlg
