#include "platform/os/log.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os/clock.h"
#include "platform/os/state_files.h"
#include "platform/os/stop_requests.h"

namespace os {
namespace {

constexpr char kDefaultProgramName[] = "pv4410s-updater";
constexpr std::size_t kMaxProgramName = 63;

// The program's name lives in a fixed array so that setting it never allocates.
struct ProgramName {
    std::array<char, kMaxProgramName + 1> text{};
    std::size_t size = 0;
    ProgramName() { set(kDefaultProgramName); }
    explicit ProgramName(std::string_view name) { set(name); }
    void set(std::string_view name) {
        size = std::min(name.size(), kMaxProgramName);
        if (size > 0)  // an empty view may have no data at all
            std::memcpy(text.data(), name.data(), size);
        text[size] = '\0';
    }
};

ProgramName& programName() {
    static ProgramName name;
    return name;
}

// The calling thread's subject (LogSubject); empty when none.
thread_local ProgramName threadSubject{""};

std::mutex& writeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::atomic<LogSink*> installedSink{nullptr};

// -1: not decided yet (read the environment on first use), 0: off, 1: on.
std::atomic<int> traceState{-1};

const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();

// Byte `c` as written: itself when printable ASCII, else \xNN. Returns how many bytes of `out`.
std::size_t escapedByte(char c, std::array<char, 4>& out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
        out[0] = c;
        return 1;
    }
    out = {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]};
    return 4;
}

// One line under construction: prefix, message, newline; cut at kMaxLogLine.
class LineBuffer {
  public:
    LineBuffer() {
        const std::string_view name(programName().text.data(), programName().size);
        append(name);
        append(": ");
        if (threadSubject.size > 0) {
            append({threadSubject.text.data(), threadSubject.size});
            append(": ");
        }
    }
    void append(std::string_view text) {
        const std::size_t room = kMaxLogLine - 1 - size_;  // one byte kept for the newline
        const std::size_t n = std::min(room, text.size());
        if (n > 0)  // an empty view may have no data at all
            std::memcpy(data_.data() + size_, text.data(), n);
        size_ += n;
    }
    void appendFormatted(const char* format, std::va_list args) {
        const std::size_t room = kMaxLogLine - size_;  // vsnprintf counts its terminating zero
        const int n = std::vsnprintf(data_.data() + size_, room, format, args);
        if (n > 0)
            size_ += std::min(static_cast<std::size_t>(n), room - 1);
        size_ = std::min(size_, kMaxLogLine - 1);
    }
    // printf-style on purpose: the compiler checks every format against its arguments.
    void appendf(const char* format, ...)  // NOLINT(cert-dcl50-cpp)
        PV_PRINTF_FORMAT(2, 3) {
        std::va_list args;
        va_start(args, format);
        appendFormatted(format, args);
        va_end(args);
    }
    void emit() {
        escape();
        const std::lock_guard lock(writeMutex());
        if (LogSink* sink = installedSink.load()) {
            sink->write(std::string_view(data_.data(), size_));
            return;
        }
        data_[size_] = '\n';
        writeToStandardError(data_.data(), size_ + 1);
    }

  private:
    // Writes every byte outside printable ASCII as \xNN, cutting the line where an escape no
    // longer fits.
    void escape() {
        std::array<char, kMaxLogLine> escaped{};
        std::size_t size = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            std::array<char, 4> bytes{};
            const std::size_t n = escapedByte(data_[i], bytes);
            if (size + n > kMaxLogLine - 1)
                break;
            std::memcpy(escaped.data() + size, bytes.data(), n);
            size += n;
        }
        data_ = escaped;
        size_ = size;
    }

    std::array<char, kMaxLogLine> data_{};
    std::size_t size_ = 0;
};

void appendTimestamp(LineBuffer& line) {
    using namespace std::chrono;
    const auto us = duration_cast<microseconds>(steady_clock::now() - programStart).count();
    line.appendf("[%" PRId64 ".%03" PRId64 " ms", static_cast<std::int64_t>(us / 1000),
                 static_cast<std::int64_t>(us % 1000));
    if (clockInstalled())
        line.appendf(", clock %" PRIu64, clock().nowMs());
    line.append("] ");
}

int traceStateFromEnvironment() {
    const char* value = std::getenv(kTraceVariable);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0 ? 1 : 0;
}

}  // namespace

void setLogProgramName(std::string_view name) {
    const std::lock_guard lock(writeMutex());
    programName().set(name);
}

std::string_view logProgramName() {
    return {programName().text.data(), programName().size};
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        std::array<char, 4> bytes{};
        out.append(bytes.data(), escapedByte(c, bytes));
    }
    return out;
}

void logLine(std::string_view message) {
    LineBuffer line;
    line.append(message);
    line.emit();
}

// printf-style on purpose: the compiler checks every call's format against its arguments.
void log(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    LineBuffer line;
    std::va_list args;
    va_start(args, format);
    line.appendFormatted(format, args);
    va_end(args);
    line.emit();
}

bool traceOn() {
    int state = traceState.load(std::memory_order_relaxed);
    if (state < 0) {
        state = traceStateFromEnvironment();
        int expected = -1;
        if (!traceState.compare_exchange_strong(expected, state))
            state = expected;  // another thread decided first, or setTraceOn() ran
    }
    return state == 1;
}

void setTraceOn(bool on) {
    traceState.store(on ? 1 : 0);
}

void traceFromEnvironment() {
    traceState.store(traceStateFromEnvironment());
}

void trace(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): as log()
    if (!traceOn())
        return;
    LineBuffer line;
    appendTimestamp(line);
    std::va_list args;
    va_start(args, format);
    line.appendFormatted(format, args);
    va_end(args);
    line.emit();
}

void traceLine(std::string_view message) {
    if (!traceOn())
        return;
    LineBuffer line;
    appendTimestamp(line);
    line.append(message);
    line.emit();
}

LogSubject::LogSubject(std::string_view subject) {
    threadSubject.set(subject);
}

LogSubject::~LogSubject() {
    threadSubject.set({});
}

void installLogSink(LogSink* sink) {
    const std::lock_guard lock(writeMutex());
    installedSink.store(sink);
}

namespace {

// The lines of a program without a console, appended to a file.
class FileSink final : public LogSink {
  public:
    void write(std::string_view line) override {
        if (appendLine(path, std::string(line), Flush::No)) {
            // The file failed: the line still goes to standard error.
            const std::string text = std::string(line) + "\n";
            writeToStandardError(text.data(), text.size());
        }
    }
    std::string path;
};

}  // namespace

bool logToFile(const std::string& path) {
    static FileSink sink;
    installLogSink(nullptr);
    sink.path = path;
    if (path.empty() ||
        appendLine(path, std::string(logProgramName()) + ": log started", Flush::No))
        return false;
    installLogSink(&sink);
    return true;
}

void CapturedLog::write(std::string_view line) {
    const std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::string> CapturedLog::lines() const {
    const std::lock_guard lock(mutex_);
    return lines_;
}

bool CapturedLog::contains(std::string_view text) const {
    const std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

}  // namespace os
