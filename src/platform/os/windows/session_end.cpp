#include "platform/os/session_end.h"

#include <windows.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/os/log.h"
#include "platform/os/windows/close_command.h"
#include "platform/os/windows/text.h"

namespace os {
namespace {

constexpr UINT kApplyHold = WM_APP + 1;
constexpr wchar_t kClassName[] = L"pv4410s-session-end";

struct Hold {
    std::mutex mutex;
    int count = 0;
    std::string reason;
    HWND window = nullptr;  // the watch's window while there is one
    StopHandler handler = nullptr;
};
Hold hold;
std::atomic<bool> ending{false};  // the window waits in WM_ENDSESSION for the program to end

// Shows the hold as it is now; on the window's own thread, which alone may set its reason.
void applyHold(HWND window) {
    std::string reason;
    bool held = false;
    {
        std::lock_guard lock(hold.mutex);
        held = hold.count > 0;
        reason = hold.reason;
    }
    if (held)
        ::ShutdownBlockReasonCreate(window, windows::wide(reason).c_str());
    else
        ::ShutdownBlockReasonDestroy(window);
    windows::enableCloseCommand(::GetConsoleWindow(), !held);
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kApplyHold:
            applyHold(window);
            return 0;
        case WM_QUERYENDSESSION: {
            StopHandler handler = nullptr;
            {
                std::lock_guard lock(hold.mutex);
                if (hold.count > 0)
                    return FALSE;
                handler = hold.handler;
            }
            if (handler != nullptr)
                handler(StopRequest::Terminate);
            return TRUE;
        }
        case WM_ENDSESSION:
            // The system ends the program as soon as this returns: wait here while the program
            // finishes the way the handler asked, ending this thread with it.
            if (wParam != FALSE) {
                ending.store(true);
                ::Sleep(INFINITE);
            }
            return 0;
        case WM_CLOSE:
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// The window's thread: makes the window, answers its messages until it is closed.
void serve(std::promise<HWND>& made) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    ::RegisterClassExW(&windowClass);
    // Top-level (a message-only window gets no session messages), never shown.
    HWND window = ::CreateWindowExW(0, kClassName, L"PV4410S command line", WS_OVERLAPPED, 0, 0, 0,
                                    0, nullptr, nullptr, windowClass.hInstance, nullptr);
    made.set_value(window);
    if (window == nullptr)
        return;
    applyHold(window);
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&message);
}

std::thread watcher;

void post() {
    std::lock_guard lock(hold.mutex);
    if (hold.window != nullptr)
        ::PostMessageW(hold.window, kApplyHold, 0, 0);
}

}  // namespace

SessionEndWatch::SessionEndWatch(StopHandler handler) {
    std::promise<HWND> made;
    auto window = made.get_future();
    watcher = std::thread([&made] { serve(made); });
    const HWND created = window.get();
    std::lock_guard lock(hold.mutex);
    hold.handler = handler;
    hold.window = created;
    if (created == nullptr)
        log("no window for the session's end: log-off and shutdown are not held off (error %lu)",
            ::GetLastError());
}

SessionEndWatch::~SessionEndWatch() {
    HWND window = nullptr;
    {
        std::lock_guard lock(hold.mutex);
        window = hold.window;
        hold.window = nullptr;
        hold.handler = nullptr;
    }
    if (window != nullptr)
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    // A window waiting out the session's end never returns: the system ends the program.
    if (ending.load())
        watcher.detach();
    else if (watcher.joinable())
        watcher.join();
}

void holdSessionEnd(const std::string& reason) {
    {
        std::lock_guard lock(hold.mutex);
        ++hold.count;
        hold.reason = reason;
    }
    post();
}

void releaseSessionEnd() {
    {
        std::lock_guard lock(hold.mutex);
        if (hold.count == 0)
            return;
        --hold.count;
    }
    post();
}

}  // namespace os
