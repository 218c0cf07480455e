#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/output.h"
#include "download/history.h"
#include "download/sleep_inhibitor.h"
#include "download/strings.h"
#include "link/printer_link.h"
#include "link/printer_session.h"
#include "link/running_versions.h"
#include "link/usb_identity.h"
#include "payload/catalogue.h"
#include "payload/embedded_images.h"
#include "platform/os/file_lock.h"
#include "platform/os/log.h"
#include "platform/os/session_end.h"
#include "platform/os/stop_requests.h"
#include "platform/usbport/capture.h"
#include "platform/usbport/usbport.h"

#ifndef PV4410S_VERSION
#define PV4410S_VERSION "0"
#endif

namespace pv::cli {
namespace {

constexpr std::uint16_t kVendorId = 0x7A3C;
constexpr std::uint16_t kProductIds[] = {0x0512};
constexpr char kBusyText[] =
    "The printer is busy: another program holds it or it is printing. Nothing was sent to it; "
    "try again once it is idle.";
std::atomic<bool> stopFlag{false};
std::atomic<int> downloadsUnderWay{0};
// An image is being streamed in some run: a stop waits for it to end.
std::atomic<bool> stopsHeld{false};
// A probe (check, list) holds a printer meanwhile.
std::atomic<bool> inProbe{false};

void onStopRequest(os::StopRequest request) {
    if (downloadsUnderWay.load() == 0) {
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
    // A dropped terminal or ssh session: the download goes on to its end.
    if (request == os::StopRequest::HangUp)
        return;
    if (stopFlag.exchange(true))
        return;
    static constexpr char kHeld[] =
        "\npv4410s-update: interrupted: finishing the images in progress (at most about 2 "
        "minutes: 15 s + 35 s for the main firmware, 30 s + 60 s for the table data); the printer "
        "must not be cut off mid-image\n";
    static constexpr char kNote[] =
        "\npv4410s-update: interrupted: the current stage ends, then the printer is reset\n";
    if (stopsHeld.load())
        os::writeToStandardError(kHeld, sizeof kHeld - 1);
    else
        os::writeToStandardError(kNote, sizeof kNote - 1);
}

// Marks the stretch in which an interrupt asks the downloads to stop instead of ending the
// program; several may be under way at once (--jobs).
class DownloadUnderWay {
  public:
    DownloadUnderWay() { ++downloadsUnderWay; }
    ~DownloadUnderWay() { --downloadsUnderWay; }
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
    "  update [--device ID | --all [--jobs N]] [--yes] [--reinstall]\n"
    "                            update one printer (the first, or ID), or --all; a printer\n"
    "                            that already runs the built-in firmware is left alone (up to\n"
    "                            date); asks first unless --yes\n"
    "  update --recover [--family F] [--device ID] [--yes]\n"
    "                            restore the firmware of a printer that reports none (\"------\")\n"
    "                            from the history, or of family F (301, 402, 503, 604)\n"
    "  history                   the record of updates\n"
    "\n"
    "Options:\n"
    "  --device ID   a printer by its serial number or its USB port path (e.g. 1-4.2)\n"
    "  --all         update: every attached printer\n"
    "  --jobs N      update --all: up to N printers at once (default 1: one after the other)\n"
    "  --reinstall   update: send the firmware even to a printer that already runs it\n"
    "  --yes         update: do not ask (required when standard input is not a terminal)\n"
    "  --recover     update: restore a printer left without firmware\n"
    "  --family F    update --recover: the printer's firmware family, when not in the history\n"
    "  --json        one JSON object per line for every event\n"
    "  --capture FILE\n"
    "                write the whole USB conversation to FILE (pcap, link type usbmon,\n"
    "                for Wireshark); it holds the firmware images an update sends: large\n"
    "  --quiet       only the outcome lines\n"
    "  --verbose     also every stage, and a timestamped trace of every command on\n"
    "                standard error\n"
    "  --help        this text\n"
    "  --version     the program's version and firmware\n"
    "\n"
    "Exit status: 0 success or up to date, 1 declined or other, 2 usage, 3 not connected, 4 wrong "
    "model,\n"
    "5 version not applicable, 6 version information failed, 7 time-out, 8 transfer failed,\n"
    "9 read back or verification failed, 10 printer locked, 11 test firmware refused a real\n"
    "printer, 12 the printer's lock file cannot be used, 13 the printer is busy, 130\n"
    "interrupted. See ";

std::string usage() {
    return kUsage + std::string(download::kCommandLineManual) + ".\n";
}

struct Options {
    std::string command;
    std::string device;
    std::string family;
    std::string capture;  // --capture FILE
    bool all = false;
    bool yes = false;
    bool recover = false;
    bool reinstall = false;
    int jobs = 0;  // 0: not given (one at a time)
    bool json = false;
    bool help = false;
    bool version = false;
    Verbosity verbosity = Verbosity::Normal;
};

// A flag without a value; false when `arg` is none.
bool takeFlag(const std::string& arg, Options& o) {
    static const std::pair<const char*, bool Options::*> kFlags[] = {
        {"--json", &Options::json},
        {"--help", &Options::help},
        {"-h", &Options::help},
        {"--version", &Options::version},
        {"--all", &Options::all},
        {"--yes", &Options::yes},
        {"-y", &Options::yes},
        {"--recover", &Options::recover},
        {"--reinstall", &Options::reinstall}};
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
    for (const auto& [given, name] : {std::pair{o.all, "--all"},
                                      {o.yes, "--yes"},
                                      {o.recover, "--recover"},
                                      {o.reinstall, "--reinstall"}})
        if (given && o.command != "update")
            return std::string(name) + " goes with update only";
    payload::ImageSelection family;
    if (!o.family.empty() &&
        (!o.recover || !payload::FirmwareCatalogue().findFamily(o.family.c_str(), family)))
        return "--family goes with --recover and names 301, 402, 503 or 604";
    if (o.recover && o.all)
        return "--recover and --all exclude each other";
    if (o.jobs != 0 && !o.all)
        return "--jobs goes with update --all only";
    if (!o.device.empty() && o.command != "check" && o.command != "update")
        return "--device goes with check and update only";
    if (o.all && !o.device.empty())
        return "--device and --all exclude each other";
    return {};
}

// The value of the option `name` at args[i], given as "NAME VALUE" or "NAME=VALUE" (i then moves
// past it; a missing value is empty); nullopt when args[i] is not that option.
std::optional<std::string> optionValue(std::span<char* const> args, std::size_t& i,
                                       const std::string& name) {
    const std::string arg = args[i];
    // "--device --yes" lacks its value: the next option is not taken for it.
    if (arg == name)
        return i + 1 < args.size() && args[i + 1][0] != '-' ? std::string(args[++i])
                                                            : std::string();
    if (arg.starts_with(name + "="))
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

// A whole number from 1 to 999; 0 when `text` is none.
int count(const std::string& text) {
    const bool digits =
        !text.empty() && text.size() <= 3 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? std::stoi(text) : 0;
}

// An error text, empty when the command line is good.
std::string parse(std::span<char* const> args, Options& o) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string arg = args[i];
        if (takeFlag(arg, o))
            continue;
        if (auto device = optionValue(args, i, "--device")) {
            o.device = *device;
            if (o.device.empty())
                return "--device needs a serial number or a port path";
        } else if (auto family = optionValue(args, i, "--family")) {
            o.family = *family;
            if (o.family.empty())
                return "--family needs a value";
        } else if (auto capture = optionValue(args, i, "--capture")) {
            o.capture = *capture;
            if (o.capture.empty())
                return "--capture needs a file name";
        } else if (auto jobs = optionValue(args, i, "--jobs")) {
            o.jobs = count(*jobs);
            if (o.jobs < 1)
                return "--jobs needs a number of printers from 1 to 999";
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

// A history record as the recovery names it: when, which printer, and its main versions.
std::string recordText(const download::DownloadRecord& r) {
    return "(" + r.start + ", " + (r.port.empty() ? r.printer : describe({r.serial, r.port})) +
           ", main " + (r.before.main.empty() ? "-" : r.before.main) + " -> " +
           (r.after.main.empty() ? "-" : r.after.main) + ")";
}

// Text, or null when there is none.
download::Json orNull(const std::string& text) {
    return text.empty() ? download::Json() : download::Json(text);
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

// What updateOne gives back besides the exit statuses: a printer left alone as up to date, and
// (updateAtOnce) one that an interrupt kept from starting.
constexpr int kUpToDate = -1;
constexpr int kNotRun = -2;

// Installs a sleep inhibitor for the downloads of its lifetime.
class InstalledSleepInhibitor {
  public:
    explicit InstalledSleepInhibitor(download::SleepInhibitor& inhibitor) {
        download::installSleepInhibitor(&inhibitor);
    }
    ~InstalledSleepInhibitor() { download::installSleepInhibitor(nullptr); }
    InstalledSleepInhibitor(const InstalledSleepInhibitor&) = delete;
    InstalledSleepInhibitor& operator=(const InstalledSleepInhibitor&) = delete;
};

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
        bool upToDate = false;             // the printer already runs what an update sends
        std::string message;
    };

    int list();
    int check();
    int update();
    int history();
    // Reads the model and the versions of one printer (the read-only version request), holding
    // its lock meanwhile, and what an update would send.
    Probe probe(const usbport::DeviceIdentity& printer);
    // "update-available", "up-to-date" or what failed.
    static const char* probeResult(const Probe& p);
    JsonObject probeJson(const usbport::DeviceIdentity& printer, const Probe& p) const;
    void showProbe(const usbport::DeviceIdentity& printer, const Probe& p);
    // True (having said why) when the run has no --yes and cannot ask: no terminal.
    bool cannotAsk();
    // Asks `question` on the terminal; false when declined.
    bool confirm(const std::string& question);
    // One printer's run, its output through `reporter`. `recoverFamily`: the family whose images
    // a printer without valid firmware receives.
    int updateOne(const std::optional<usbport::DeviceIdentity>& target, Reporter& reporter,
                  const std::string& recoverFamily = {});
    // Updates the printers `targets` names, up to `jobs` at once, each in a thread of its own
    // with its own USB port, lock, waits and output lines; their statuses in the same order.
    std::vector<int> updateAtOnce(
        const std::vector<std::optional<usbport::DeviceIdentity>>& targets, std::size_t jobs);
    // The summary of several printers' runs, and the exit status of them all.
    int summarise(const std::vector<int>& statuses, std::size_t printers);
    // update --recover: restores the firmware of a printer that reports none.
    int recover();
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
    if (options_.command == "update") {
        // Each download holds the system's sleep lock while it runs, as in the window.
        download::SystemSleepInhibitor noSleep;
        const InstalledSleepInhibitor installed(noSleep);
        return options_.recover ? recover() : update();
    }
    return history();
}

Program::Probe Program::probe(const usbport::DeviceIdentity& printer) {
    using download::Outcome;
    Probe p;
    const ProbeUnderWay underWay;  // declared before the session: outlives its hold
    link::PrinterSession session;
    const auto bound = session.bind(printer);
    if (bound == link::PrinterSession::Bind::Locked) {
        os::log("check: the printer %s is in use by another copy of the updater (%s)",
                printer.key().c_str(),
                os::FileLock::describe(link::printerLockPath(printer)).c_str());
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
        if (usbport::Busy()) {
            cause("the printer is busy");
            p.outcome = Outcome::PrinterBusy;
            p.message = kBusyText;
            return p;
        }
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
    // The printer runs its firmware: it is asked in read-back mode, which leaves it as it was.
    reporter_.setStage("version-check");
    link::RunningVersions reported;
    const bool replied = link::readRunningVersions(link, reported);
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
    const char* main = reported.main;
    const char* table = reported.table;
    const std::uint32_t mainSum = reported.mainChecksum;
    p.versions = {main, table, static_cast<std::uint16_t>(mainSum),
                  static_cast<std::uint16_t>(reported.tableChecksum)};
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
    p.upToDate = download::runsSelection(main, table, selection);
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
        .add("serial", orNull(printer.serial))
        .add("model", orNull(p.model))
        .add("versions", p.versions.main.empty() ? download::Json() : versionsJson(p.versions))
        .add("update", p.update.main.empty() ? download::Json() : versionsJson(p.update))
        .add("result", probeResult(p))
        .add("status", static_cast<std::int64_t>(exitStatus(p.outcome)));
    if (!p.message.empty())
        o.add("message", p.message);
    return o;
}

const char* Program::probeResult(const Probe& p) {
    if (p.outcome != download::Outcome::Success)
        return download::outcomeName(p.outcome);
    return p.upToDate ? "up-to-date" : "update-available";
}

void Program::showProbe(const usbport::DeviceIdentity& printer, const Probe& p) {
    using download::Outcome;
    reporter_.event("printer", probeJson(printer, p));
    reporter_.line("Printer " + describe(printer), true);
    if (!p.model.empty())
        reporter_.line("  model:   " + (p.model == "PV4410S" ? p.model : "not a PV4410S"));
    if (!p.versions.main.empty())
        reporter_.line("  runs:    " + versionsText(p.versions));
    if (p.outcome == Outcome::StandInRefused) {
        reporter_.line("  update:  " + versionsText(p.update) + " (refused: " + p.message + ")");
    } else if (p.outcome == Outcome::NotApplicable) {
        reporter_.line(payload::reportsNoFirmware(p.versions.main.c_str())
                           ? "  update:  none; no valid firmware: restore it with update --recover"
                           : "  update:  none (the built-in firmware does not apply)");
    } else if (p.outcome == Outcome::Success && p.upToDate) {
        reporter_.line("  up to date", true);
    } else if (p.outcome == Outcome::Success) {
        // "main 301B10 -> 301F11, table 705A10 -> 705B11"
        std::string change = "main " + p.versions.main + " -> " + p.update.main;
        if (!p.update.table.empty())
            change += ", table " + (p.versions.table.empty() ? "-" : p.versions.table) + " -> " +
                      p.update.table;
        reporter_.line("  update available: " + change, true);
    }
    if (p.outcome == Outcome::Success)
        return;
    std::string result = std::string("  result:  ") + download::outcomeName(p.outcome);
    if (p.outcome != Outcome::StandInRefused && !p.message.empty()) {
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
    if (!printer)
        return noPrinter(status);
    reporter_.setPrinter(printer->key());
    const Probe p = probe(*printer);
    if (stopRequested())
        return kExitInterrupted;
    if (payload::reportsNoFirmware(p.versions.main.c_str()))
        os::logLine("check: " + download::noFirmwareAdvice());
    showProbe(*printer, p);
    return exitStatus(p.outcome);
}

bool Program::cannotAsk() {
    if (options_.yes || reporter_.console().inIsTerminal())
        return false;
    reporter_.console().err(
        "pv4410s-update: not updating without --yes: standard input is not a terminal\n");
    return true;
}

bool Program::confirm(const std::string& question) {
    Console& console = reporter_.console();
    console.err(os::printable(question) +
                "\nDo not power off a printer during its download. [y/N] ");
    std::string answer;
    if (!console.readLine(answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

int Program::updateOne(const std::optional<usbport::DeviceIdentity>& target, Reporter& reporter,
                       const std::string& recoverFamily) {
    reporter.setPrinter(target ? target->key() : "");
    JsonObject start;
    if (target)
        start.add("port", target->portPath).add("serial", target->serial);
    reporter.event("start", start);
    if (target)
        reporter.line("Updating printer " + describe(*target));
    // The run reaches only the printer named: from its first open on, as the windows' run does
    // from the model check on.
    usbport::SelectDevice(target ? &*target : nullptr);
    ConsoleWindow window(reporter);
    download::DownloadProcedure procedure(window, catalogue_, standIn_);
    procedure.recoverFamily(recoverFamily);
    // A recovery has looked at the printer already: it runs no firmware, so it is never up to date.
    procedure.skipWhenUpToDate(!options_.reinstall && recoverFamily.empty());
    download::Outcome outcome = download::Outcome::NotConnected;
    {
        const DownloadUnderWay underWay;
        outcome = procedure.runDownload();
    }
    usbport::SelectDevice(nullptr);
    if (outcome == download::Outcome::Interrupted)
        os::logLine(
            "update: interrupted: no image was cut off; the printer was reset if it had been sent "
            "a command");
    const auto& report = procedure.report();
    if (!report.printer.key().empty())
        reporter.setPrinter(report.printer.key());
    const int status = exitStatus(outcome);
    reporter.event("outcome", JsonObject()
                                  .add("outcome", download::outcomeName(outcome))
                                  .add("status", static_cast<std::int64_t>(status))
                                  .add("message", outcome == download::Outcome::PrinterBusy
                                                      ? std::string(kBusyText)
                                                      : report.message)
                                  .add("before", versionsJson(window.before()))
                                  .add("after", versionsJson(window.after()))
                                  .add("main_sent", report.mainSent)
                                  .add("table_sent", report.tableSent));
    const std::string who = !report.printer.key().empty() ? describe(report.printer)
                            : target                      ? describe(*target)
                                                          : std::string("printer");
    reporter.line(who + ": " + download::outcomeName(outcome) + " (exit status " +
                      std::to_string(status) + ")",
                  true);
    return outcome == download::Outcome::UpToDate ? kUpToDate : status;
}

std::vector<int> Program::updateAtOnce(
    const std::vector<std::optional<usbport::DeviceIdentity>>& targets, std::size_t jobs) {
    std::vector<int> statuses(targets.size(), kNotRun);
    std::mutex outputMutex;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < targets.size() && !stopRequested(); i = next++) {
            const std::string key = targets[i] ? targets[i]->key() : std::string("printer");
            // Every run has its own port: its own device selection, failure text and drivers
            // held detached, so that one printer's run never steers another's.
            const std::unique_ptr<usbport::Port> port = usbport::port().newPort();
            const usbport::ScopedThreadPort ownPort(port.get());
            const os::LogSubject subject(key);
            RunConsole console(reporter_.console(), outputMutex,
                               options_.json ? "" : os::printable(key) + ": ");
            Reporter reporter(console, options_.json, options_.verbosity, reporter_.start());
            statuses[i] = updateOne(targets[i], reporter);
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t j = 0; j < jobs; ++j)
        threads.emplace_back(work);
    for (auto& thread : threads)
        thread.join();
    return statuses;
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
    if (targets.empty())
        return noPrinter(status);
    if (cannotAsk())
        return kExitUsage;
    std::string names;
    for (const auto& t : targets)
        names +=
            (names.empty() ? "" : ", ") + (t ? describe(*t) : std::string("the first PV4410S"));
    if (!options_.yes && !confirm("Update the firmware of " + names + "?")) {
        reporter_.line("Nothing was updated.", true);
        return kExitOther;
    }

    // Several at once only where the system's USB port can give each run a port of its own.
    std::size_t jobs =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(options_.jobs, 1)), targets.size());
    if (jobs > 1 && !usbport::port().newPort()) {
        os::logLine("update: this system's USB port reaches one printer at a time; --jobs ignored");
        jobs = 1;
    }
    std::vector<int> statuses;
    if (jobs > 1) {
        statuses = updateAtOnce(targets, jobs);
    } else {
        for (const auto& t : targets) {
            if (stopRequested())
                break;  // an interrupt ends the series: no further printer starts
            statuses.push_back(updateOne(t, reporter_));
        }
    }
    return summarise(statuses, targets.size());
}

int Program::summarise(const std::vector<int>& statuses, std::size_t printers) {
    int first = kExitSuccess;
    int updated = 0;
    int upToDate = 0;
    int failed = 0;
    for (const int s : statuses) {
        if (s == kNotRun)
            continue;  // an interrupt came first
        (s == kExitSuccess ? updated : s == kUpToDate ? upToDate : failed)++;
        if (first == kExitSuccess && s != kUpToDate)
            first = s;
    }
    if (stopRequested())
        first = kExitInterrupted;
    if (printers > 1) {
        reporter_.setPrinter("");
        reporter_.event("summary", JsonObject()
                                       .add("printers", static_cast<std::int64_t>(printers))
                                       .add("updated", static_cast<std::int64_t>(updated))
                                       .add("up_to_date", static_cast<std::int64_t>(upToDate))
                                       .add("failed", static_cast<std::int64_t>(failed))
                                       .add("status", static_cast<std::int64_t>(first)));
        reporter_.line(std::to_string(updated) + " of " + std::to_string(printers) +
                           " printers updated, " + std::to_string(upToDate) + " up to date, " +
                           std::to_string(failed) + " failed",
                       true);
    }
    return first;
}

int Program::recover() {
    int status = kExitSuccess;
    const auto printer = target(status);
    if (!printer)
        return noPrinter(status);
    if (cannotAsk())
        return kExitUsage;
    reporter_.setPrinter(printer->key());
    const Probe p = probe(*printer);
    if (p.outcome != download::Outcome::NotApplicable ||
        !payload::reportsNoFirmware(p.versions.main.c_str())) {
        showProbe(*printer, p);
        if (p.outcome != download::Outcome::Success)
            return exitStatus(p.outcome);
        os::logLine("update: " + describe(*printer) + " runs main " + p.versions.main +
                    ": nothing to recover; update it without --recover");
        return kExitNotApplicable;
    }
    std::string family = options_.family;
    std::string why = "family " + family + ", as given";
    std::string recordedFrom;  // the history record the family comes from
    if (family.empty()) {
        const auto recorded = recordedFirmware(download::readHistory(), *printer);
        if (recorded.version.empty()) {
            os::logLine("update: " +
                        (recorded.another
                             ? "the records " + recordText(*recorded.record) + " and " +
                                   recordText(*recorded.another) + " may both be of " +
                                   describe(*printer)
                             : "no record of the firmware " + describe(*printer) + " ran") +
                        " in " + download::historyPath() +
                        "; name its family with --recover --family 301|402|503|604");
            showProbe(*printer, p);
            return kExitNotApplicable;
        }
        family = recorded.version.substr(0, 3);
        why = "it ran main " + recorded.version + ", as recorded in the history";
        recordedFrom = recordText(*recorded.record);
    }
    payload::ImageSelection selection;
    catalogue_.findFamily(family.c_str(), selection);
    catalogue_.fillLabels(selection);
    const download::PrinterVersions sends{selection.mainLabelPair.version,
                                          selection.tableLabelPair.version, std::nullopt,
                                          std::nullopt};
    // A printer with table data of its own is of the family that carries that table.
    const std::string& table = p.versions.table;
    if (!recordedFrom.empty() && table.size() == 6 && !payload::reportsNoFirmware(table.c_str()) &&
        table.substr(0, 3) != sends.table.substr(0, std::min<std::size_t>(3, sends.table.size()))) {
        os::logLine("update: " + describe(*printer) + " reports table " + table +
                    ", which no printer of family " + family + " has; the record " + recordedFrom +
                    " is not of this printer; name its family with --recover --family "
                    "301|402|503|604");
        showProbe(*printer, p);
        return kExitNotApplicable;
    }
    const std::string plan = "Restore the firmware of " + describe(*printer) +
                             ": it reports no valid main firmware (" + p.versions.main + "); " +
                             why + "; sends " + versionsText(sends) + ".";
    reporter_.event(
        "recover",
        JsonObject().add("family", family).add("reason", why).add("images", versionsJson(sends)));
    if (options_.yes) {
        reporter_.line(plan);
    } else if (!confirm(plan + "\nGo on?")) {
        reporter_.line("Nothing was sent.", true);
        return kExitOther;
    }
    const int result = updateOne(printer, reporter_, family);
    return result == kUpToDate ? kExitSuccess : result;
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
        const auto record = download::parseRecord(line).value_or(download::DownloadRecord{});
        const std::string& before = record.before.main;
        const std::string& after = record.after.main;
        reporter_.line(record.start + "  " + record.printer + "  " +
                       (before.empty() ? "-" : before) + " -> " + (after.empty() ? "-" : after) +
                       "  " + record.outcome);
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
        case Outcome::UpToDate:
            return kExitSuccess;
        case Outcome::PrinterBusy:
            return kExitBusy;
    }
    return kExitOther;
}

download::RecordedFirmware recordedFirmware(const std::vector<std::string>& historyLines,
                                            const usbport::DeviceIdentity& printer) {
    const payload::FirmwareCatalogue catalogue;
    return download::recordedFirmware(
        historyLines, printer.serial, printer.portPath, [&](const std::string& version) {
            payload::ImageSelection selection;
            return version.size() == 6 &&
                           catalogue.findFamily(version.substr(0, 3).c_str(), selection)
                       ? version.substr(0, 3)
                       : std::string();
        });
}

bool stopRequested() {
    return stopFlag.load();
}

void holdStops(bool held) {
    stopsHeld.store(held);
}

void requestStop() {
    stopFlag.store(true);
}

int run(std::span<char* const> args, Console& console, const BuildSettings& build) {
    Options options;
    if (const std::string error = parse(args, options); !error.empty()) {
        console.err("pv4410s-update: " + error + "\n\n" + usage());
        return kExitUsage;
    }
    if (options.help) {
        console.out(usage());
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
    const os::SessionEndWatch sessionEnd(onStopRequest);
    if (!options.capture.empty())
        usbport::startCapture(options.capture);
    const UsbIdentity identity;
    Program program(options, console, build);
    const int status = program.run();
    usbport::stopCapture();
    return status;
}

}  // namespace pv::cli
