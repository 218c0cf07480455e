#pragma once
// Files the program keeps for the user (the download history, a log): where they live, a durable
// append and a whole-file read. Paths are UTF-8 on every system.
//
// The state folder is $XDG_STATE_HOME/<name> on Linux (~/.local/state/<name> when the variable is
// unset or not an absolute path) and %LOCALAPPDATA%\<name> on Windows.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace os {

// The path of `file` in the user's state folder `folder`; empty when no such folder is known.
std::string userStateFile(std::string_view folder, std::string_view file);

// Why an append failed: the step that failed ("cannot open") and the system's reason with its
// name ("Permission denied (EACCES)", "Access is denied. (error 5)").
struct FileError {
    std::string step;
    std::string reason;
};

enum class Flush { ToDisk, No };

// Appends `line` and a newline to the file at `path` in one write, creating its folder (private
// to the user, parents as needed) and the file (private) when missing. A link in place of the
// file is not followed. When the file ends in the middle of a line (a torn earlier append) the
// line starts on a new one. With Flush::ToDisk the data (and a new file's folder entry) reach the
// disk before it returns. Copies appending at once never mix their lines.
std::optional<FileError> appendLine(const std::string& path, std::string line,
                                    Flush flush = Flush::ToDisk);

// Why a read gave nothing: `missing` when there simply is no file, else the reason in words.
struct ReadFailure {
    bool missing = false;
    std::string reason;
};

// The content of the file at `path` (of a longer file, its last `lastBytes`); nullopt when it
// does not exist or cannot be read, `*failure` saying which. Only a regular file reached without
// a link is read: a link, a FIFO, a device or a folder at the path is refused, never followed or
// waited on.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t lastBytes = SIZE_MAX,
                                         ReadFailure* failure = nullptr);

}  // namespace os
