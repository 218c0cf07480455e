#include "platform/os/stop_requests.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace os {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr StopRequest kRequests[] = {StopRequest::Interrupt, StopRequest::Terminate,
                                     StopRequest::HangUp};

std::atomic<StopHandler> current{nullptr};
struct sigaction previous[std::size(kSignals)];
struct sigaction previousPipe;

extern "C" void onSignal(int signal) {
    const StopHandler handler = current.load();
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        if (kSignals[i] == signal && handler != nullptr)
            handler(kRequests[i]);
}

}  // namespace

StopRequestHandlers::StopRequestHandlers(StopHandler handler) {
    current.store(handler);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

StopRequestHandlers::~StopRequestHandlers() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &previous[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
    current.store(nullptr);
}

void writeToStandardError(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // standard error is gone: nothing better to do
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

void exitNow(int status) {
    ::_exit(status);
}

}  // namespace os
