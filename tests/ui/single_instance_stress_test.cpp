// Many copies of the real program started at once: exactly one runs, the rest end silently, and
// once the holder is killed outright a new copy runs again.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Copy {
    pid_t pid = -1;
    std::string outputPath;
    bool exited = false;
    int status = 0;
};

// Starts the program with its output going to a file of its own. Without a printer on the bus
// the copy that holds the lock waits in its "Printer is not connected." box.
Copy start(int number) {
    Copy copy;
    copy.outputPath = ::testing::TempDir() + "updater-copy-" + std::to_string(number) + ".out";
    copy.pid = ::fork();
    if (copy.pid == 0) {
        const int fd = ::open(copy.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execl(PV4410S_UPDATER_PATH, PV4410S_UPDATER_PATH, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return copy;
}

bool poll(Copy& copy) {
    if (!copy.exited && ::waitpid(copy.pid, &copy.status, WNOHANG) == copy.pid)
        copy.exited = true;
    return copy.exited;
}

std::size_t outputSize(const Copy& copy) {
    struct stat info {};
    return ::stat(copy.outputPath.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

void killAndReap(Copy& copy) {
    if (poll(copy))
        return;
    ::kill(copy.pid, SIGKILL);
    ::waitpid(copy.pid, &copy.status, 0);
    copy.exited = true;
}

TEST(SingleInstanceStress, TwentyCopiesAtOnceExactlyOneRunsAndAKilledHolderFreesTheLock) {
    std::vector<Copy> copies;
    copies.reserve(20);
    for (int i = 0; i < 20; ++i)
        copies.push_back(start(i));

    // Wait until all but one have ended, then give the last a moment more to prove it stays.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    auto running = [&] {
        std::size_t n = 0;
        for (auto& copy : copies)
            n += poll(copy) ? 0u : 1u;
        return n;
    };
    while (running() > 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(running(), 1u);

    Copy* holder = nullptr;
    for (auto& copy : copies) {
        if (!copy.exited) {
            holder = &copy;
            continue;
        }
        EXPECT_TRUE(WIFEXITED(copy.status) && WEXITSTATUS(copy.status) == 0);
        EXPECT_EQ(outputSize(copy), 0u) << "a second copy must end silently";
    }

    killAndReap(*holder);
    Copy next = start(20);
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(poll(next)) << "after SIGKILL of the holder a new copy must run";
    killAndReap(next);
}

}  // namespace
