#include "platform/os/stop_requests.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
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
    (void)!::write(STDERR_FILENO, text, length);
}

void exitNow(int status) {
    ::_exit(status);
}

void reserveStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            continue;
        // The lowest free number is this one: the ones below are open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

}  // namespace os
