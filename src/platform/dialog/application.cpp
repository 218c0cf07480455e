#include "platform/dialog/application.h"

#include <atomic>

namespace dlg {
namespace {
Application* current = nullptr;
std::atomic<void (*)()> sessionEnding{nullptr};
}  // namespace

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

void SetSessionEndingHandler(void (*handler)()) {
    sessionEnding.store(handler);
}

void notifySessionEnding() {
    if (auto* handler = sessionEnding.load())
        handler();
}

}  // namespace dlg
