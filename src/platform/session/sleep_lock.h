#pragma once
// A lock that keeps the computer from sleeping, shutting down or going idle while it is held, as
// the system's own list of such locks shows it. Knows nothing of what the program does meanwhile;
// the caller names itself and the reason. The header is the same on every system; each system's
// implementation sits in a folder of its own, chosen by the build.
//
// On Linux (logind/): a systemd-logind "block" lock on sleep, shutdown and idle, taken with
// org.freedesktop.login1.Manager.Inhibit on the system bus (the address in
// DBUS_SYSTEM_BUS_ADDRESS when set) through sd-bus, and held as the file descriptor logind hands
// back; closing it ends the lock. Each acquire makes its own short-lived bus connection, so a bus
// that appears or restarts between uses is found.
//
// Without a lock service (no bus, no logind), acquire() logs one line and answers false; the
// caller goes on.

#include <cstdint>
#include <string>

namespace session {

// What the lock holds off, in logind's terms.
inline constexpr char kSleepLockWhat[] = "sleep:shutdown:idle";

class SleepLock {
  public:
    // `who` and `why` as the list of locks shows them; `callTimeoutMs` bounds the request.
    SleepLock(std::string who, std::string why, int callTimeoutMs = 5000);
    ~SleepLock();
    SleepLock(const SleepLock&) = delete;
    SleepLock& operator=(const SleepLock&) = delete;

    // Takes the lock; false (and one log line) when none could be taken. A held lock is kept.
    bool acquire();
    // Lets the lock go; does nothing when none is held.
    void release();
    bool held() const { return handle_ >= 0; }

  private:
    std::string who_;
    std::string why_;
    int callTimeoutMs_;
    std::intptr_t handle_ = -1;  // what the system handed back for the lock; -1: none held
};

}  // namespace session
