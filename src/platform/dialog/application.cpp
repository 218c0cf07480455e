#include "platform/dialog/application.h"

#include <atomic>

namespace dlg {
namespace {
Application* current = nullptr;
std::atomic<void (*)()> sessionEnding{nullptr};
bool sessionEndHeld = false;
}  // namespace

// Each backend tells the system (or nothing) when the hold changes.
void applySessionEndHold(bool held, std::string_view reason);

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

void HoldSessionEnd(std::string_view reason) {
    sessionEndHeld = true;
    applySessionEndHold(true, reason);
}

void ReleaseSessionEnd() {
    if (!sessionEndHeld)
        return;
    sessionEndHeld = false;
    applySessionEndHold(false, {});
}

bool SessionEndHeld() {
    return sessionEndHeld;
}

}  // namespace dlg
