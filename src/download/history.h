#pragma once
// The record of every download: one JSON object per line in
// $XDG_STATE_HOME/pv4410s-updater/history.jsonl (~/.local/state/... when the variable is unset
// or not an absolute path). docs/history.md describes the format.
//
// Writing never disturbs a download: every failure (no home, unwritable or read-only folder,
// full disk) is logged through os::log and reported only as false. A line goes out in one
// write() on a descriptor opened with O_APPEND and is fsync'ed, so copies appending at once
// never mix their lines and a crash leaves at most one torn last line, which the reader skips
// (the next append starts on a line of its own).

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/json.h"

namespace pv::download {

// Versions and checksums the printer reported; unset fields were not read.
struct PrinterVersions {
    std::string main;   // version code, e.g. "301F11"; empty: not known
    std::string table;  // empty: not known or the printer has no table area
    std::optional<std::uint16_t> mainChecksum;
    std::optional<std::uint16_t> tableChecksum;
};

struct DownloadRecord {
    std::string start;    // ISO-8601 UTC, e.g. "2024-05-01T09:30:12Z" (see utcTimestamp)
    std::string end;      // likewise
    std::string printer;  // the printer's serial number, or its USB port path ("1-1")
    PrinterVersions before;
    PrinterVersions after;
    std::vector<std::string> imagesSent;  // names of the images streamed, e.g. "main-301F11"
    std::string outcome;                  // a short keyword: "success", "version-mismatch", ...
    std::string message;                  // the text of the final message box
    // The printer as the tool tells it apart: its serial ("" for none) and its port path. Both
    // empty in a record of an earlier version, which names the printer by `printer` only.
    std::string serial;
    std::string port;
};

// `when` as ISO-8601 UTC to the second ("2024-05-01T09:30:12Z").
std::string utcTimestamp(std::chrono::system_clock::time_point when);
std::string utcNow();

// The history file's path; empty when neither XDG_STATE_HOME nor a home folder is known.
std::string historyPath();

// `record` as one JSON object, without the newline. Text that is not valid UTF-8 is read as
// Latin-1 (see utf8Text).
std::string historyLine(const DownloadRecord& record);
// Versions and checksums as the history and the command line's events write them: an object of
// "main", "main_checksum", "table" and "table_checksum", null for what is not known.
Json versionsJson(const PrinterVersions& versions);
// The record a history line holds; nothing when the line is not a JSON object or has a format
// number higher than this build reads. Members it does not know are ignored, missing or null
// ones left empty, so lines of every earlier writer read.
std::optional<DownloadRecord> parseRecord(std::string_view line);

// What the history says a printer last ran (see recordedFirmware).
struct RecordedFirmware {
    std::string version;                    // a main version of a known family; empty: none
    std::optional<DownloadRecord> record;   // the record `version` comes from
    std::optional<DownloadRecord> another;  // set: a record that may be of the same printer names
                                            // another family; `version` is then empty
};

// The newest record of the printer with `serial` ("" for none) at `port` whose main version
// after the download, else before it, is of a family `familyOf` knows (it returns "" for any
// other). A record naming serial and port is the printer's when both are the same. A record of an
// earlier version names only the serial (the port of a printer without one), which printers
// sharing a serial share too: such records count only when no record names the printer by both,
// and only when all of them that name a known family agree on it.
RecordedFirmware recordedFirmware(
    const std::vector<std::string>& lines, const std::string& serial, const std::string& port,
    const std::function<std::string(const std::string& version)>& familyOf);

// Appends `record` to the history file, creating its folder (mode 0700, parents as needed) and
// the file (0600). False when it could not; the reason has been logged.
bool appendHistory(const DownloadRecord& record);

// The well-formed lines of the file at `path` (default: historyPath()), oldest first, without
// their newlines: those parseRecord reads. A torn or malformed line is skipped (and logged); a
// missing file has none. A file that cannot be read (not a regular file, a symbolic link, no
// permission) has none either, sets `*unreadable` and is logged; of a file beyond 16 MiB only the
// last 16 MiB are read.
std::vector<std::string> readHistory(const std::string& path = historyPath(),
                                     bool* unreadable = nullptr);

}  // namespace pv::download
