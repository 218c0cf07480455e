#include "platform/os/keep_awake.h"

namespace os {

bool keepSystemAwake() {
    return false;
}

void allowSystemSleep() {}

std::thread::id keptAwakeBy() {
    return {};
}

}  // namespace os
