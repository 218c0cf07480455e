// The single-instance lock between processes: a second holder of the same user is refused while
// the first lives, another user's is not, and the name is free again the moment the first dies,
// even by SIGKILL. Each case runs with a private runtime folder (lock file) and without (socket).

#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/os/single_instance.h"

namespace {

std::string uniqueName() {
    return "pv4410s lock test " + std::to_string(::getpid());
}

// Forks a child that takes the lock (as user `uid` when given), reports the outcome through a
// pipe and then waits to be killed. Answers the child's pid; `took` says whether it got the lock.
pid_t holdInChild(const std::string& name, bool& took, uid_t uid = ::getuid()) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        os::SingleInstanceLock lock;
        const bool asked = uid == ::getuid() || (::setgid(uid) == 0 && ::setuid(uid) == 0);
        const char answer = asked && lock.acquire(name) ? 'y' : 'n';
        (void)!::write(fds[1], &answer, 1);
        for (;;)
            ::pause();
    }
    ::close(fds[1]);
    char answer = 'n';
    (void)!::read(fds[0], &answer, 1);
    ::close(fds[0]);
    took = answer == 'y';
    return child;
}

void kill9(pid_t child) {
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST(SingleInstanceLock, OneHolderAtATimeWithinAProcess) {
    const std::string name = uniqueName();
    os::SingleInstanceLock first;
    os::SingleInstanceLock second;
    EXPECT_TRUE(first.acquire(name));
    EXPECT_TRUE(first.acquire(name));  // already held: kept
    EXPECT_FALSE(second.acquire(name));
    EXPECT_FALSE(second.held());
    {
        os::SingleInstanceLock other;
        EXPECT_TRUE(other.acquire(name + " other"));
    }
    EXPECT_FALSE(os::SingleInstanceLock().acquire(""));
    EXPECT_TRUE(os::SingleInstanceLock().acquire(std::string(os::kMaxLockName, 'x')));
    EXPECT_FALSE(os::SingleInstanceLock().acquire(std::string(os::kMaxLockName + 1, 'x')));
}

TEST(SingleInstanceLock, AcrossProcessesPerUserAndFreedWhenTheHolderIsKilled) {
    const std::string runtime = ::testing::TempDir() + "lock-runtime-" + std::to_string(::getpid());
    ::mkdir(runtime.c_str(), 0700);
    for (const bool runtimeFolder : {true, false}) {
        SCOPED_TRACE(runtimeFolder ? "lock file" : "socket");
        if (runtimeFolder)
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        const std::string name = uniqueName();
        bool took = false;
        const pid_t holder = holdInChild(name, took);
        ASSERT_GT(holder, 0);
        ASSERT_TRUE(took);

        os::SingleInstanceLock mine;
        EXPECT_FALSE(mine.acquire(name));
        // Copies started again and again while the first runs are each refused at once, as
        // copies of this user's (the first never answers; its queue fills).
        for (int i = 0; i < 8; ++i) {
            os::SingleInstanceLock again;
            EXPECT_FALSE(again.acquire(name));
            EXPECT_EQ(again.problem(), "");
        }
        if (::getuid() == 0) {  // another user (nobody) gets a lock of its own
            const pid_t other = holdInChild(name, took, 65534);
            EXPECT_TRUE(took) << "another user's copy must not be refused";
            kill9(other);
        }
        kill9(holder);
        EXPECT_TRUE(mine.acquire(name));

        const pid_t refused = holdInChild(name, took);
        EXPECT_FALSE(took);
        kill9(refused);
    }
    ::rmdir(runtime.c_str());
}

TEST(SingleInstanceLock, IsNotInheritedByChildProcesses) {
    const std::string name = uniqueName();
    const pid_t child = ::fork();
    if (child == 0) {
        os::SingleInstanceLock lock;
        if (!lock.acquire(name))
            ::_exit(1);
        // A program started while the lock is held must not keep it alive.
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(2);
    }
    ::usleep(200'000);
    os::SingleInstanceLock mine;
    EXPECT_TRUE(mine.acquire(name));  // exec closed the socket
    kill9(child);
}

}  // namespace
