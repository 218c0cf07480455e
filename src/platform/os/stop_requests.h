#pragma once
// Requests from the system to stop the program: Ctrl+C, a termination request, the terminal or
// console going away, the session ending. While a StopRequestHandlers object lives, each request
// calls the handler given to it instead of ending the program; the previous behaviour comes back
// when it is destroyed. Broken pipes on standard output never end the program meanwhile: the
// write fails and the program goes on.
//
// The handler runs where the system delivers the request (a signal handler on Linux, a thread of
// the system's on Windows), so it may only set atomics and call the functions below.

#include <cstddef>

namespace os {

enum class StopRequest {
    Interrupt,  // Ctrl+C
    Terminate,  // a polite termination request (kill, a service manager, shutdown; Windows: the
                // console closed)
    HangUp,     // the controlling terminal went away, or the session ended (Windows: a log-off)
};

using StopHandler = void (*)(StopRequest request);

class StopRequestHandlers {
  public:
    explicit StopRequestHandlers(StopHandler handler);
    ~StopRequestHandlers();
    StopRequestHandlers(const StopRequestHandlers&) = delete;
    StopRequestHandlers& operator=(const StopRequestHandlers&) = delete;
};

// Writes `length` bytes of `text` to standard error; safe inside a StopHandler.
void writeToStandardError(const char* text, std::size_t length);
// Ends the program at once with `status`, running no destructors; safe inside a StopHandler.
[[noreturn]] void exitNow(int status);

}  // namespace os
