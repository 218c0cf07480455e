#pragma once
// Locks that are named kernel mutexes: the process that owns the mutex holds the lock; the system
// frees it (abandons the mutex) the moment the holder ends, however it ends. The owner is one
// thread: take and release a lock on the same thread. Locks are also exclusive within one
// process, as a lock file is: taking a name this process already holds fails.

#include <windows.h>

#include <string>

namespace os::windows {

enum class LockResult {
    Taken,
    HeldElsewhere,  // another holder has it now
    Refused,        // an object of that name exists that does not let this user even wait on it
    NotALock,       // the name belongs to another kind of object (an event, a section, ...)
    Unusable,       // any other failure
};

// Takes the lock `name` (the kernel object's full name, "Local\..." or "Global\...") without
// waiting and sets `mutex` to the held mutex. With `everyUser`, copies run by other users can see
// and take the same lock (a machine-wide lock); without, only the calling user's.
LockResult takeNamedLock(const std::wstring& name, bool everyUser, HANDLE& mutex);
// Releases a lock takeNamedLock() gave; nullptr does nothing.
void releaseNamedLock(HANDLE mutex);

}  // namespace os::windows
