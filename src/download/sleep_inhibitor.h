#pragma once
// Keeps the computer from sleeping, shutting down or going idle while a download runs: a
// printer cut off mid-stream is left without firmware. The download layer asks through this
// interface; the desktop implementation (app/logind_inhibitor.h) takes a systemd-logind lock over
// D-Bus; without one installed, downloads ask the system itself (on Windows, its power manager).
// A run that gets no lock goes on: the implementation logs one line saying so.

namespace pv::download {

class SleepInhibitor {
  public:
    virtual ~SleepInhibitor() = default;
    // Takes the lock; false when none could be taken. A lock already held is kept.
    virtual bool acquire() = 0;
    // Lets the lock go; does nothing when none is held.
    virtual void release() = 0;
};

// The inhibitor downloads use: the installed one, or the system's own (which on Linux takes
// nothing).
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
