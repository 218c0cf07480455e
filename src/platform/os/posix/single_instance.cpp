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
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

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

// The process listening on the abstract socket `name` and its user, found by the socket's inode
// (in /proc/net/unix) among the open files of the processes this user may look into; false when
// none is seen.
bool listenerOf(const std::string& name, pid_t& pid, uid_t& uid) {
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::string inode;
    std::getline(table, line);  // the heading
    while (inode.empty() && std::getline(table, line)) {
        // "Num RefCount Protocol Flags Type St Inode Path": the path is the rest of the line.
        std::istringstream fields(line);
        std::string skip;
        std::string flags;
        std::string node;
        fields >> skip >> skip >> skip >> flags >> skip >> skip >> node;
        std::string path;
        std::getline(fields >> std::ws, path);
        constexpr char kListening[] = "00010000";
        if (flags == kListening && path == "@" + name)
            inode = node;
    }
    if (inode.empty())
        return false;
    const std::string target = "socket:[" + inode + "]";
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::directory_iterator p("/proc", error), end; !error && p != end; p.increment(error)) {
        const std::string number = p->path().filename();
        if (number.empty() || std::isdigit(static_cast<unsigned char>(number[0])) == 0)
            continue;
        std::error_code inner;
        for (fs::directory_iterator fd(p->path() / "fd", inner), last; !inner && fd != last;
             fd.increment(inner)) {
            std::error_code unread;
            if (fs::read_symlink(fd->path(), unread).string() != target)
                continue;
            struct stat owner {};
            if (::stat(p->path().c_str(), &owner) != 0)
                return false;
            pid = static_cast<pid_t>(std::stol(number));
            uid = owner.st_uid;
            return true;
        }
    }
    return false;
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
    bool known =
        connected == 0 && ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0;
    if (probe >= 0)
        ::close(probe);
    // A full queue cannot answer: the process that listens is looked up instead.
    if (queueFull)
        known = listenerOf(full, holder.pid, holder.uid);
    if (queueFull && known && holder.uid == ::getuid())
        return -1;  // a copy of this user's, asked by several later ones already
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
