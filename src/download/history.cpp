#include "download/history.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
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
// The most of the history file that is read: years of daily downloads, far from any memory limit.
constexpr std::size_t kMaxHistoryRead = std::size_t{16} << 20;

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
                     {"serial", textOrNull(record.serial)},
                     {"port", textOrNull(record.port)},
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
    record.serial = textOf(json, "serial");
    record.port = textOf(json, "port");
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

namespace {

// Whether `record` is of the printer with `serial` at `port`: by both for records that name the
// port, by the serial (or, without one, the port) for records of earlier versions.
bool ofPrinter(const DownloadRecord& record, const std::string& serial, const std::string& port) {
    if (!record.port.empty())
        return record.serial == serial && record.port == port;
    return record.printer == (serial.empty() ? port : serial);
}

// Takes the first main version of a known family in `record` (after, then before) into `found`;
// a later record of another family is kept as the one that makes `found` ambiguous.
void takeVersion(RecordedFirmware& found, std::optional<DownloadRecord>& record,
                 const std::function<std::string(const std::string&)>& familyOf) {
    for (const std::string& version : {record->after.main, record->before.main}) {
        const std::string family = familyOf(version);
        if (family.empty())
            continue;
        if (found.version.empty())
            found = {version, std::move(record), std::nullopt};
        else if (!found.another && family != familyOf(found.version))
            found.another = std::move(record);
        return;
    }
}

}  // namespace

RecordedFirmware recordedFirmware(const std::vector<std::string>& lines, const std::string& serial,
                                  const std::string& port,
                                  const std::function<std::string(const std::string&)>& familyOf) {
    RecordedFirmware byBoth;
    RecordedFirmware byName;  // from records of earlier versions
    for (std::size_t i = lines.size(); i-- > 0 && byBoth.version.empty();) {  // newest first
        auto record = parseRecord(lines[i]);
        if (record && ofPrinter(*record, serial, port))
            takeVersion(record->port.empty() ? byName : byBoth, record, familyOf);
    }
    if (!byBoth.version.empty())
        return byBoth;
    if (byName.another)
        byName.version.clear();
    return byName;
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

namespace {

// A record nests two levels (the record, its versions); a line nested far deeper is no record of
// ours, and writing it out again would recurse as deep.
constexpr int kMaxRecordDepth = 8;

// Whether the JSON text `line` nests arrays and objects deeper than kMaxRecordDepth.
bool nestedTooDeep(std::string_view line) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxRecordDepth)
                return true;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> readHistory(const std::string& path, bool* unreadable) {
    std::vector<std::string> lines;
    os::ReadFailure failure;
    const std::optional<std::string> file = os::readWholeFile(path, kMaxHistoryRead, &failure);
    if (unreadable != nullptr)
        *unreadable = !file && !failure.missing;
    if (!file) {
        if (!failure.missing)
            os::log("cannot read the history file %s: %s", path.c_str(), failure.reason.c_str());
        return lines;
    }
    const std::string& content = *file;
    std::size_t skipped = 0;
    std::size_t deep = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find('\n', start);
        // A last line without its newline is torn, whatever it holds.
        const bool whole = end != std::string::npos;
        const std::string_view line =
            std::string_view(content).substr(start, whole ? end - start : std::string::npos);
        if (whole && nestedTooDeep(line))
            ++deep;
        else if (whole && parseRecord(line))
            lines.emplace_back(line);
        else if (!line.empty())
            ++skipped;
        if (!whole)
            break;
        start = end + 1;
    }
    if (skipped > 0)
        os::log("skipped %zu malformed line(s) in %s", skipped, path.c_str());
    if (deep > 0)
        os::log("skipped %zu line(s) nested deeper than %d levels in %s", deep, kMaxRecordDepth,
                path.c_str());
    return lines;
}

}  // namespace pv::download
