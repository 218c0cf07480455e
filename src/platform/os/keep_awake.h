#pragma once
// Asking the system itself to stay awake. On Windows the calling thread tells the power manager
// that the system is needed (no sleep on idle) until it lets go. Elsewhere the system offers
// nothing of the kind here: the desktop session's inhibitor (systemd-logind) does it, and these
// report that nothing was taken.

namespace os {

// True when the system agreed to stay awake while the calling thread needs it.
bool keepSystemAwake();
// Lets the system sleep again; call on the thread that called keepSystemAwake().
void allowSystemSleep();

}  // namespace os
