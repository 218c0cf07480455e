#include "platform/session/sleep_lock.h"

#include <utility>

#include "platform/os/keep_awake.h"
#include "platform/os/log.h"

namespace session {

// Windows keeps no list of named locks for a desktop program: the power manager is told that the
// calling thread needs the system, until it lets go (acquire and release on the same thread).
SleepLock::SleepLock(std::string who, std::string why, int callTimeoutMs)
    : who_(std::move(who)), why_(std::move(why)), callTimeoutMs_(callTimeoutMs) {}

SleepLock::~SleepLock() {
    release();
}

bool SleepLock::acquire() {
    if (held())
        return true;
    if (!os::keepSystemAwake()) {
        os::log("no sleep lock taken for \"%s\": the power manager refused", why_.c_str());
        return false;
    }
    handle_ = 0;
    return true;
}

void SleepLock::release() {
    if (!held())
        return;
    os::allowSystemSleep();
    handle_ = -1;
}

}  // namespace session
