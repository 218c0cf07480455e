#pragma once
// The sleep inhibitor of a Linux desktop: a systemd-logind "block" lock on sleep, shutdown and
// idle, taken with org.freedesktop.login1.Manager.Inhibit on the system bus (the address in
// DBUS_SYSTEM_BUS_ADDRESS when set) and held as the file descriptor logind hands back; closing it
// ends the lock. Each acquire makes its own short-lived bus connection, so a bus that appears or
// restarts between downloads is found. Without a bus or logind, acquire() logs one line and
// answers false.

#include <string>

#include "download/sleep_inhibitor.h"

namespace pv::app {

inline constexpr char kInhibitWhat[] = "sleep:shutdown:idle";
inline constexpr char kInhibitWhy[] = "Updating the printer's firmware";

class LogindInhibitor final : public download::SleepInhibitor {
  public:
    // `who` defaults to the program's name as the log shows it.
    explicit LogindInhibitor(std::string who = {}, int callTimeoutMs = 5000);
    ~LogindInhibitor() override;
    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

    bool acquire() override;
    void release() override;
    bool held() const { return fd_ >= 0; }

  private:
    std::string who_;
    int callTimeoutMs_;
    int fd_ = -1;
};

}  // namespace pv::app
