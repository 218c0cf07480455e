#include "support/logind_mock.h"

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace pv::test {
namespace {

constexpr char kAddressVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";

// Runs a shell command and answers its standard output; `ok` says whether it exited with 0.
std::string capture(const std::string& command, bool& ok) {
    std::string out;
    ok = false;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    ok = ::pclose(pipe) == 0;
    return out;
}

std::string busCall(const std::string& arguments, bool& ok) {
    return capture("dbus-send --system --print-reply --reply-timeout=2000 " + arguments, ok);
}

void stop(pid_t& pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

LogindMock::LogindMock(Mode mode) {
    if (const char* previous = std::getenv(kAddressVariable)) {
        hadAddress_ = true;
        previousAddress_ = previous;
    }
    if (mode == Mode::NoBus) {
        ::setenv(kAddressVariable, "unix:path=/nonexistent/pv4410s-test-no-bus", 1);
        return;
    }
    if (startDaemon() && mode == Mode::Logind)
        startLogind();
}

LogindMock::~LogindMock() {
    stop(logind_);
    stop(daemon_);
    if (hadAddress_)
        ::setenv(kAddressVariable, previousAddress_.c_str(), 1);
    else
        ::unsetenv(kAddressVariable);
}

bool LogindMock::startDaemon() {
    int fds[2];
    if (::pipe(fds) != 0) {
        error_ = "no pipe";
        return false;
    }
    // The daemon writes its address on descriptor 3 of its own.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char program[] = "dbus-daemon";
    char session[] = "--session";
    char noFork[] = "--nofork";
    char address[] = "--address=unix:tmpdir=/tmp";
    char print[] = "--print-address=3";
    char* argv[] = {program, session, noFork, address, print, nullptr};
    const int spawned = ::posix_spawnp(&daemon_, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        daemon_ = -1;
        ::close(fds[0]);
        error_ = "cannot start dbus-daemon (install dbus-daemon)";
        return false;
    }
    std::string line;
    pollfd waitFor{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&waitFor, 1, 5000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    ::close(fds[0]);
    if (line.empty()) {
        error_ = "dbus-daemon printed no address";
        return false;
    }
    ::setenv(kAddressVariable, line.c_str(), 1);
    return true;
}

bool LogindMock::startLogind() {
    // Debian's interpreter: the module comes from the python3-dbusmock package.
    char program[] = "/usr/bin/python3";
    char module[] = "-m";
    char dbusmock[] = "dbusmock";
    char system[] = "--system";
    char templ[] = "--template";
    char logind[] = "logind";
    char* argv[] = {program, module, dbusmock, system, templ, logind, nullptr};
    if (::posix_spawn(&logind_, program, nullptr, nullptr, argv, environ) != 0) {
        logind_ = -1;
        error_ = "cannot start python3";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        bool ok = false;
        const std::string answer = busCall(
            "--dest=org.freedesktop.DBus /org/freedesktop/DBus "
            "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.login1",
            ok);
        if (ok && answer.find("true") != std::string::npos)
            return true;
        int status = 0;
        if (::waitpid(logind_, &status, WNOHANG) == logind_) {
            logind_ = -1;
            error_ = "the logind mock ended (install python3-dbusmock)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "the logind mock did not take its name";
    return false;
}

std::vector<std::string> LogindMock::inhibitors() const {
    std::vector<std::string> held;
    bool ok = false;
    // dbus-send prints each string field on a line of its own: `string "..."`; an inhibitor is
    // four of them (what, who, why, mode) followed by two numbers.
    const std::string reply = busCall(
        "--dest=org.freedesktop.login1 /org/freedesktop/login1 "
        "org.freedesktop.login1.Manager.ListInhibitors",
        ok);
    if (!ok)
        return held;
    std::vector<std::string> fields;
    std::size_t at = 0;
    while ((at = reply.find("string \"", at)) != std::string::npos) {
        at += 8;
        const std::size_t end = reply.find("\"\n", at);
        if (end == std::string::npos)
            break;
        fields.push_back(reply.substr(at, end - at));
        at = end;
    }
    for (std::size_t i = 0; i + 3 < fields.size(); i += 4)
        held.push_back(fields[i] + "|" + fields[i + 1] + "|" + fields[i + 2] + "|" + fields[i + 3]);
    return held;
}

std::vector<std::string> LogindMock::waitForInhibitors(std::size_t count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> held = inhibitors();
    while (held.size() != count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held = inhibitors();
    }
    return held;
}

}  // namespace pv::test
