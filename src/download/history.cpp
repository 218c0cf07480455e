#include "download/history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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
constexpr int kMaxJsonDepth = 16;
// The most of the history file that is read: years of daily downloads, far from any memory limit.
constexpr std::size_t kMaxHistoryRead = std::size_t{16} << 20;

// Logs why the record could not be written; the download goes on regardless.
void logFailure(const std::string& path, const char* step, int error) {
    const char* name = strerrorname_np(error);
    os::log("cannot record the download in %s: %s: %s (%s)", path.c_str(), step,
            std::strerror(error), name != nullptr ? name : "?");
}

// Length of the valid UTF-8 sequence at the start of `s`, 0 when it is not one.
std::size_t utf8Sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (s.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        code = code << 6 | (byte(i) & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= min && code <= 0x10FFFF && !surrogate ? length : 0;
}

void appendVersions(std::string& out, const PrinterVersions& v) {
    const auto text = [&](std::string_view key, const std::string& value, bool comma) {
        out += '"';
        out += key;
        out += "\":";
        out += value.empty() ? std::string("null") : jsonString(value);
        if (comma)
            out += ',';
    };
    const auto checksum = [](const std::optional<std::uint16_t>& sum) {
        if (!sum)
            return std::string();
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(*sum));
        return std::string(hex);
    };
    out += '{';
    text("main", v.main, true);
    text("main_checksum", checksum(v.mainChecksum), true);
    text("table", v.table, true);
    text("table_checksum", checksum(v.tableChecksum), false);
    out += '}';
}

// A strict recursive-descent check of JSON syntax.
class JsonChecker {
  public:
    explicit JsonChecker(std::string_view text) : s_(text) {}

    bool document() {
        blanks();
        if (!value(0))
            return false;
        blanks();
        return i_ == s_.size();
    }

  private:
    // Recursion follows the nesting of the text, which kMaxJsonDepth bounds.
    bool value(int depth) {  // NOLINT(misc-no-recursion)
        if (depth > kMaxJsonDepth || i_ >= s_.size())
            return false;
        switch (s_[i_]) {
            case '{':
                return container(depth, '}', true);
            case '[':
                return container(depth, ']', false);
            case '"':
                return string();
            case 't':
                return word("true");
            case 'f':
                return word("false");
            case 'n':
                return word("null");
            default:
                return number();
        }
    }

    bool container(int depth, char close, bool object) {  // NOLINT(misc-no-recursion)
        ++i_;
        blanks();
        if (peek(close))
            return advance();
        for (;;) {
            if (object) {
                if (!peek('"') || !string())
                    return false;
                blanks();
                if (!peek(':'))
                    return false;
                ++i_;
                blanks();
            }
            if (!value(depth + 1))
                return false;
            blanks();
            if (peek(close))
                return advance();
            if (!peek(','))
                return false;
            ++i_;
            blanks();
        }
    }

    bool string() {
        ++i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"')
                return advance();
            if (c < 0x20)
                return false;
            std::size_t n = 1;
            if (c == '\\')
                n = escape();
            else if (c >= 0x80)
                n = utf8Sequence(s_.substr(i_));
            if (n == 0)
                return false;
            i_ += n;
        }
        return false;
    }

    // Length of the escape sequence at i_ (a backslash and what follows), 0 when invalid.
    std::size_t escape() const {
        if (i_ + 1 >= s_.size())
            return 0;
        const char e = s_[i_ + 1];
        if (e != 'u')
            return e != '\0' && std::strchr("\"\\/bfnrt", e) != nullptr ? 2 : 0;
        if (i_ + 6 > s_.size())
            return 0;
        for (std::size_t k = i_ + 2; k < i_ + 6; ++k)
            if (std::isxdigit(static_cast<unsigned char>(s_[k])) == 0)
                return 0;
        return 6;
    }

    bool number() {
        const std::size_t start = i_;
        if (peek('-'))
            ++i_;
        if (peek('0')) {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (peek('.')) {
            ++i_;
            if (!digits())
                return false;
        }
        if (peek('e') || peek('E')) {
            ++i_;
            if (peek('+') || peek('-'))
                ++i_;
            if (!digits())
                return false;
        }
        return i_ > start;
    }

    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
            ++i_;
        return i_ > start;
    }

    bool word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w)
            return false;
        i_ += w.size();
        return true;
    }

    bool advance() {
        ++i_;
        return true;
    }

    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }

    void blanks() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

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

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else if (c >= 0x80) {
            const std::size_t n = utf8Sequence(text.substr(i));
            if (n > 0) {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

bool isJson(std::string_view text) {
    return JsonChecker(text).document();
}

std::string historyLine(const DownloadRecord& record) {
    std::string out = "{\"format\":" + std::to_string(kFormat);
    out += ",\"start\":" + jsonString(record.start);
    out += ",\"end\":" + jsonString(record.end);
    out += ",\"printer\":" + jsonString(record.printer);
    out += ",\"before\":";
    appendVersions(out, record.before);
    out += ",\"after\":";
    appendVersions(out, record.after);
    out += ",\"images_sent\":[";
    for (std::size_t i = 0; i < record.imagesSent.size(); ++i) {
        if (i > 0)
            out += ',';
        out += jsonString(record.imagesSent[i]);
    }
    out += "],\"outcome\":" + jsonString(record.outcome);
    out += ",\"message\":" + jsonString(record.message);
    out += '}';
    return out;
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
        if (whole && !line.empty() && line.front() == '{' && isJson(line))
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
