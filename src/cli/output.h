#pragma once
// What the command-line program prints: human-readable lines (with a progress bar per stage on a
// terminal, plain lines elsewhere) or, with --json, one JSON object per line for every event.
// The console front end of the download procedure (ConsoleWindow) renders the procedure's
// displays, progress windows and message boxes through it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "download/download_window.h"
#include "download/history.h"
#include "download/json.h"
#include "platform/os/clock.h"

namespace pv::cli {

// Where the program's output goes and what it knows of its terminal; tests supply their own.
class Console {
  public:
    virtual ~Console() = default;
    virtual void out(std::string_view text) = 0;  // standard output
    virtual void err(std::string_view text) = 0;  // standard error
    virtual bool outIsTerminal() = 0;
    virtual bool inIsTerminal() = 0;
    // One line typed in answer to a question (without the newline); false at end of input.
    virtual bool readLine(std::string& line) = 0;
};

// The process's standard streams.
class StandardConsole final : public Console {
  public:
    // False once a write to standard output failed (a full disk, a closed pipe).
    bool outWritten() const { return outWritten_; }
    void out(std::string_view text) override;
    void err(std::string_view text) override;
    bool outIsTerminal() override;
    bool inIsTerminal() override;
    bool readLine(std::string& line) override;

  private:
    bool outWritten_ = true;
};

// One of several runs at once writing to `shared`: whole lines only, each under `mutex` and with
// `prefix` in front, so that lines of different runs never mix. Never a terminal (no bars that
// the other runs' lines would break up), and never asks.
class RunConsole final : public Console {
  public:
    RunConsole(Console& shared, std::mutex& mutex, std::string prefix)
        : shared_(shared), mutex_(mutex), prefix_(std::move(prefix)) {}
    // Writes what is left of an unfinished line.
    ~RunConsole() override;
    RunConsole(const RunConsole&) = delete;
    RunConsole& operator=(const RunConsole&) = delete;

    void out(std::string_view text) override { write(text, outLine_, false); }
    void err(std::string_view text) override { write(text, errLine_, true); }
    bool outIsTerminal() override { return false; }
    bool inIsTerminal() override { return false; }
    bool readLine(std::string&) override { return false; }

  private:
    void write(std::string_view text, std::string& pending, bool toErr);

    Console& shared_;
    std::mutex& mutex_;
    const std::string prefix_;
    std::string outLine_;
    std::string errLine_;
};

// A JSON object built one member at a time, members in the order added.
class JsonObject {
  public:
    // Any JSON value: text, a number, true or false, nullptr for null, a nested value. Text
    // from the printer may hold any bytes (see download::utf8Text).
    JsonObject& add(std::string_view key, download::Json value);
    // `json` is JSON text (a value written elsewhere, such as a history line).
    JsonObject& addRaw(std::string_view key, std::string_view json);
    std::string text() const { return download::jsonLine(value_); }
    const download::Json& value() const { return value_; }

  private:
    download::Json value_ = download::Json::object();
};

// Versions and checksums as a JSON object with null for what is unknown.
using download::versionsJson;
// "main 301B10 (1A2B), table 705A10 (00FF)"; "none" when nothing is known.
std::string versionsText(const download::PrinterVersions& versions);

enum class Verbosity { Quiet, Normal, Verbose };

class Reporter {
  public:
    // `start`: the moment the "ms" of events count from.
    Reporter(Console& console, bool json, Verbosity verbosity, os::Tick start = os::tickCount());

    bool json() const { return json_; }
    Verbosity verbosity() const { return verbosity_; }
    // Progress is drawn as a bar on a terminal.
    bool bars() const { return bars_; }
    Console& console() { return console_; }
    os::Tick start() const { return start_; }
    // The printer later events name ("" before one is known).
    void setPrinter(std::string key) { printer_ = std::move(key); }
    const std::string& printer() const { return printer_; }
    void setStage(std::string stage) { stage_ = std::move(stage); }
    const std::string& stage() const { return stage_; }

    // With --json: prints `event` with "event", "ms" (since the program started) and, when
    // known, "printer" in front of its members. Otherwise nothing.
    void event(std::string_view name, const JsonObject& members = {});
    // Without --json: a line on standard output, unless --quiet (`evenQuiet`: also then).
    void line(std::string_view text, bool evenQuiet = false);
    // Without --json and --quiet: a line of detail, only with --verbose.
    void detail(std::string_view text);

    // A stage's progress: `percent` of its time scale, `leftMs` left on that scale.
    void progress(std::string_view caption, int percent, std::uint64_t leftMs);
    // Ends the stage's progress line.
    void endProgress();

  private:
    void clearBar();

    Console& console_;
    const bool json_;
    const Verbosity verbosity_;
    const bool bars_;  // a redrawn bar on a terminal, else plain lines
    const os::Tick start_;
    std::string printer_;
    std::string stage_;
    std::string barCaption_;
    int lastPercent_ = -1;
    std::uint64_t lastLeftMs_ = 0;
    bool barShown_ = false;
};

// The download procedure's window, rendered on the console.
class ConsoleWindow final : public download::DownloadWindow {
  public:
    explicit ConsoleWindow(Reporter& reporter) : reporter_(reporter) {}

    payload::ImageSelection& selection() override { return selection_; }
    download::DisplayTexts& texts() override { return texts_; }
    void PushTexts() override;
    void ShowLabels() override;
    void EnableButton(int, bool) override {}
    void FocusControl(int) override {}
    void MessageBox(const std::string& text, const std::string& caption,
                    download::BoxIcon icon) override;
    std::string LoadString(unsigned id) override;
    std::unique_ptr<download::ProgressWindow> CreateProgress(unsigned titleId) override;
    void PumpMessages() override {}
    void StageBegins(std::string_view stage) override;
    bool StopRequested() override;
    void StopsHeld(bool held) override;
    void FirmwareBeingWritten(bool writing, std::uint32_t msLeft) override;

    download::PrinterVersions before() const;
    download::PrinterVersions after() const;

  private:
    Reporter& reporter_;
    payload::ImageSelection selection_;
    download::DisplayTexts texts_;
    download::DisplayTexts shown_;  // what the last PushTexts reported
};

}  // namespace pv::cli
