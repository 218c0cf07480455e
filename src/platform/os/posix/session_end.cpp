#include "platform/os/session_end.h"

namespace os {

// On Linux the session's end needs nothing here (see the header).
SessionEndWatch::SessionEndWatch(StopHandler) {}
SessionEndWatch::~SessionEndWatch() = default;
void holdSessionEnd(const std::string&) {}
void releaseSessionEnd() {}

}  // namespace os
