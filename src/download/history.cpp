#include "download/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "platform/os/log.h"

namespace pv::download {
namespace {

constexpr char kFolderName[] = "pv4410s-updater";
constexpr char kFileName[] = "history.jsonl";
constexpr int kFormat = 1;
// The most of the history file that is read: years of daily downloads, far from any memory limit.
constexpr std::size_t kMaxHistoryRead = std::size_t{16} << 20;

// Logs why the record could not be written; the download goes on regardless.
void logFailure(const std::string& path, const char* step, int error) {
    const char* name = strerrorname_np(error);
    os::log("cannot record the download in %s: %s: %s (%s)", path.c_str(), step,
            std::strerror(error), name != nullptr ? name : "?");
}

std::string hex4(std::uint16_t value) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(value));
    return hex;
}

// A text member: null when empty.
Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(utf8Text(text));
}

// The string member `key` of `object`; empty when it is missing or not a string.
std::string textOf(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<std::uint16_t> checksumOf(const Json& object, const char* key) {
    const std::string text = textOf(object, key);
    std::uint16_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

PrinterVersions versionsOf(const Json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end() || !it->is_object())
        return {};
    return {textOf(*it, "main"), textOf(*it, "table"), checksumOf(*it, "main_checksum"),
            checksumOf(*it, "table_checksum")};
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

bool appendLine(const std::string& path, std::string line) {
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!makeFolders(folder)) {
        logFailure(path, "cannot create the folder", errno);
        return false;
    }
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        logFailure(path, "cannot open", errno);
        return false;
    }
    if (endsMidLine(fd))
        line.insert(line.begin(), '\n');
    line += '\n';
    bool ok = true;
    ssize_t written = -1;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) {
        // A short write is what a full disk gives; the reader skips the torn line.
        logFailure(path, "cannot write", written < 0 ? errno : ENOSPC);
        ok = false;
    } else if (::fsync(fd) != 0) {
        logFailure(path, "cannot flush", errno);
        ok = false;
    }
    ::close(fd);
    if (ok && !existed) {
        // A new file is only durable once its folder entry is.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return ok;
}

// The history file's bytes, at most its last kMaxHistoryRead; a missing file has none. False
// (and logged) when it cannot be read: something else than a regular file at the path (a symbolic
// link is not followed, a FIFO or device not read), no permission, a read error.
bool readHistoryFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        os::log("cannot read the history file %s: %s%s", path.c_str(), std::strerror(errno),
                errno == ELOOP ? " (a symbolic link is not followed)" : "");
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        os::log("cannot read the history file %s: not a regular file", path.c_str());
        return false;
    }
    const auto size = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
    const std::size_t from = size > kMaxHistoryRead ? size - kMaxHistoryRead : 0;
    if (from > 0)
        os::log("the history file %s holds %zu bytes; only its last %zu are read", path.c_str(),
                size, kMaxHistoryRead);
    content.resize(size - from);
    std::size_t got = 0;
    while (got < content.size()) {
        const ssize_t n =
            ::pread(fd, content.data() + got, content.size() - got, static_cast<off_t>(from + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            os::log("cannot read the history file %s: %s", path.c_str(), std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;  // shorter than it was a moment ago
        got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    ::close(fd);
    return true;
}

}  // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string utcNow() {
    return utcTimestamp(std::chrono::system_clock::now());
}

std::string historyPath() {
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
    return base + "/" + kFolderName + "/" + kFileName;
}

Json versionsJson(const PrinterVersions& v) {
    return {{"main", textOrNull(v.main)},
            {"main_checksum", v.mainChecksum ? Json(hex4(*v.mainChecksum)) : Json(nullptr)},
            {"table", textOrNull(v.table)},
            {"table_checksum", v.tableChecksum ? Json(hex4(*v.tableChecksum)) : Json(nullptr)}};
}

std::string historyLine(const DownloadRecord& record) {
    Json images = Json::array();
    for (const auto& image : record.imagesSent)
        images.push_back(utf8Text(image));
    return jsonLine({{"format", kFormat},
                     {"start", utf8Text(record.start)},
                     {"end", utf8Text(record.end)},
                     {"printer", utf8Text(record.printer)},
                     {"before", versionsJson(record.before)},
                     {"after", versionsJson(record.after)},
                     {"images_sent", std::move(images)},
                     {"outcome", utf8Text(record.outcome)},
                     {"message", utf8Text(record.message)}});
}

std::optional<DownloadRecord> parseRecord(std::string_view line) {
    const Json json = parseJson(line);
    if (json.is_discarded() || !json.is_object())
        return std::nullopt;
    if (const auto format = json.find("format");
        format != json.end() && (!format->is_number_integer() || format->get<int>() > kFormat))
        return std::nullopt;
    DownloadRecord record;
    record.start = textOf(json, "start");
    record.end = textOf(json, "end");
    record.printer = textOf(json, "printer");
    record.before = versionsOf(json, "before");
    record.after = versionsOf(json, "after");
    if (const auto images = json.find("images_sent"); images != json.end() && images->is_array())
        for (const auto& image : *images)
            if (image.is_string())
                record.imagesSent.push_back(image.get<std::string>());
    record.outcome = textOf(json, "outcome");
    record.message = textOf(json, "message");
    return record;
}

bool appendHistory(const DownloadRecord& record) {
    try {
        const std::string path = historyPath();
        if (path.empty()) {
            os::log("cannot record the download: neither XDG_STATE_HOME nor a home folder is set");
            return false;
        }
        return appendLine(path, historyLine(record));
    } catch (const std::exception& e) {
        os::log("cannot record the download: %s", e.what());
        return false;
    }
}

std::vector<std::string> readHistory(const std::string& path, bool* unreadable) {
    std::vector<std::string> lines;
    std::string content;
    const bool read = readHistoryFile(path, content);
    if (unreadable != nullptr)
        *unreadable = !read;
    std::size_t skipped = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        // A last line without its newline is torn, whatever it holds.
        const bool whole = end != std::string::npos;
        const std::string_view line =
            std::string_view(content).substr(start, whole ? end - start : std::string::npos);
        if (whole && parseRecord(line))
            lines.emplace_back(line);
        else if (!line.empty())
            ++skipped;
        if (!whole)
            break;
        start = end + 1;
    }
    if (skipped > 0)
        os::log("skipped %zu malformed line(s) in %s", skipped, path.c_str());
    return lines;
}

}  // namespace pv::download
