#include "platform/os/file_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace os {
namespace {

// Created lock files: everyone may open them read-only, which is all the lock needs.
constexpr mode_t kLockFileMode = 0644;
// Another copy may create the file between a failed open and an exclusive create, or an
// administrator remove it between the two: so many rounds before giving up.
constexpr int kOpenRounds = 8;

std::string userName(uid_t uid) {
    std::array<char, 1024> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

const char* typeName(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device node";
}

// "owner daemon, mode 0600" of `path` itself (a symbolic link not followed).
std::string ownerAndMode(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::strerror(errno);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "owner " + userName(info.st_uid) + ", mode " + mode;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// Why the file at `path` cannot serve, after `error` (an errno value, 0 for "not a regular
// file").
std::string fileProblem(const std::string& path, int error) {
    struct stat info {};
    const bool exists = ::lstat(path.c_str(), &info) == 0;
    std::string text = "the lock file " + path;
    if (exists && !S_ISREG(info.st_mode)) {
        text += std::string(" is ") + typeName(info.st_mode) + " (" + ownerAndMode(path) +
                "), not a regular file";
    } else {
        text += " (" + ownerAndMode(path) + ") cannot be used by user " + userName(::geteuid()) +
                ": " + std::strerror(error);
    }
    return text + "; an administrator can remove it (rm -r " + quoted(path) +
           "): the next run makes a new one";
}

std::string folderProblem(const std::string& path, int error) {
    const std::string folder = folderOf(path);
    return "cannot create the lock file " + path + ": the folder " + folder + " (" +
           ownerAndMode(folder) + ") does not let user " + userName(::geteuid()) +
           " create it: " + std::strerror(error) +
           "; an administrator can make the folder writable for everyone with the sticky bit "
           "(chmod 1777 " +
           quoted(folder) + ")";
}

// The lock file at `path`, opened read-only or newly made (`created`); -1 with `problem` set
// when neither can be done.
int openLockFile(const std::string& path, bool& created, std::string& problem) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    created = false;
    for (int round = 0; round < kOpenRounds; ++round) {
        // O_NONBLOCK: a FIFO at the path must not hold the open up.
        const int fd = ::open(path.c_str(), kFlags | O_NONBLOCK);
        if (fd >= 0)
            return fd;
        if (errno != ENOENT) {
            problem = fileProblem(path, errno);
            return -1;
        }
        const int made = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, kLockFileMode);
        if (made >= 0) {
            created = true;
            return made;
        }
        // Made by another copy meanwhile (open theirs), or removed again: another round.
        if (errno != EEXIST && errno != ENOENT) {
            problem = folderProblem(path, errno);
            return -1;
        }
    }
    problem = "the lock file " + path +
              " keeps appearing and disappearing; an administrator can look for what removes it";
    return -1;
}

}  // namespace

std::string FileLock::describe(const std::string& path) {
    return "lock file " + path;
}

FileLock::Result FileLock::acquire(const std::string& path) {
    release();
    problem_.clear();
    bool created = false;
    const int fd = openLockFile(path, created, problem_);
    if (fd < 0)
        return Result::Unusable;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = errno;
        ::close(fd);
        problem_ = fileProblem(path, S_ISREG(info.st_mode) ? error : 0);
        return Result::Unusable;
    }
    // The creator's umask must not keep the next user out.
    if (created && (info.st_mode & 07777) != kLockFileMode)
        ::fchmod(fd, kLockFileMode);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Result::HeldElsewhere;
        problem_ = fileProblem(path, error);
        return Result::Unusable;
    }
    lock_ = fd;
    return Result::Taken;
}

void FileLock::release() {
    if (lock_ != kNone)
        ::close(static_cast<int>(lock_));
    lock_ = kNone;
}

}  // namespace os
