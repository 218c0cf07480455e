#pragma once
// The program's diagnostics: one line per call on standard error, prefixed with the program's
// name ("pv4410s-updater: cannot open ..."), so that a desktop session's journal keeps them for a
// program started from the menu. A trace level, off unless the environment variable PV4410S_TRACE
// is set (to anything but "" or "0"), adds timestamped lines for every command, reply and wait.
//
// Every call formats into a fixed buffer on the stack (a longer line is cut at kMaxLogLine bytes)
// and writes the whole line with one write(), under a lock: lines from several threads never mix
// and logging never allocates. Bytes outside printable ASCII (a line break, an escape sequence a
// printer put in its version or serial) are written as \xNN, so that a line stays one line and
// cannot steer the terminal. Tests install a sink to capture the lines instead.

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// printf-style checking of a format and its arguments; on Windows the formats are those of the
// C++ library's own printf (C99, as on Linux), not the system's. (An attribute: only a macro
// can carry it.)
// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#ifdef __MINGW32__
#define PV_PRINTF_FORMAT(string_index, first_to_check) \
    __attribute__((format(gnu_printf, string_index, first_to_check)))
#else
#define PV_PRINTF_FORMAT(string_index, first_to_check) \
    __attribute__((format(printf, string_index, first_to_check)))
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)

namespace os {

// The environment variable that switches the trace on.
inline constexpr char kTraceVariable[] = "PV4410S_TRACE";
// The tail of every line that names a cause the user can remedy.
inline constexpr char kSeeTroubleshooting[] = "see \"Troubleshooting\" in the README";
// Longest line written, prefix and newline included; longer lines are cut.
inline constexpr std::size_t kMaxLogLine = 1024;

// The prefix of every line (without the ": "); "pv4410s-updater" unless set. Keeps at most 63
// bytes of `name`. Call before other threads log.
void setLogProgramName(std::string_view name);
std::string_view logProgramName();

// `text` with every byte outside printable ASCII written as \xNN (as log lines are), for text
// that a device supplied on its way to a terminal.
std::string printable(std::string_view text);

// Writes "<program>: <message>\n" ("<program>: <subject>: <message>\n" on a thread with a
// subject).
void logLine(std::string_view message);
// printf-style form of logLine.
void log(const char* format, ...) PV_PRINTF_FORMAT(1, 2);

// True when the trace is on: PV4410S_TRACE at the first call, or what setTraceOn() said last.
bool traceOn();
// Switches the trace on or off regardless of the environment (tests, a command-line option).
void setTraceOn(bool on);
// Decides again from PV4410S_TRACE, as at the first call.
void traceFromEnvironment();
// When the trace is on, writes "<program>: [<ms> ms] <message>\n", <ms> being milliseconds since
// the program started on the monotonic clock; while a test has installed a clock (see clock.h)
// the line reads "[<ms> ms, clock <virtual ms>]". Costs one relaxed load when the trace is off.
void trace(const char* format, ...) PV_PRINTF_FORMAT(1, 2);
void traceLine(std::string_view message);

// Names what the calling thread works on (a printer, when several are updated at once) in every
// line it logs, for the guard's lifetime. Keeps at most 63 bytes of `subject`.
class LogSubject {
  public:
    explicit LogSubject(std::string_view subject);
    ~LogSubject();
    LogSubject(const LogSubject&) = delete;
    LogSubject& operator=(const LogSubject&) = delete;
};

// Receives each whole line (without the newline) instead of standard error.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void write(std::string_view line) = 0;
};

// Installs `sink` process-wide (nullptr restores standard error). The caller keeps ownership
// and must uninstall it before destroying it.
void installLogSink(LogSink* sink);

// Sends every later line to the end of the file at `path` (created private, with its folder)
// instead of standard error: the log of a program that has no console, for instance beside the
// history (userStateFile(), state_files.h). Writes a first line saying that the log started;
// false, and the lines stay on standard error, when that fails. An empty path goes back to
// standard error. A line the file refuses later goes to standard error.
bool logToFile(const std::string& path);

// A sink that keeps every line, for tests. Installs itself for its lifetime.
class CapturedLog final : public LogSink {
  public:
    CapturedLog() { installLogSink(this); }
    ~CapturedLog() override { installLogSink(nullptr); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    void write(std::string_view line) override;
    std::vector<std::string> lines() const;
    // True when some line contains `text`.
    bool contains(std::string_view text) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace os
