#include "cli/cli.h"

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/output.h"
#include "download/history.h"
#include "download/strings.h"
#include "link/printer_link.h"
#include "link/printer_session.h"
#include "link/usb_identity.h"
#include "payload/catalogue.h"
#include "payload/embedded_images.h"
#include "platform/os/log.h"
#include "platform/os/stop_requests.h"
#include "platform/usbport/usbport.h"

#ifndef PV4410S_VERSION
#define PV4410S_VERSION "0"
#endif

namespace pv::cli {
namespace {

constexpr std::uint16_t kVendorId = 0x7A3C;
constexpr std::uint16_t kProductIds[] = {0x0512};
std::atomic<bool> stopFlag{false};
std::atomic<bool> inDownload{false};
std::atomic<bool> inProbe{false};

void onStopRequest(os::StopRequest) {
    if (!inDownload.load()) {
        static constexpr char kBye[] = "\n";
        os::writeToStandardError(kBye, sizeof kBye - 1);
        // A probe holds a printer with its kernel driver detached: it ends at its next step of
        // the wait and lets go of the printer, as a download does.
        if (inProbe.load()) {
            stopFlag.store(true);
            return;
        }
        os::exitNow(kExitInterrupted);
    }
    if (!stopFlag.exchange(true)) {
        static constexpr char kNote[] =
            "\npv4410s-update: interrupted: the current stage ends, then the printer is reset\n";
        os::writeToStandardError(kNote, sizeof kNote - 1);
    }
}

// Marks the stretch in which an interrupt asks the download to stop instead of ending the
// program.
class DownloadUnderWay {
  public:
    DownloadUnderWay() { inDownload.store(true); }
    ~DownloadUnderWay() { inDownload.store(false); }
    DownloadUnderWay(const DownloadUnderWay&) = delete;
    DownloadUnderWay& operator=(const DownloadUnderWay&) = delete;
};

// Marks the stretch in which a probe holds a printer.
class ProbeUnderWay {
  public:
    ProbeUnderWay() { inProbe.store(true); }
    ~ProbeUnderWay() { inProbe.store(false); }
    ProbeUnderWay(const ProbeUnderWay&) = delete;
    ProbeUnderWay& operator=(const ProbeUnderWay&) = delete;
};

// The USB identity of the PV4410S for the length of a run.
class UsbIdentity {
  public:
    UsbIdentity() {
        link::setUsbIdentity(kProductIds, 1, kVendorId);
        // Every link hands these to the port when it opens; listing the printers needs them
        // before any link has opened.
        usbport::SetVenderID(kVendorId);
        usbport::SetProductID(kProductIds, 1);
    }
    ~UsbIdentity() { link::releaseUsbIdentity(); }
    UsbIdentity(const UsbIdentity&) = delete;
    UsbIdentity& operator=(const UsbIdentity&) = delete;
};

const char kUsage[] =
    "Usage: pv4410s-update [OPTIONS] COMMAND [COMMAND OPTIONS]\n"
    "\n"
    "Updates the firmware of PV4410S printers on the USB bus, as the pv4410s-updater window\n"
    "does, without a display.\n"
    "\n"
    "Commands:\n"
    "  list                      every attached PV4410S: port, serial, model check, versions\n"
    "                            and checksums, and what an update would send\n"
    "  check [--device ID]       versions, and whether the built-in firmware applies;\n"
    "                            nothing is erased\n"
    "  update [--device ID | --all] [--yes]\n"
    "                            update one printer (the first, or ID), or --all one after\n"
    "                            the other; asks first unless --yes\n"
    "  history                   the record of updates\n"
    "\n"
    "Options:\n"
    "  --device ID   a printer by its serial number or its USB port path (e.g. 1-4.2)\n"
    "  --all         update: every attached printer\n"
    "  --yes         update: do not ask (required when standard input is not a terminal)\n"
    "  --json        one JSON object per line for every event\n"
    "  --quiet       only the outcome lines\n"
    "  --verbose     also every stage, and a timestamped trace of every command on\n"
    "                standard error\n"
    "  --help        this text\n"
    "  --version     the program's version and firmware\n"
    "\n"
    "Exit status: 0 success, 1 declined or other, 2 usage, 3 not connected, 4 wrong model,\n"
    "5 version not applicable, 6 version information failed, 7 time-out, 8 transfer failed,\n"
    "9 read back or verification failed, 10 printer locked, 11 test firmware refused a real\n"
    "printer, 12 the printer's lock file cannot be used, 130 interrupted. See\n"
    "pv4410s-update(1).\n";

struct Options {
    std::string command;
    std::string device;
    bool all = false;
    bool yes = false;
    bool json = false;
    bool help = false;
    bool version = false;
    Verbosity verbosity = Verbosity::Normal;
};

// A flag without a value; false when `arg` is none.
bool takeFlag(const std::string& arg, Options& o) {
    static const std::pair<const char*, bool Options::*> kFlags[] = {
        {"--json", &Options::json}, {"--help", &Options::help},
        {"-h", &Options::help},     {"--version", &Options::version},
        {"--all", &Options::all},   {"--yes", &Options::yes},
        {"-y", &Options::yes}};
    for (const auto& [name, member] : kFlags) {
        if (arg == name) {
            o.*member = true;
            return true;
        }
    }
    if (arg == "--quiet" || arg == "-q")
        o.verbosity = Verbosity::Quiet;
    else if (arg == "--verbose" || arg == "-v")
        o.verbosity = Verbosity::Verbose;
    else
        return false;
    return true;
}

// What is wrong with a parsed command line, empty when nothing.
std::string mismatch(const Options& o) {
    if (o.help || o.version)
        return {};
    if (o.command.empty())
        return "no command given";
    if (o.command != "list" && o.command != "check" && o.command != "update" &&
        o.command != "history")
        return "unknown command " + o.command;
    if ((o.all || o.yes) && o.command != "update")
        return std::string(o.all ? "--all" : "--yes") + " goes with update only";
    if (!o.device.empty() && o.command != "check" && o.command != "update")
        return "--device goes with check and update only";
    if (o.all && !o.device.empty())
        return "--device and --all exclude each other";
    return {};
}

// An error text, empty when the command line is good.
std::string parse(std::span<char* const> args, Options& o) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string arg = args[i];
        if (takeFlag(arg, o))
            continue;
        if (arg == "--device" || arg.starts_with("--device=")) {
            // "--device --yes" lacks its value; it does not name a printer "--yes".
            if (arg == "--device" && i + 1 < args.size() && args[i + 1][0] != '-')
                o.device = args[++i];
            else if (arg != "--device")
                o.device = arg.substr(std::string_view("--device=").size());
            if (o.device.empty())
                return "--device needs a serial number or a port path";
        } else if (arg.starts_with("-")) {
            return "unknown option " + arg;
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    return mismatch(o);
}

std::string describe(const usbport::DeviceIdentity& printer) {
    return (printer.serial.empty() ? std::string("(no serial)") : printer.serial) + " at " +
           printer.portPath;
}

bool isVirtual(const usbport::DeviceIdentity& printer) {
    return printer.serial.starts_with(download::kVirtualSerialPrefix);
}

// The attached printer named by a port path, or by a serial number no other printer has;
// `status` says why none is found: not attached, or a serial that several printers share.
std::optional<usbport::DeviceIdentity> findPrinter(const std::string& command,
                                                   const std::string& id, int& status) {
    const auto printers = usbport::ListDevices();
    std::vector<usbport::DeviceIdentity> bySerial;
    for (const auto& printer : printers) {
        if (printer.portPath == id)
            return printer;
        if (printer.serial == id)
            bySerial.push_back(printer);
    }
    if (bySerial.size() == 1)
        return bySerial.front();
    if (bySerial.empty()) {
        os::log("%s: no printer 7a3c:0512 with serial number or port path \"%s\"", command.c_str(),
                id.c_str());
        status = kExitNotConnected;
        return std::nullopt;
    }
    std::string ports;
    for (const auto& printer : bySerial)
        ports += (ports.empty() ? "" : ", ") + printer.portPath;
    os::log(
        "%s: the printers at %s all have the serial number \"%s\": name one by its port path "
        "(--device %s)",
        command.c_str(), ports.c_str(), id.c_str(), bySerial.front().portPath.c_str());
    status = kExitUsage;
    return std::nullopt;
}

class Program {
  public:
    Program(const Options& options, Console& console, const BuildSettings& build)
        : options_(options),
          reporter_(console, options.json, options.verbosity),
          standIn_(build.standInImages) {}

    int run();

  private:
    struct Probe {
        download::Outcome outcome = download::Outcome::Success;
        std::string model;  // "PV4410S", "other", or empty when not read
        download::PrinterVersions versions;
        download::PrinterVersions update;  // what an update would send; empty: not applicable
        std::string message;
    };

    int list();
    int check();
    int update();
    int history();
    // Reads the model and the versions of one printer (the read-only version request), holding
    // its lock meanwhile, and what an update would send.
    Probe probe(const usbport::DeviceIdentity& printer);
    JsonObject probeJson(const usbport::DeviceIdentity& printer, const Probe& p) const;
    void showProbe(const usbport::DeviceIdentity& printer, const Probe& p);
    // Asks on the terminal; false when declined or not asked on a terminal.
    bool confirm(const std::vector<std::optional<usbport::DeviceIdentity>>& targets);
    int updateOne(const std::optional<usbport::DeviceIdentity>& target);
    std::optional<usbport::DeviceIdentity> target(int& status);
    // The outcome of a run that found no printer to work on, for `status`.
    int noPrinter(int status);
    // The printers `update` runs on, in order; empty (with `status` set) when none is there.
    std::vector<std::optional<usbport::DeviceIdentity>> updateTargets(int& status);

    const Options& options_;
    Reporter reporter_;
    const bool standIn_;
    const payload::FirmwareCatalogue catalogue_;
};

int Program::run() {
    if (options_.command == "list")
        return list();
    if (options_.command == "check")
        return check();
    if (options_.command == "update")
        return update();
    return history();
}

Program::Probe Program::probe(const usbport::DeviceIdentity& printer) {
    using download::Outcome;
    Probe p;
    const ProbeUnderWay underWay;  // declared before the session: outlives its hold
    link::PrinterSession session;
    const auto bound = session.bind(printer);
    if (bound == link::PrinterSession::Bind::Locked) {
        os::log("check: the printer %s is in use by another copy of the updater (lock file %s)",
                printer.key().c_str(), link::printerLockPath(printer).c_str());
        p.outcome = Outcome::PrinterLocked;
        p.message = download::messageText(download::kNotConnected);
        return p;
    }
    if (bound == link::PrinterSession::Bind::Unusable) {
        p.outcome = Outcome::LockUnusable;
        p.message = "the printer cannot be locked against other copies of the updater: " +
                    session.lockProblem();
        os::logLine("check: " + p.message);
        return p;
    }
    if (stopRequested()) {
        p.outcome = Outcome::Interrupted;
        return p;
    }
    link::PrinterLink link;
    auto cause = [](const char* what) {
        std::string line = std::string("check: ") + what;
        if (std::string why = usbport::TakeFailure(); !why.empty())
            line += ": " + why;
        os::logLine(line);
    };
    if (!link.open()) {
        cause("printer not connected");
        p.outcome = Outcome::NotConnected;
        p.message = download::messageText(download::kNotConnected);
        return p;
    }
    if (!link.checkModel()) {
        cause("the device ID does not name the PV4410S");
        p.outcome = Outcome::WrongModel;
        p.model = "other";
        p.message = download::messageText(download::kIllegalPrinterType);
        return p;
    }
    p.model = "PV4410S";
    download::VersionText main = {};
    download::VersionText table = {};
    std::uint32_t mainSum = 0;
    std::uint32_t tableSum = 0;
    bool replied = false;
    if (link.sendVersionRequest(link::kVersionSelector)) {
        // The printer answers the version request within the same 5 s the download waits.
        const std::string caption = download::messageText(download::kVersionCheckCaption);
        reporter_.setStage("version-check");
        for (int i = 0; i < 50 && !stopRequested(); ++i) {
            os::sleepMs(100);
            if (reporter_.bars())  // a bar on a terminal; no lines or events for the wait
                reporter_.progress(caption, (i + 1) * 2, static_cast<std::uint64_t>(49 - i) * 100);
        }
        reporter_.endProgress();
        replied = !stopRequested() && link.readVersionReply(main, mainSum, table, tableSum);
    }
    link.close();
    if (stopRequested()) {
        p.outcome = Outcome::Interrupted;
        return p;
    }
    if (!replied) {
        cause("no valid version reply");
        p.outcome = Outcome::VersionInfoFailed;
        p.message = download::messageText(download::kFailedVersionInformation);
        return p;
    }
    p.versions = {main, table, static_cast<std::uint16_t>(mainSum),
                  static_cast<std::uint16_t>(tableSum)};
    payload::ImageSelection selection;
    if (!catalogue_.findImages(main, selection)) {
        p.outcome = Outcome::NotApplicable;
        char text[160];
        std::snprintf(text, sizeof text,
                      "This program is not applicable on this printer.\n\nMain firm ware : %s / "
                      "%04X",
                      main, mainSum);
        p.message = text;
        return p;
    }
    catalogue_.fillLabels(selection);
    p.update.main = selection.mainLabelPair.version;
    p.update.table = selection.tableLabelPair.version;
    auto sum = [](const char* label) -> std::optional<std::uint16_t> {
        if (*label == '\0')
            return std::nullopt;
        return static_cast<std::uint16_t>(std::stoul(label, nullptr, 16));
    };
    p.update.mainChecksum = sum(selection.mainLabelPair.checksum);
    p.update.tableChecksum = sum(selection.tableLabelPair.checksum);
    if (selection.tableImageIndex == -1) {
        p.versions.table.clear();  // a printer without a table area: as the window shows it
        p.versions.tableChecksum.reset();
    }
    if (standIn_ && !isVirtual(printer)) {
        p.outcome = Outcome::StandInRefused;
        p.message = "this build carries test firmware only and updates virtual printers only";
    }
    return p;
}

JsonObject Program::probeJson(const usbport::DeviceIdentity& printer, const Probe& p) const {
    JsonObject o;
    o.add("port", printer.portPath)
        .addRaw("serial", printer.serial.empty() ? "null" : download::jsonString(printer.serial))
        .addRaw("model", p.model.empty() ? "null" : download::jsonString(p.model))
        .addRaw("versions", p.versions.main.empty() ? "null" : versionsJson(p.versions))
        .addRaw("update", p.update.main.empty() ? "null" : versionsJson(p.update))
        .add("result", download::outcomeName(p.outcome))
        .add("status", static_cast<std::int64_t>(exitStatus(p.outcome)));
    if (!p.message.empty())
        o.add("message", p.message);
    return o;
}

void Program::showProbe(const usbport::DeviceIdentity& printer, const Probe& p) {
    reporter_.event("printer", probeJson(printer, p));
    reporter_.line("Printer " + describe(printer), true);
    if (!p.model.empty())
        reporter_.line("  model:   " + (p.model == "PV4410S" ? p.model : "not a PV4410S"));
    if (!p.versions.main.empty())
        reporter_.line("  runs:    " + versionsText(p.versions));
    if (!p.update.main.empty())
        reporter_.line("  update:  " + versionsText(p.update) +
                       (p.outcome == download::Outcome::StandInRefused
                            ? " (refused: " + p.message + ")"
                            : ""));
    else if (p.outcome == download::Outcome::NotApplicable)
        reporter_.line("  update:  none (the built-in firmware does not apply)");
    std::string result = std::string("  result:  ") + download::outcomeName(p.outcome);
    if (p.outcome != download::Outcome::Success && p.outcome != download::Outcome::StandInRefused &&
        !p.message.empty()) {
        std::string flat;
        for (const char c : p.message)
            flat += c == '\n' ? ' ' : c;
        result += " - " + flat;
    }
    reporter_.line(result, true);
}

int Program::list() {
    const auto printers = usbport::ListDevices();
    if (printers.empty()) {
        os::logLine("list: no printer 7a3c:0512 on the USB bus");
        reporter_.event("none", JsonObject().add("message", "no PV4410S attached"));
        reporter_.line("No PV4410S attached.", true);
        return kExitNotConnected;
    }
    for (const auto& printer : printers) {
        reporter_.setPrinter(printer.key());
        const Probe p = probe(printer);
        if (stopRequested())
            return kExitInterrupted;
        showProbe(printer, p);
    }
    return kExitSuccess;
}

std::optional<usbport::DeviceIdentity> Program::target(int& status) {
    if (!options_.device.empty())
        return findPrinter(options_.command, options_.device, status);
    const auto printers = usbport::ListDevices();
    if (printers.empty()) {
        os::log("%s: no printer 7a3c:0512 on the USB bus", options_.command.c_str());
        status = kExitNotConnected;
        return std::nullopt;
    }
    return printers.front();
}

int Program::noPrinter(int status) {
    const bool ambiguous = status == kExitUsage;
    const std::string message =
        ambiguous ? "Several printers have this serial number: name one by its port path."
                  : download::messageText(download::kNotConnected);
    reporter_.event("outcome", JsonObject()
                                   .add("outcome", ambiguous ? "ambiguous" : "not-connected")
                                   .add("status", static_cast<std::int64_t>(status))
                                   .add("message", message));
    reporter_.line(message, true);
    return status;
}

int Program::check() {
    int status = kExitSuccess;
    const auto printer = target(status);
    if (!printer) {
        return noPrinter(status);
    }
    reporter_.setPrinter(printer->key());
    const Probe p = probe(*printer);
    if (stopRequested())
        return kExitInterrupted;
    showProbe(*printer, p);
    return exitStatus(p.outcome);
}

bool Program::confirm(const std::vector<std::optional<usbport::DeviceIdentity>>& targets) {
    Console& console = reporter_.console();
    if (!console.inIsTerminal()) {
        console.err(
            "pv4410s-update: not updating without --yes: standard input is not a terminal\n");
        return false;
    }
    std::string names;
    for (const auto& t : targets)
        names +=
            (names.empty() ? "" : ", ") + (t ? describe(*t) : std::string("the first PV4410S"));
    console.err("Update the firmware of " + os::printable(names) +
                "?\nDo not power off a printer during its download. [y/N] ");
    std::string answer;
    if (!console.readLine(answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

int Program::updateOne(const std::optional<usbport::DeviceIdentity>& target) {
    reporter_.setPrinter(target ? target->key() : "");
    JsonObject start;
    if (target)
        start.add("port", target->portPath).add("serial", target->serial);
    reporter_.event("start", start);
    if (target)
        reporter_.line("Updating printer " + describe(*target));
    // The run reaches only the printer named: from its first open on, as the windows' run does
    // from the model check on.
    usbport::SelectDevice(target ? &*target : nullptr);
    ConsoleWindow window(reporter_);
    download::DownloadProcedure procedure(window, catalogue_, standIn_);
    download::Outcome outcome = download::Outcome::NotConnected;
    {
        const DownloadUnderWay underWay;
        outcome = procedure.runDownload();
    }
    usbport::SelectDevice(nullptr);
    if (outcome == download::Outcome::Interrupted)
        os::logLine(
            "update: interrupted: the stage under way ended early; the printer was reset "
            "(unless it was still being initialised)");
    const auto& report = procedure.report();
    if (!report.printer.key().empty())
        reporter_.setPrinter(report.printer.key());
    const int status = exitStatus(outcome);
    reporter_.event("outcome", JsonObject()
                                   .add("outcome", download::outcomeName(outcome))
                                   .add("status", static_cast<std::int64_t>(status))
                                   .add("message", report.message)
                                   .addRaw("before", versionsJson(window.before()))
                                   .addRaw("after", versionsJson(window.after()))
                                   .add("main_sent", report.mainSent)
                                   .add("table_sent", report.tableSent));
    const std::string who = !report.printer.key().empty() ? describe(report.printer)
                            : target                      ? describe(*target)
                                                          : std::string("printer");
    reporter_.line(who + ": " + download::outcomeName(outcome) + " (exit status " +
                       std::to_string(status) + ")",
                   true);
    return status;
}

std::vector<std::optional<usbport::DeviceIdentity>> Program::updateTargets(int& status) {
    std::vector<std::optional<usbport::DeviceIdentity>> targets;
    if (options_.all) {
        for (auto& printer : usbport::ListDevices())
            targets.emplace_back(std::move(printer));
        if (targets.empty()) {
            os::logLine("update: no printer 7a3c:0512 on the USB bus");
            status = kExitNotConnected;
        }
    } else if (!options_.device.empty()) {
        auto printer = target(status);
        if (printer)
            targets.emplace_back(std::move(printer));
    } else {
        // The first printer, as the windows take it; named from the start, so that every event
        // says which printer it is about. With none attached the run reports it as the windows
        // do.
        const auto printers = usbport::ListDevices();
        if (printers.empty())
            targets.emplace_back(std::nullopt);
        else
            targets.emplace_back(printers.front());
    }
    return targets;
}

int Program::update() {
    int status = kExitSuccess;
    const auto targets = updateTargets(status);
    if (targets.empty()) {
        return noPrinter(status);
    }
    if (!options_.yes && !confirm(targets)) {
        if (!reporter_.console().inIsTerminal())
            return kExitUsage;
        reporter_.line("Nothing was updated.", true);
        return kExitOther;
    }

    int first = kExitSuccess;
    int updated = 0;
    int failed = 0;
    for (const auto& t : targets) {
        if (stopRequested())
            break;  // an interrupt ends the series: no further printer starts
        const int s = updateOne(t);
        (s == kExitSuccess ? updated : failed)++;
        if (first == kExitSuccess)
            first = s;
    }
    if (stopRequested())
        first = kExitInterrupted;
    if (targets.size() > 1) {
        reporter_.setPrinter("");
        reporter_.event("summary", JsonObject()
                                       .add("printers", static_cast<std::int64_t>(targets.size()))
                                       .add("updated", static_cast<std::int64_t>(updated))
                                       .add("failed", static_cast<std::int64_t>(failed))
                                       .add("status", static_cast<std::int64_t>(first)));
        reporter_.line(
            std::to_string(updated) + " of " + std::to_string(targets.size()) + " printers updated",
            true);
    }
    return first;
}

// A string member of a history line's object `outer` (or of the line itself when empty).
std::string member(const std::string& line, const std::string& outer, const std::string& key) {
    std::size_t from = 0;
    if (!outer.empty()) {
        from = line.find("\"" + outer + "\":{");
        if (from == std::string::npos)
            return {};
    }
    const std::string pattern = "\"" + key + "\":\"";
    const std::size_t at = line.find(pattern, from);
    const std::size_t end = outer.empty() ? std::string::npos : line.find('}', from);
    if (at == std::string::npos || (end != std::string::npos && at > end))
        return {};
    std::string value;
    for (std::size_t i = at + pattern.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            value += line[i] == 'n' ? ' ' : line[i];
        } else {
            value += line[i];
        }
    }
    return value;
}

int Program::history() {
    const std::string path = download::historyPath();
    if (path.empty()) {
        os::logLine("history: no history file: neither XDG_STATE_HOME nor a home folder is known");
        return kExitOther;
    }
    bool unreadable = false;
    const auto lines = download::readHistory(path, &unreadable);
    if (unreadable)
        return kExitOther;  // the log says why
    for (const auto& line : lines) {
        reporter_.event("record", JsonObject().addRaw("record", line));
        const std::string before = member(line, "before", "main");
        const std::string after = member(line, "after", "main");
        reporter_.line(member(line, "", "start") + "  " + member(line, "", "printer") + "  " +
                       (before.empty() ? "-" : before) + " -> " + (after.empty() ? "-" : after) +
                       "  " + member(line, "", "outcome"));
    }
    if (lines.empty())
        reporter_.line("No updates recorded in " + path + ".");
    return kExitSuccess;
}

}  // namespace

int exitStatus(download::Outcome outcome) {
    using download::Outcome;
    switch (outcome) {
        case Outcome::Success:
            return kExitSuccess;
        case Outcome::NotConnected:
            return kExitNotConnected;
        case Outcome::PrinterLocked:
            return kExitLocked;
        case Outcome::LockUnusable:
            return kExitLockUnusable;
        case Outcome::WrongModel:
            return kExitWrongModel;
        case Outcome::StandInRefused:
            return kExitStandIn;
        case Outcome::NotApplicable:
            return kExitNotApplicable;
        case Outcome::VersionInfoFailed:
            return kExitVersionInfo;
        case Outcome::AssemblyFailed:
            return kExitOther;
        case Outcome::TimeOut:
            return kExitTimeOut;
        case Outcome::TransferFailed:
            return kExitTransfer;
        case Outcome::ReadBackFailed:
        case Outcome::VerifyFailed:
            return kExitReadBack;
        case Outcome::Interrupted:
            return kExitInterrupted;
    }
    return kExitOther;
}

bool stopRequested() {
    return stopFlag.load();
}

void requestStop() {
    stopFlag.store(true);
}

int run(std::span<char* const> args, Console& console, const BuildSettings& build) {
    Options options;
    if (const std::string error = parse(args, options); !error.empty()) {
        console.err("pv4410s-update: " + error + "\n\n" + kUsage);
        return kExitUsage;
    }
    if (options.help) {
        console.out(kUsage);
        return kExitSuccess;
    }
    if (options.version) {
        std::string text = "pv4410s-update " PV4410S_VERSION "\n";
        if (build.standInImages)
            text +=
                "Demonstration build: it carries generated test firmware and updates virtual "
                "printers only.\n";
        console.out(text);
        return kExitSuccess;
    }
    if (options.verbosity == Verbosity::Verbose)
        os::setTraceOn(true);
    stopFlag.store(false);
    const os::StopRequestHandlers handlers(onStopRequest);
    const UsbIdentity identity;
    Program program(options, console, build);
    return program.run();
}

}  // namespace pv::cli
