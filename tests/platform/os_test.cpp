#include <gtest/gtest.h>

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/file_lock.h"
#include "platform/os/handles.h"
#include "platform/os/keep_awake.h"
#include "platform/os/log.h"
#include "platform/os/session_end.h"
#include "platform/os/single_instance.h"
#include "platform/os/state_files.h"
#include "platform/os/stop_requests.h"
#ifdef _WIN32
#include "platform/os/windows/close_command.h"
#endif

namespace {

// Sets (or with nullptr removes) an environment variable.
void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

TEST(TickCount, DifferencesSurviveTheWrap) {
    EXPECT_EQ(os::ticksSince(0xFFFFFFF0u, 0x00000010u), 0x20u);
    os::VirtualClock clock(0xFFFFFFFFull - 5);
    os::ScopedClock scoped(clock);
    const os::Tick start = os::tickCount();
    os::sleepMs(20);
    EXPECT_LT(os::tickCount(), start);  // wrapped
    EXPECT_EQ(os::ticksSince(start, os::tickCount()), 20u);
}

TEST(VirtualClock, SleepAdvancesAtOnceAndTellsListeners) {
    os::VirtualClock clock(1000);
    std::uint64_t seen = 0;
    clock.onAdvance([&](std::uint64_t now) { seen = now; });
    os::ScopedClock scoped(clock);
    os::sleepMs(15000);
    EXPECT_EQ(clock.nowMs(), 16000u);
    EXPECT_EQ(seen, 16000u);
}

struct FakeObject : os::HandleObject {
    bool closeSucceeds = true;
    std::uint32_t read(void*, std::uint32_t length) override { return length / 2; }
    std::uint32_t write(const void*, std::uint32_t length) override { return length; }
    bool close() override { return closeSucceeds; }
};

TEST(Handles, TransfersReportTheTransportCountAndCloseMayFail) {
    auto object = std::make_unique<FakeObject>();
    FakeObject* raw = object.get();
    const std::size_t before = os::openHandleCount();
    const os::Handle h = os::openHandle(std::move(object));
    ASSERT_NE(h, os::kNoHandle);
    char buffer[8] = {};
    EXPECT_EQ(os::readFile(h, buffer, 8), 4u);
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);

    raw->closeSucceeds = false;
    EXPECT_FALSE(os::closeHandle(h));
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);  // still open
    raw->closeSucceeds = true;
    EXPECT_TRUE(os::closeHandle(h));
    EXPECT_EQ(os::openHandleCount(), before);

    EXPECT_EQ(os::writeFile(h, buffer, 8), 0u);
    EXPECT_EQ(os::readFile(os::kNoHandle, buffer, 8), 0u);
    EXPECT_FALSE(os::closeHandle(h));
}

// Lines from several threads reach standard error whole, one per call, with the program's name.
TEST(Log, WholePrefixedLinesOnStandardErrorFromManyThreads) {
    const std::string path = ::testing::TempDir() + "log-test-stderr.txt";
    std::FILE* file = std::fopen(path.c_str(), "w+");
    ASSERT_NE(file, nullptr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                os::log("thread %d line %d %s", t, i, std::string(300, 'x').c_str());
        });
    for (auto& thread : threads)
        thread.join();
    os::logLine(std::string(2 * os::kMaxLogLine, 'y'));
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(file);

    std::ifstream in(path);
    std::string line;
    int count = 0;
    while (std::getline(in, line) && line[line.size() - 1] == 'x') {
        ++count;
        EXPECT_EQ(line.rfind("pv4410s-updater: thread ", 0), 0u) << line;
        EXPECT_EQ(line.find(std::string(300, 'x')), line.size() - 300) << line;
    }
    EXPECT_EQ(count, 800);
    EXPECT_EQ(line.size(), os::kMaxLogLine - 1);  // the long line is cut, newline kept
}

TEST(Log, TraceFollowsTheVariableAndStampsTheInstalledClock) {
    os::CapturedLog captured;
    setVariable(os::kTraceVariable, "0");
    os::traceFromEnvironment();
    os::trace("hidden %d", 1);
    EXPECT_TRUE(captured.lines().empty());

    setVariable(os::kTraceVariable, "1");
    os::traceFromEnvironment();
    os::setLogProgramName("tool");
    os::trace("write %u bytes", 4096u);
    os::VirtualClock clock(1500);
    {
        os::ScopedClock scoped(clock);
        os::traceLine("wait 500 ms");
    }
    os::log("plain");
    os::setLogProgramName("pv4410s-updater");
    os::setTraceOn(false);
    setVariable(os::kTraceVariable, nullptr);

    const auto lines = captured.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("tool: [") && lines[0].ends_with(" ms] write 4096 bytes"))
        << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" ms, clock 1500] wait 500 ms")) << lines[1];
    EXPECT_EQ(lines[2], "tool: plain");
}

// Both locks are exclusive within one process too, as between processes, and free once let go.
TEST(Locks, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    const std::string path = ::testing::TempDir() + "os-test-printer.lock";
    {
        os::FileLock first;
        os::FileLock second;
        ASSERT_EQ(first.acquire(path), os::FileLock::Result::Taken);
        EXPECT_EQ(second.acquire(path), os::FileLock::Result::HeldElsewhere);
        EXPECT_FALSE(second.held());
        first.release();
        EXPECT_EQ(second.acquire(path), os::FileLock::Result::Taken);
        EXPECT_EQ(first.acquire(path + "-other"), os::FileLock::Result::Taken);
    }
#ifndef _WIN32
    {
        // A file made under a restrictive umask still opens for every other user; a symbolic
        // link, even to a file of the user's own, is not followed.
        const std::string made = path + "-umask";
        const std::string link = path + "-link";
        std::filesystem::remove(made);
        std::filesystem::remove(link);
        const mode_t umask = ::umask(077);
        os::FileLock lock;
        EXPECT_EQ(lock.acquire(made), os::FileLock::Result::Taken);
        ::umask(umask);
        EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms(0644));
        std::filesystem::create_symlink(made, link);
        EXPECT_EQ(lock.acquire(link), os::FileLock::Result::Unusable);
        EXPECT_NE(lock.problem().find("is a symbolic link"), std::string::npos) << lock.problem();
    }
#endif
    {
        // Free for another thread once released, even while someone else has the lock open (on
        // Windows a handle to its kernel object, as a copy that just looked at it would hold).
        os::FileLock first;
        ASSERT_EQ(first.acquire(path), os::FileLock::Result::Taken);
#ifdef _WIN32
        std::wstring name = std::filesystem::path(path).wstring();
        std::replace(name.begin(), name.end(), L'\\', L'/');
        const HANDLE looker =
            ::OpenMutexW(SYNCHRONIZE, FALSE, (L"Global\\pv4410s-lock:" + name).c_str());
        ASSERT_NE(looker, nullptr);
#endif
        first.release();
        std::thread([&] {
            os::FileLock other;
            EXPECT_EQ(other.acquire(path), os::FileLock::Result::Taken);
        }).join();
#ifdef _WIN32
        ::CloseHandle(looker);
#endif
    }
#ifdef _WIN32
    {
        // A name another program took, as an object that is not a lock or one that lets nobody
        // else wait on it, is unusable, and the problem names the object and what to do.
        const std::string squatted = path + "-squatted";
        std::wstring name = std::filesystem::path(squatted).wstring();
        std::replace(name.begin(), name.end(), L'\\', L'/');
        const HANDLE event =
            ::CreateEventW(nullptr, TRUE, FALSE, (L"Global\\pv4410s-lock:" + name).c_str());
        ASSERT_NE(event, nullptr);
        os::FileLock lock;
        EXPECT_EQ(lock.acquire(squatted), os::FileLock::Result::Unusable);
        EXPECT_NE(lock.problem().find("the name of the lock object Global\\pv4410s-lock:"),
                  std::string::npos)
            << lock.problem();
        EXPECT_NE(lock.problem().find("another program or user made it"), std::string::npos);
        ::CloseHandle(event);
        EXPECT_EQ(lock.acquire(squatted), os::FileLock::Result::Taken) << "free once it is gone";
    }
#endif
    auto first = std::make_unique<os::SingleInstanceLock>();
    os::SingleInstanceLock second;
    ASSERT_TRUE(first->acquire("os-test instance"));
    EXPECT_FALSE(second.acquire("os-test instance"));
    EXPECT_FALSE(second.acquire(std::string(os::kMaxLockName + 1, 'n')));
    first.reset();
    EXPECT_TRUE(second.acquire("os-test instance"));
}

#ifndef _WIN32
// Without a private runtime folder the instance name is an abstract socket, which any user can
// bind. A squatter of another user whose queue is full is found and named, not taken for a copy
// of this user's (a silent end). Making another user's process needs root.
TEST(SingleInstance, ASquatterWithAFullQueueIsNamed) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run the squatter as another user";
    const std::string name = "os-test squatted";
    const std::string full = name + " uid 0";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, full.data(), full.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());
    const auto* where = reinterpret_cast<const sockaddr*>(&address);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setuid(65534) != 0 || ::bind(s, where, length) != 0 || ::listen(s, 0) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "r", 1);
        for (;;)
            ::pause();
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::vector<int> waiting;  // connections that fill the squatter's queue
    for (int i = 0; i < 64; ++i) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (::connect(s, where, length) != 0) {
            ::close(s);
            break;
        }
        waiting.push_back(s);
    }
    const std::string runtime =
        std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    os::SingleInstanceLock lock;
    EXPECT_FALSE(lock.acquire(name));
    EXPECT_NE(lock.problem().find("(process " + std::to_string(squatter) + ")"), std::string::npos)
        << lock.problem();
    if (!runtime.empty())
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    for (const int s : waiting)
        ::close(s);
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
}
#endif

// The log of a program without a console goes to a file (its folder made as needed), and back
// to standard error once the path is empty.
TEST(Log, LinesGoToTheFileGivenUntilItIsTakenBack) {
    const std::string folder = ::testing::TempDir() + "os-test-log";
    const std::string path = folder + "/sub/updater.log";
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(os::logToFile(path));
    os::log("to the file %d", 1);
    os::logToFile("");
    os::CapturedLog captured;
    os::log("captured");
    EXPECT_EQ(os::readWholeFile(path),
              "pv4410s-updater: log started\npv4410s-updater: to the file 1\n");
    EXPECT_EQ(captured.lines().size(), 1u);
    EXPECT_FALSE(os::logToFile(folder + "/sub"));  // a folder cannot be a log
    EXPECT_FALSE(os::readWholeFile(folder + "/missing"));
}

TEST(KeepAwake, TheSystemIsAskedOnWindowsOnly) {
#ifdef _WIN32
    ASSERT_TRUE(os::keepSystemAwake());
    EXPECT_NE(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) & ES_SYSTEM_REQUIRED,
              0u);
    os::allowSystemSleep();
    EXPECT_EQ(::SetThreadExecutionState(ES_CONTINUOUS) & ES_SYSTEM_REQUIRED, 0u);
#else
    EXPECT_FALSE(os::keepSystemAwake());
    os::allowSystemSleep();
#endif
}

std::atomic<int> stopRequests{0};

// Ctrl+C reaches the installed handler instead of ending the program.
TEST(StopRequests, InterruptCallsTheHandler) {
    stopRequests = 0;
    const os::StopRequestHandlers handlers([](os::StopRequest request) {
        if (request == os::StopRequest::Interrupt)
            ++stopRequests;
    });
#ifdef _WIN32
    // A console of its own (CTest gives none), whose process group gets the event. Its host must
    // not inherit CTest's output pipe, or CTest waits for the host to end. (The test's own output
    // goes on through the C library's descriptors.)
    const HANDLE nul =
        ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    for (const DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        ::SetStdHandle(stream, nul);
    ::FreeConsole();
    ASSERT_NE(::AllocConsole(), 0);
    ASSERT_NE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0), 0);
#else
    ASSERT_EQ(std::raise(SIGINT), 0);
#endif
    for (int i = 0; i < 200 && stopRequests == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(stopRequests, 1);
#ifdef _WIN32
    ::FreeConsole();  // ends the console's host, which would otherwise outlive the test
#endif
}

#ifdef _WIN32
std::atomic<int> sessionEnds{0};

// The command line's hidden window answers the session's end: a termination request outside a
// hold, a refusal during one (however many holds, until the last is let go). Where the program
// has a console window (not under Wine), its Close command is greyed meanwhile.
TEST(SessionEnd, TheHiddenWindowPassesItOnOrRefusesItDuringAHold) {
    sessionEnds = 0;
    const os::SessionEndWatch watch([](os::StopRequest request) {
        if (request == os::StopRequest::Terminate)
            ++sessionEnds;
    });
    HWND window = ::FindWindowW(L"pv4410s-session-end", nullptr);
    ASSERT_NE(window, nullptr);
    const auto query = [&] { return ::SendMessageW(window, WM_QUERYENDSESSION, 0, 0); };
    EXPECT_NE(query(), 0);
    EXPECT_EQ(sessionEnds, 1);
    os::holdSessionEnd("Writing the printer's firmware, about 2 minutes left.");
    os::holdSessionEnd("Writing the printer's firmware, about 1 minute left.");
    os::releaseSessionEnd();
    EXPECT_EQ(query(), 0) << "refused while one hold is left";
    EXPECT_EQ(sessionEnds, 1);
    // The console's Close command is greyed meanwhile, where the console has a window menu (not
    // under Wine); the command itself is checked on a window of the test's own.
    const auto closeGreyed = [] {
        for (int i = 0; i < 100; ++i) {
            if (os::windows::closeCommandGreyed(::GetConsoleWindow()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    if (::GetSystemMenu(::GetConsoleWindow(), FALSE) != nullptr) {
        EXPECT_TRUE(closeGreyed());
    }
    os::releaseSessionEnd();
    EXPECT_NE(query(), 0);
    EXPECT_EQ(sessionEnds, 2);

    HWND own = ::CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(own, nullptr);
    ASSERT_TRUE(os::windows::enableCloseCommand(own, false));
    EXPECT_TRUE(os::windows::closeCommandGreyed(own));
    ASSERT_TRUE(os::windows::enableCloseCommand(own, true));
    EXPECT_FALSE(os::windows::closeCommandGreyed(own));
    ::DestroyWindow(own);
}
#endif

}  // namespace
