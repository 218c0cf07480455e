#pragma once
// The end of the desktop session (log-off, shutdown) for a program without windows of its own, and
// holding it off while the program does something that must not be cut off. (A program with
// windows answers the session through its windows: the dialog framework's HoldSessionEnd.)
//
// On Windows a console program gets no console event for a log-off or shutdown once it uses the
// window system, as ours do; a hidden top-level window on a thread of its own receives the
// session's messages instead. Outside a hold, the session's end is passed to the stop handler as
// a termination request, and the window then waits, as a console handler does, while the program
// finishes the way the handler asked. During a hold the window refuses the end, with the hold's
// reason as its shutdown block reason, and the console window's Close command is disabled (given
// back when the last hold ends).
//
// On Linux these do nothing: the sleep lock blocks shutdown, logind's end of the session comes as
// a signal, and a closed terminal is a hang-up the program rides out.

#include <string>

#include "platform/os/stop_requests.h"

namespace os {

class SessionEndWatch {
  public:
    explicit SessionEndWatch(StopHandler handler);
    // (Windows ends its window and thread here; elsewhere there is nothing to end.)
    ~SessionEndWatch();  // NOLINT(performance-trivially-destructible)
    SessionEndWatch(const SessionEndWatch&) = delete;
    SessionEndWatch& operator=(const SessionEndWatch&) = delete;
};

// Holds off the session's end until the matching release; holds from several threads count, and
// the latest reason is the one shown. Thread-safe.
void holdSessionEnd(const std::string& reason);
void releaseSessionEnd();

}  // namespace os
