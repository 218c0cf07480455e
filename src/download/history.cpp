#include "download/history.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/os/log.h"
#include "platform/os/state_files.h"

namespace pv::download {
namespace {

constexpr char kFolderName[] = "pv4410s-updater";
constexpr char kFileName[] = "history.jsonl";
constexpr int kFormat = 1;
constexpr int kMaxJsonDepth = 16;

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

}  // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(when);
    const auto day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss time(seconds - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string utcNow() {
    return utcTimestamp(std::chrono::system_clock::now());
}

std::string historyPath() {
    return os::userStateFile(kFolderName, kFileName);
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
        const auto failed = os::appendLine(path, historyLine(record));
        if (failed)
            os::log("cannot record the download in %s: %s: %s", path.c_str(), failed->step.c_str(),
                    failed->reason.c_str());
        return !failed;
    } catch (const std::exception& e) {
        os::log("cannot record the download: %s", e.what());
        return false;
    }
}

std::vector<std::string> readHistory(const std::string& path) {
    std::vector<std::string> lines;
    const std::optional<std::string> file = os::readWholeFile(path);
    if (!file)
        return lines;
    const std::string& content = *file;
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
