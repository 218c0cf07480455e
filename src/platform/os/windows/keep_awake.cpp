#include "platform/os/keep_awake.h"

#include <windows.h>

#include <atomic>

namespace os {
namespace {
std::atomic<std::thread::id> holder{};
}  // namespace

bool keepSystemAwake() {
    if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0)
        return false;
    holder.store(std::this_thread::get_id());
    return true;
}

void allowSystemSleep() {
    ::SetThreadExecutionState(ES_CONTINUOUS);
    holder.store(std::thread::id{});
}

std::thread::id keptAwakeBy() {
    return holder.load();
}

}  // namespace os
