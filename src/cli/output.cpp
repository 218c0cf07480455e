#include "cli/output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "cli/cli.h"
#include "download/strings.h"
#include "platform/os/console.h"
#include "platform/os/log.h"
#include "platform/os/session_end.h"

namespace pv::cli {
namespace {

constexpr int kBarWidth = 30;

// Several lines of a message box as one line.
std::string oneLine(std::string_view text) {
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        } else {
            line += c;
        }
    }
    return line;
}

std::string minutesAndSeconds(std::uint64_t ms) {
    const std::uint64_t s = (ms + 999) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
    return text;
}

std::string field(const char* text, std::size_t size) {
    std::size_t length = 0;
    while (length < size && text[length] != '\0')
        ++length;
    return {text, length};
}

std::optional<std::uint16_t> checksumOf(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
}

std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// A progress window on the console: the bar moves with the position, the time left is that of
// the stage's time scale.
class ConsoleProgress final : public download::ProgressWindow {
  public:
    ConsoleProgress(Reporter& reporter, std::string caption, std::uint32_t msPerPercent)
        : reporter_(reporter), caption_(std::move(caption)), msPerPercent_(msPerPercent) {}
    ~ConsoleProgress() override { reporter_.endProgress(); }
    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

    void SetPos(std::int32_t position) override {
        position_ = position;
        show();
    }
    void PumpMessages() override {}
    void SetRange(std::int32_t low, std::int32_t high) override {
        low_ = low;
        high_ = high;
    }
    void SetStep(std::int32_t step) override { step_ = step; }
    void StepIt() override {
        position_ += step_;
        if (position_ > high_)
            position_ = low_ + (position_ - high_);  // the control wraps around
        show();
    }
    void SetMessage(std::string_view text) override {
        if (text == message_)
            return;
        message_ = text;
        reporter_.line(oneLine(text));
        reporter_.event("status", JsonObject().add("text", text));
    }

  private:
    void show() {
        const std::int32_t span = high_ > low_ ? high_ - low_ : 1;
        std::int32_t percent = (position_ - low_) * 100 / span;
        percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
        const auto left = static_cast<std::uint64_t>(100 - percent) * msPerPercent_;
        reporter_.progress(caption_, percent, left);
    }

    Reporter& reporter_;
    std::string caption_;
    std::string message_;
    std::uint32_t msPerPercent_;
    std::int32_t low_ = 0;
    std::int32_t high_ = 100;
    std::int32_t step_ = 10;
    std::int32_t position_ = 0;
};

}  // namespace

void StandardConsole::out(std::string_view text) {
    std::cout << text << std::flush;
    outWritten_ = outWritten_ && static_cast<bool>(std::cout);
}

void StandardConsole::err(std::string_view text) {
    std::cerr << text << std::flush;
}

bool StandardConsole::outIsTerminal() {
    return os::isTerminal(os::StandardStream::Output);
}

bool StandardConsole::inIsTerminal() {
    return os::isTerminal(os::StandardStream::Input);
}

bool StandardConsole::readLine(std::string& line) {
    return static_cast<bool>(std::getline(std::cin, line));
}

RunConsole::~RunConsole() {
    if (!outLine_.empty())
        write("\n", outLine_, false);
    if (!errLine_.empty())
        write("\n", errLine_, true);
}

void RunConsole::write(std::string_view text, std::string& pending, bool toErr) {
    std::string lines;
    for (const char c : text) {
        pending += c;
        if (c == '\n') {
            lines += prefix_ + pending;
            pending.clear();
        }
    }
    if (lines.empty())
        return;
    const std::lock_guard lock(mutex_);
    if (toErr)
        shared_.err(lines);
    else
        shared_.out(lines);
}

JsonObject& JsonObject::add(std::string_view key, download::Json value) {
    if (value.is_string())
        value = download::utf8Text(value.get_ref<const std::string&>());
    value_[download::utf8Text(key)] = std::move(value);
    return *this;
}

JsonObject& JsonObject::addRaw(std::string_view key, std::string_view json) {
    download::Json value = download::parseJson(json);
    if (value.is_discarded())
        throw std::invalid_argument("not JSON: " + std::string(json));
    return add(key, std::move(value));
}

std::string versionsText(const download::PrinterVersions& v) {
    auto one = [](const char* what, const std::string& version,
                  const std::optional<std::uint16_t>& sum) {
        return std::string(what) + " " + version + (sum ? " (" + hex4(*sum) + ")" : "");
    };
    std::string text;
    if (!v.main.empty())
        text = one("main", v.main, v.mainChecksum);
    if (!v.table.empty())
        text += (text.empty() ? "" : ", ") + one("table", v.table, v.tableChecksum);
    return text.empty() ? "none" : text;
}

Reporter::Reporter(Console& console, bool json, Verbosity verbosity, os::Tick start)
    : console_(console),
      json_(json),
      verbosity_(verbosity),
      bars_(!json && verbosity != Verbosity::Quiet && console.outIsTerminal()),
      start_(start) {}

void Reporter::event(std::string_view name, const JsonObject& members) {
    if (!json_)
        return;
    JsonObject line;
    line.add("event", name)
        .add("ms", static_cast<std::int64_t>(os::ticksSince(start_, os::tickCount())));
    if (!printer_.empty())
        line.add("printer", printer_);
    for (const auto& [key, value] : members.value().items())
        line.add(key, value);
    console_.out(line.text() + "\n");
}

void Reporter::clearBar() {
    if (barShown_) {
        console_.out("\r\033[K");
        barShown_ = false;
    }
}

void Reporter::line(std::string_view text, bool evenQuiet) {
    if (json_ || (verbosity_ == Verbosity::Quiet && !evenQuiet))
        return;
    clearBar();
    // Versions, serials and the like come from the printer: none may steer the terminal.
    console_.out(os::printable(text) + "\n");
    if (lastPercent_ >= 0 && bars_)
        progress(barCaption_, lastPercent_, lastLeftMs_);
}

void Reporter::detail(std::string_view text) {
    if (verbosity_ == Verbosity::Verbose)
        line(text);
}

void Reporter::progress(std::string_view caption, int percent, std::uint64_t leftMs) {
    if (caption != barCaption_) {
        barCaption_ = caption;
        lastPercent_ = -1;
    }
    const int previous = lastPercent_;
    lastPercent_ = percent;
    lastLeftMs_ = leftMs;
    // Nothing new, unless a line printed since has taken the bar's place.
    if (percent == previous && !(bars_ && !barShown_))
        return;
    if (json_) {
        event("progress", JsonObject()
                              .add("stage", stage_)
                              .add("caption", caption)
                              .add("percent", static_cast<std::int64_t>(percent))
                              .add("left_ms", static_cast<std::int64_t>(leftMs)));
        return;
    }
    if (verbosity_ == Verbosity::Quiet)
        return;
    if (bars_) {
        const int filled = percent * kBarWidth / 100;
        std::string bar = "\r\033[K" + std::string(caption);
        bar.resize(std::max<std::size_t>(bar.size(), 24), ' ');
        bar += " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
        char figures[64];
        std::snprintf(figures, sizeof figures, "%3d %%  %s left", percent,
                      minutesAndSeconds(leftMs).c_str());
        console_.out(bar + figures);
        barShown_ = true;
        return;
    }
    // Plain lines: the stage's start, then every tenth.
    if (previous < 0 || percent / 10 != previous / 10) {
        char text[128];
        std::snprintf(text, sizeof text, "%s %d %% (%s left)", std::string(caption).c_str(),
                      percent, minutesAndSeconds(leftMs).c_str());
        console_.out(std::string(text) + "\n");
    }
}

void Reporter::endProgress() {
    if (barShown_) {
        console_.out("\n");
        barShown_ = false;
    }
    lastPercent_ = -1;
    barCaption_.clear();
}

void ConsoleWindow::PushTexts() {
    const auto& t = texts_;
    if (t.beforeMainVersion != shown_.beforeMainVersion ||
        t.beforeTableVersion != shown_.beforeTableVersion) {
        if (!t.beforeMainVersion.empty()) {
            reporter_.event(
                "versions",
                JsonObject().add("when", "before").add("versions", versionsJson(before())));
            reporter_.line("Printer runs:   " + versionsText(before()));
        }
    }
    if (t.afterMainVersion != shown_.afterMainVersion ||
        t.afterTableVersion != shown_.afterTableVersion) {
        if (!t.afterMainVersion.empty()) {
            reporter_.event(
                "versions",
                JsonObject().add("when", "after").add("versions", versionsJson(after())));
            reporter_.line("Printer now runs: " + versionsText(after()));
        }
    }
    shown_ = t;
}

void ConsoleWindow::ShowLabels() {
    const std::string main =
        field(selection_.mainLabelPair.version, sizeof selection_.mainLabelPair.version);
    const std::string table =
        field(selection_.tableLabelPair.version, sizeof selection_.tableLabelPair.version);
    if (main.empty() && table.empty())
        return;
    const std::string mainSum =
        field(selection_.mainLabelPair.checksum, sizeof selection_.mainLabelPair.checksum);
    const std::string tableSum =
        field(selection_.tableLabelPair.checksum, sizeof selection_.tableLabelPair.checksum);
    const download::PrinterVersions images{main, table, checksumOf(mainSum), checksumOf(tableSum)};
    reporter_.event("images", JsonObject().add("images", versionsJson(images)));
    reporter_.line("Update sends:   " + versionsText(images));
}

void ConsoleWindow::MessageBox(const std::string& text, const std::string& caption,
                               download::BoxIcon) {
    reporter_.endProgress();
    reporter_.event("message", JsonObject().add("caption", caption).add("text", text));
    // "Success!: Success!\n..." would say it twice.
    reporter_.line(text.starts_with(caption) ? oneLine(text) : caption + ": " + oneLine(text));
}

std::string ConsoleWindow::LoadString(unsigned id) {
    return download::messageText(id);
}

std::unique_ptr<download::ProgressWindow> ConsoleWindow::CreateProgress(unsigned titleId) {
    // The stage's time scale: the initialise and version-check windows count 5 s to 100 %.
    const std::uint32_t msPerPercent =
        titleId == download::kUpgradeCaption ? selection_.msPerPercent : 50;
    return std::make_unique<ConsoleProgress>(reporter_, download::messageText(titleId),
                                             msPerPercent);
}

void ConsoleWindow::StageBegins(std::string_view stage) {
    reporter_.setStage(std::string(stage));
    reporter_.event("stage", JsonObject().add("stage", stage));
    reporter_.detail("Stage: " + std::string(stage));
}

bool ConsoleWindow::StopRequested() {
    return stopRequested();
}

void ConsoleWindow::StopsHeld(bool held) {
    holdStops(held);
}

// No log-off, shutdown or closed console while the printer is without firmware it could start
// from (Windows; see os::holdSessionEnd).
void ConsoleWindow::FirmwareBeingWritten(bool writing, std::uint32_t msLeft) {
    if (writing)
        os::holdSessionEnd(download::writingReason(msLeft));
    else
        os::releaseSessionEnd();
}

download::PrinterVersions ConsoleWindow::before() const {
    return {texts_.beforeMainVersion, texts_.beforeTableVersion,
            checksumOf(texts_.beforeMainChecksum), checksumOf(texts_.beforeTableChecksum)};
}

download::PrinterVersions ConsoleWindow::after() const {
    return {texts_.afterMainVersion, texts_.afterTableVersion, checksumOf(texts_.afterMainChecksum),
            checksumOf(texts_.afterTableChecksum)};
}

}  // namespace pv::cli
