#pragma once
// Keeps the computer from sleeping, shutting down or going idle while a download runs: a
// printer cut off mid-stream is left without firmware. The download layer asks through this
// interface; both programs install the system's lock (SystemSleepInhibitor, on the platform's
// session/sleep_lock.h: systemd-logind on Linux). A run that gets no lock goes on: the lock logs
// one line saying so.

#include <mutex>

#include "platform/session/sleep_lock.h"

namespace pv::download {

// How the system's list of locks describes a download's.
inline constexpr char kInhibitWhy[] = "Updating the printer's firmware";

class SleepInhibitor {
  public:
    virtual ~SleepInhibitor() = default;
    // Takes the lock; false when none could be taken. A lock already held is kept (and, where
    // several downloads may run at once, counts one more of them).
    virtual bool acquire() = 0;
    // Ends one acquire's hold; the lock goes with the last. Does nothing when none is held.
    virtual void release() = 0;
};

// The system's lock, taken in the name of the program as the log shows it. Several downloads at
// once share it: the first to start takes it, the last to end lets it go.
class SystemSleepInhibitor final : public SleepInhibitor {
  public:
    SystemSleepInhibitor();
    bool acquire() override;
    void release() override;
    bool held() const;

  private:
    mutable std::mutex mutex_;
    int users_ = 0;
    session::SleepLock lock_;
};

// The inhibitor downloads use: the installed one, or one that takes nothing.
SleepInhibitor& sleepInhibitor();
// Installs `inhibitor` process-wide (nullptr: none). The caller keeps ownership and must
// uninstall it before destroying it.
void installSleepInhibitor(SleepInhibitor* inhibitor);

// Holds the installed inhibitor's lock from construction to destruction; put one at the start of
// a download so that every way out releases it.
class SleepInhibition {
  public:
    SleepInhibition() : inhibitor_(sleepInhibitor()), held_(inhibitor_.acquire()) {}
    ~SleepInhibition() { inhibitor_.release(); }
    SleepInhibition(const SleepInhibition&) = delete;
    SleepInhibition& operator=(const SleepInhibition&) = delete;

    bool held() const { return held_; }

  private:
    SleepInhibitor& inhibitor_;
    bool held_;
};

}  // namespace pv::download
