#include "platform/os/state_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace os {
namespace {

FileError failure(const char* step, int error) {
    const char* name = strerrorname_np(error);
    return {step, std::string(std::strerror(error)) + " (" + (name != nullptr ? name : "?") + ")"};
}

// Creates `folder` and its missing parents with mode 0700; false (errno set) when it fails.
bool makeFolders(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
        return false;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// True when the file ends in the middle of a line (a torn last append).
// (The descriptor is opened for reading too, for this one byte.)
bool endsMidLine(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size == 0)
        return false;
    char last = '\n';
    return ::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

}  // namespace

std::string userStateFile(std::string_view folder, std::string_view file) {
    std::string base;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] != '/')
            return {};
        base = std::string(home) + "/.local/state";
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base + "/" + std::string(folder) + "/" + std::string(file);
}

std::optional<FileError> appendLine(const std::string& path, std::string line, Flush flush) {
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!makeFolders(folder))
        return failure("cannot create the folder", errno);
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return failure("cannot open", errno);
    if (endsMidLine(fd))
        line.insert(line.begin(), '\n');
    line += '\n';
    std::optional<FileError> error;
    ssize_t written = -1;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) {
        // A short write is what a full disk gives; a reader skips the torn line.
        error = failure("cannot write", written < 0 ? errno : ENOSPC);
    } else if (flush == Flush::ToDisk && ::fsync(fd) != 0) {
        error = failure("cannot flush", errno);
    }
    ::close(fd);
    if (!error && !existed && flush == Flush::ToDisk) {
        // A new file is only durable once its folder entry is.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return error;
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t lastBytes,
                                         ReadFailure* failure) {
    ReadFailure ignored;
    ReadFailure& why = failure != nullptr ? *failure : ignored;
    why = {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why.missing = errno == ENOENT;
        why.reason = std::strerror(errno);
        if (errno == ELOOP)
            why.reason += " (a symbolic link is not followed)";
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        why.reason = "not a regular file";
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
    const std::size_t from = size > lastBytes ? size - lastBytes : 0;
    std::string content(size - from, '\0');
    std::size_t got = 0;
    while (got < content.size()) {
        const ssize_t n =
            ::pread(fd, content.data() + got, content.size() - got, static_cast<off_t>(from + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why.reason = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;  // shorter than it was a moment ago
        got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    ::close(fd);
    return content;
}

}  // namespace os
