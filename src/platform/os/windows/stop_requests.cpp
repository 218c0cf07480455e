#include "platform/os/stop_requests.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>

namespace os {
namespace {

std::atomic<StopHandler> current{nullptr};

// Runs on a thread the system starts for each console event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const StopHandler handler = current.load();
    if (handler == nullptr)
        return FALSE;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            handler(StopRequest::Interrupt);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // A closed console is not a hang-up to ride out: the system ends the program about
            // 5 s later whatever it does, so the run stops and resets the printer in that time
            // (unless an image is under way, which the close command is disabled for).
            handler(event == CTRL_LOGOFF_EVENT ? StopRequest::HangUp : StopRequest::Terminate);
            // The system ends the process as soon as this returns (or after its own grace
            // period): wait here so that the program can finish the way the handler asked,
            // ending this thread with it.
            ::Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

StopRequestHandlers::StopRequestHandlers(StopHandler handler) {
    current.store(handler);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopRequestHandlers::~StopRequestHandlers() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current.store(nullptr);
}

void writeToStandardError(const char* text, std::size_t length) {
    // Through the C library's descriptor 2, which follows a redirection made with _dup2().
    while (length > 0) {
        const unsigned chunk = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
        const int n = ::_write(2, text, chunk);
        if (n <= 0)
            return;  // standard error is gone: nothing better to do
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

void exitNow(int status) {
    std::_Exit(status);
}

}  // namespace os
