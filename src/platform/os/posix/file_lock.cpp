#include "platform/os/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace os {

FileLock::Result FileLock::acquire(const std::string& path) {
    release();
    constexpr mode_t kEveryone = 0666;
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kEveryone);
    if (fd < 0)
        return errno == EACCES ? Result::HeldElsewhere : Result::Unusable;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return Result::Unusable;
    }
    // The creator's umask must not keep the next user out.
    if (info.st_uid == ::geteuid() && (info.st_mode & 07777) != kEveryone)
        ::fchmod(fd, kEveryone);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unusable;
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
