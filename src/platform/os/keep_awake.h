#pragma once
// Asking the system itself to stay awake. On Windows the calling thread tells the power manager
// that the system is needed (no sleep on idle) until it lets go, or ends: whoever needs the
// request to outlive a thread keeps one thread of its own for it (the sleep lock does). Elsewhere
// the system offers nothing of the kind here: the desktop session's inhibitor (systemd-logind)
// does it, and these report that nothing was taken.

#include <thread>

namespace os {

// True when the system agreed to stay awake while the calling thread needs it.
bool keepSystemAwake();
// Lets the system sleep again; call on the thread that called keepSystemAwake().
void allowSystemSleep();
// The thread whose request keeps the system awake now; none (a default id) when there is none.
std::thread::id keptAwakeBy();

}  // namespace os
