#include "platform/os/single_instance.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace os {
namespace {

// The user's runtime folder when it can hold a lock: absolute, a folder, owned by the user and
// closed to everyone else. Empty otherwise.
std::string privateRuntimeFolder() {
    const char* folder = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (folder == nullptr || folder[0] != '/' || ::stat(folder, &info) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        return {};
    return folder;
}

// A lock file in the runtime folder, named after the lock, held with flock(); -1 when taken.
int lockFile(const std::string& folder, std::string_view name) {
    std::string path = folder + "/";
    for (const char c : name)
        path += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ? c : '-';
    path += ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string userName(uid_t uid) {
    std::array<char, 1024> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

// An abstract socket listening on `name` and the user's id; -1 when the name is taken, with
// `problem` set unless a copy of this user's holds it.
int boundSocket(std::string_view name, std::string& problem) {
    const std::string full = std::string(name) + " uid " + std::to_string(::getuid());
    sockaddr_un address{};
    // An abstract name starts with a zero byte and is exactly as long as the length given.
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, full.data(), full.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());
    const auto* where = reinterpret_cast<const sockaddr*>(&address);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        problem = std::string("cannot make a socket: ") + std::strerror(errno);
        return -1;
    }
    // Listening lets a later copy ask who holds the name.
    if (::bind(fd, where, length) == 0 && ::listen(fd, 4) == 0)
        return fd;
    ::close(fd);
    // Who holds it: a copy of this user's listens and answers with its credentials. The probe
    // never waits: a copy does not accept, so after a few probes its queue is full, and a
    // waiting connect would wait for as long as that copy runs. A full queue is a copy that
    // several later ones have asked already.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int connected = probe >= 0 ? ::connect(probe, where, length) : -1;
    const bool queueFull = connected != 0 && errno == EAGAIN;
    ucred holder{};
    socklen_t size = sizeof holder;
    const bool known =
        connected == 0 && ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0;
    if (probe >= 0)
        ::close(probe);
    if (queueFull)
        return -1;
    if (!known || holder.uid != ::getuid())
        problem = "the name \"" + full + "\" (an abstract socket, used without a private " +
                  "XDG_RUNTIME_DIR) is held by " +
                  (known ? "user " + userName(holder.uid) + " (process " +
                               std::to_string(holder.pid) + ")"
                         : std::string("a process that does not answer as a copy of this program"));
    return -1;
}

}  // namespace

SingleInstanceLock::~SingleInstanceLock() {
    if (lock_ != kNone)
        ::close(static_cast<int>(lock_));
}

bool SingleInstanceLock::acquire(std::string_view name) {
    if (lock_ != kNone)
        return true;
    static_assert(kMaxLockName + 15 <= sizeof sockaddr_un{}.sun_path - 1);
    problem_.clear();
    if (name.empty() || name.size() > kMaxLockName)
        return false;
    const std::string folder = privateRuntimeFolder();
    const int fd = folder.empty() ? boundSocket(name, problem_) : lockFile(folder, name);
    if (fd < 0)
        return false;
    lock_ = fd;
    return true;
}

}  // namespace os
