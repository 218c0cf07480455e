#pragma once
// A private system bus for tests of the sleep inhibitor: a dbus-daemon of our own and, unless
// asked otherwise, python3-dbusmock's systemd-logind on it. While the object lives,
// DBUS_SYSTEM_BUS_ADDRESS points at that bus (or, for NoBus, at a socket that does not exist),
// so code that asks "the system bus" for an inhibitor asks the mock. No toolkit involved: any
// test, with or without Qt, can hold one and ask which inhibitors logind holds.

#include <sys/types.h>

#include <string>
#include <vector>

namespace pv::test {

class LogindMock {
  public:
    enum class Mode { Logind, BusWithoutLogind, NoBus };

    explicit LogindMock(Mode mode = Mode::Logind);
    ~LogindMock();
    LogindMock(const LogindMock&) = delete;
    LogindMock& operator=(const LogindMock&) = delete;

    // True when the bus (and logind) came up as asked; otherwise error() says why.
    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // The inhibitors logind holds now, each as "what|who|why|mode".
    std::vector<std::string> inhibitors() const;
    // Waits up to `timeoutMs` for logind to hold exactly `count` inhibitors (it notices a closed
    // lock asynchronously); answers what it holds at the end.
    std::vector<std::string> waitForInhibitors(std::size_t count, int timeoutMs = 3000) const;

  private:
    bool startDaemon();
    bool startLogind();

    std::string previousAddress_;
    bool hadAddress_ = false;
    pid_t daemon_ = -1;
    pid_t logind_ = -1;
    std::string error_;
};

}  // namespace pv::test
