#include "platform/os/keep_awake.h"

#include <windows.h>

namespace os {

bool keepSystemAwake() {
    return ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

void allowSystemSleep() {
    ::SetThreadExecutionState(ES_CONTINUOUS);
}

}  // namespace os
