// pv4410s-update run in-process against the virtual printer, through the real libusb, in virtual
// time: every command's exit status, the --json events against the printer's trace, the refusal
// without --yes, stops at every point of a download, recovery, the history, and the sleep lock.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/cli.h"
#include "cli/output.h"
#include "download/history.h"
#include "download/refusing_port.h"
#include "download/sleep_inhibitor.h"
#include "link/printer_session.h"
#include "platform/os/file_lock.h"
#include "platform/os/keep_awake.h"
#include "platform/os/log.h"
#include "platform/usbport/usbport.h"
#ifndef _WIN32
#include "support/logind_mock.h"
#endif
#include "support/virtual_printer.h"

namespace {

using pv::cli::BuildSettings;
using Names = std::vector<std::string>;

// The argument vector main() would receive; points into args, which must outlive it.
std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (auto& arg : args)
        argv.push_back(arg.data());
    return argv;
}

class TestConsole final : public pv::cli::Console {
  public:
    void out(std::string_view text) override {
        out_ += text;
        if (onOut)
            onOut(text);
    }
    void err(std::string_view text) override { err_ += text; }
    bool outIsTerminal() override { return false; }
    bool inIsTerminal() override { return inTerminal; }
    bool readLine(std::string& line) override {
        line = answer;
        return inTerminal;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        std::size_t from = 0;
        for (std::size_t at = out_.find('\n'); at != std::string::npos;
             from = at + 1, at = out_.find('\n', from))
            all.push_back(out_.substr(from, at - from));
        return all;
    }
    // The JSON events named `name`.
    std::vector<std::string> events(const std::string& name) const {
        std::vector<std::string> found;
        for (const auto& line : lines())
            if (line.starts_with(R"({"event":")" + name + '"'))
                found.push_back(line);
        return found;
    }

    std::string out_;
    std::string err_;
    bool inTerminal = false;
    std::string answer;
    std::function<void(std::string_view)> onOut;
};

// An event line as JSON (null when it is none).
nlohmann::json parsed(const std::string& line) {
    return nlohmann::json::parse(line, nullptr, false);
}

struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string mainVersion = "301B10";
    std::vector<std::string> faults = {};
    int status = 0;
    const char* outcome = "";  // the "outcome" event's keyword, "" when none
    bool standIn = false;  // the run treats its images as stand-ins (the printer is not virtual)
    bool locked = false;   // another copy holds the printer's lock
    std::string tableVersion = "705A10";
};

// The lock files and the history go to the test process's own folder (VirtualPrinterTest).
class CommandLine : public pvtest::VirtualPrinterTest {
  protected:
    int run(const Row& row) {
        vprinter::Options options;
        options.mainVersion = row.mainVersion;
        options.tableVersion = row.tableVersion;
        for (const auto& fault : row.faults)
            EXPECT_EQ(vprinter::applyFault(fault, options.faults), "") << fault;
        startPrinter(options);
        otherCopy.reset();
        if (row.locked) {
            // Another copy holds the printer, as the port identifies it.
            constexpr std::uint16_t kProductIds[] = {0x0512};
            usbport::SetVenderID(0x7A3C);
            usbport::SetProductID(kProductIds, 1);
            const auto printers = usbport::ListDevices();
            EXPECT_EQ(printers.size(), 1u);
            otherCopy.emplace();
            for (const auto& printer : printers)
                EXPECT_EQ(otherCopy->acquire(pv::link::printerLockPath(printer)),
                          os::FileLock::Result::Taken);
        }
        std::vector<std::string> args = {"pv4410s-update"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        return pv::cli::run(argvOf(args), console, BuildSettings{row.standIn});
    }

    std::vector<std::string> commands() { return commands(printer()); }
    static std::vector<std::string> commands(pvtest::VirtualPrinter& p) {
        std::vector<std::string> names;
        for (const auto& event : p.trace("command"))
            names.push_back(event.field("name"));
        return names;
    }

    TestConsole console;
    std::optional<os::FileLock> otherCopy;
};

const std::vector<std::string> kUpdate = {"--json", "update", "--yes"};

// Every failure class ends with its own status, whatever the command.
TEST_F(CommandLine, EachOutcomeHasItsExitStatus) {
    const Row rows[] = {
        {"success", kUpdate, "301B10", {}, 0, "success"},
        // Recovery of a printer without main firmware: from the history line just written,
        // from the family named, and refused for a printer with firmware or without a record.
        {"recover", {"--json", "update", "--recover", "--yes"}, "------", {}, 0, "success"},
        {"recover, no record",
         {"--json", "update", "--recover", "--yes"},
         "------",
         {"serial=VIRTUAL-9"},
         5},
        {"recover, family given",
         {"--json", "update", "--recover", "--family", "503", "--yes"},
         "------",
         {"serial=VIRTUAL-9"},
         0,
         "success"},
        {"recover, has firmware", {"--json", "update", "--recover", "--yes"}, "301B10", {}, 5},
        {"recover, unknown family", {"update", "--recover", "--family", "999"}, "------", {}, 2},
        {"recover, without --yes", {"--json", "update", "--recover"}, "------", {}, 2},
        {"not recovered without --recover", kUpdate, "------", {}, 5, "not-applicable"},
        {"up to date", kUpdate, "301F11", {}, 0, "up-to-date", false, false, "705B11"},
        {"main up to date, table not", kUpdate, "301F11", {}, 0, "success"},
        {"up to date, reinstalled",
         {"--json", "update", "--yes", "--reinstall"},
         "301F11",
         {},
         0,
         "success",
         false,
         false,
         "705B11"},
        {"no version reply",
         kUpdate,
         "301F11",
         {"bad-header"},
         6,
         "version-information-failed",
         false,
         false,
         "705B11"},
        {"no printer", kUpdate, "301B10", {"absent"}, 3, "not-connected"},
        {"no printer, by serial",
         {"--json", "update", "--yes", "--device", "NONE"},
         "301B10",
         {},
         3,
         "not-connected"},
        {"wrong model", kUpdate, "301B10", {"id-no-model"}, 4, "wrong-model"},
        {"not applicable", kUpdate, "999Z10", {}, 5, "not-applicable"},
        {"version reply", kUpdate, "301B10", {"bad-header"}, 6, "version-information-failed"},
        {"time-out", kUpdate, "301B10", {"throttle=9000"}, 7, "time-out"},
        {"refused chunk", kUpdate, "503C10", {"stall-write=10"}, 8, "transfer-failed"},
        {"never returns", kUpdate, "503C10", {"no-return"}, 9, "read-back-failed"},
        {"wrong version", kUpdate, "503C10", {"return-version=503C10"}, 9, "verification-failed"},
        {"locked", kUpdate, "503C10", {}, 10, "printer-locked", false, true},
        {"stand-in images", kUpdate, "503C10", {"serial=REAL-0001"}, 11, "stand-in-refused", true},
        {"busy", kUpdate, "503C10", {"busy"}, 13, "printer-busy"},
        {"check, busy", {"--json", "check"}, "301B10", {"busy"}, 13},
        {"print job", kUpdate, "503C10", {"print-job"}, 13, "printer-busy"},
        {"list, print job", {"--json", "list"}, "301B10", {"print-job"}, 0},
        {"usage", {"update", "--bogus"}, "301B10", {}, 2},
        {"usage: --jobs without --all", {"update", "--jobs", "2"}, "301B10", {}, 2},
        {"usage: --jobs 0", {"update", "--all", "--jobs=0"}, "301B10", {}, 2},
        {"usage: --reinstall with check", {"check", "--reinstall"}, "301B10", {}, 2},
        {"--device without its value", {"update", "--device", "--yes"}, "301B10", {}, 2},
        {"check", {"--json", "check"}, "301B10", {}, 0},
        {"check, not applicable", {"--json", "check"}, "999Z10", {}, 5},
        {"check, locked", {"--json", "check"}, "301B10", {}, 10, "", false, true},
        {"list", {"--json", "list"}, "301B10", {}, 0},
        {"list, serial descriptor of length 0",
         {"--json", "list"},
         "301B10",
         {"serial-length=0"},
         0},
        {"list, serial descriptor of length 1",
         {"--json", "list"},
         "301B10",
         {"serial-length=1"},
         0},
#ifndef _WIN32  // (the printer class driver reads no string descriptors)
        {"check, serial descriptor of length 1",
         {"--json", "check"},
         "301B10",
         {"serial-length=1"},
         3},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        console = {};
        EXPECT_EQ(run(row), row.status) << console.out_ << console.err_;
        for (const auto& line : console.lines())
            EXPECT_TRUE(nlohmann::json::accept(line)) << line;
        if (*row.outcome != '\0') {
            const auto outcomes = console.events("outcome");
            ASSERT_EQ(outcomes.size(), 1u);
            EXPECT_EQ(parsed(outcomes[0])["outcome"], row.outcome) << outcomes[0];
        }
        const bool busy = row.status == 13 || row.faults == std::vector<std::string>{"print-job"};
        if (row.status == 10 || row.status == 11 || row.status == 2 || busy) {
            EXPECT_EQ(commands(), std::vector<std::string>{}) << "nothing reached the printer";
        }
        if (busy) {
            EXPECT_TRUE(printer().trace("driver-detach").empty()) << "its driver stays";
            EXPECT_NE(console.out_.find("printer-busy"), std::string::npos) << console.out_;
        }
        if (std::string(row.outcome) == "up-to-date") {
            // Asked for its versions in read-back mode only: not initialised, erased or reset.
            EXPECT_EQ(commands(),
                      (std::vector<std::string>{"readback-on", "version-request", "readback-off"}));
            EXPECT_NE(console.out_.find("\"main_sent\":false,\"table_sent\":false"),
                      std::string::npos);
        }
    }
}

// The events of a whole download say what the printer's trace says: the stages in order, the
// versions it reported before and after, the images it received.
TEST_F(CommandLine, JsonEventsMatchThePrinterTrace) {
    ASSERT_EQ(run({"301", kUpdate}), 0) << console.err_;
    std::string stages;
    for (const auto& e : console.events("stage"))
        stages += parsed(e)["stage"].get<std::string>() + " ";
    EXPECT_EQ(stages, "initialise up-to-date-check version-check send reset read-back ");
    EXPECT_EQ(commands(), (std::vector<std::string>{
                              "readback-on", "version-request", "readback-off", "initialise",
                              "version-request", "erase p", "transfer p", "erase t", "transfer t",
                              "reset", "readback-on", "version-request", "readback-off"}));
    EXPECT_TRUE(printer().trace("print-data").empty()) << "nothing the printer would print";
    EXPECT_TRUE(printer().trace("refused").empty()) << "no command outside its mode";
    auto replies = printer().trace("reply");
    ASSERT_EQ(replies.size(), 3u);
    replies.erase(replies.begin());  // the look before the initialise
    const auto versions = console.events("versions");
    ASSERT_EQ(versions.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        for (const char* key : {"main", "table"})
            EXPECT_EQ(parsed(versions[i])["versions"][key], replies[i].field(key)) << versions[i];
        EXPECT_EQ(parsed(versions[i])["versions"]["main_checksum"],
                  replies[i].field("main_sum").substr(2))
            << versions[i];
    }
    const auto images = console.events("images");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(parsed(images[0])["images"]["main"], replies[1].field("main"));
    EXPECT_EQ(parsed(images[0])["images"]["table"], replies[1].field("table"));
    EXPECT_FALSE(console.events("progress").empty());
    const auto outcome = console.events("outcome");
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_EQ(parsed(outcome[0])["main_sent"], true);
    EXPECT_EQ(parsed(outcome[0])["table_sent"], true);

    // The run is in the history, which the history command lists.
    console = {};
    EXPECT_EQ(run({"history", {"--json", "history"}}), 0);
    const auto records = console.events("record");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(parsed(records.back())["record"]["outcome"], "success");
}

// check and list say what an update would change, or that the printer is up to date.
TEST_F(CommandLine, CheckSaysWhatAnUpdateWouldChange) {
    EXPECT_EQ(run({"old", {"check"}, "301B10"}), 0);
    EXPECT_NE(console.out_.find("\n  update available: main 301B10 -> 301F11, table 705A10 -> "
                                "705B11\n"),
              std::string::npos)
        << console.out_;
    console = {};
    EXPECT_EQ(run({"current", {"list"}, "301F11", {}, 0, "", false, false, "705B11"}), 0);
    EXPECT_NE(console.out_.find("\n  up to date\n"), std::string::npos) << console.out_;
    EXPECT_EQ(console.out_.find("result:"), std::string::npos) << console.out_;
}

// Printers updated at once each end with their own outcome, and the summary covers them all; a
// USB port that cannot give each run a port of its own runs them one after the other.
TEST_F(CommandLine, JobsRunEveryPrinterAndSumUp) {
    for (const bool ownPorts : {true, false}) {
        SCOPED_TRACE(ownPorts ? "a port per run" : "one port");
        vprinter::Options wrongModel;
        EXPECT_EQ(vprinter::applyFault("id-no-model", wrongModel.faults), "");
        vprinter::Options current;
        current.mainVersion = "301F11";
        current.tableVersion = "705B11";
        startPrinters({wrongModel, current});
        pv::download::testing::RefusingPort onePort({});
        std::optional<usbport::ScopedPort> installed;
        if (!ownPorts)
            installed.emplace(onePort);
        const os::CapturedLog log;
        console = {};
        std::vector<std::string> args = {"pv4410s-update", "--json", "update", "--all",
                                         "--jobs",         "2",      "--yes"};
        EXPECT_EQ(pv::cli::run(argvOf(args), console), 4) << console.out_;
        const auto outcomes = console.events("outcome");
        ASSERT_EQ(outcomes.size(), 2u);
        for (const char* expected : {R"("printer":"VIRTUAL-0001","outcome":"wrong-model")",
                                     R"("printer":"VIRTUAL-0002","outcome":"up-to-date")"})
            EXPECT_NE(console.out_.find(expected), std::string::npos) << console.out_;
        EXPECT_NE(console.out_.find(R"("printers":2,"updated":0,"up_to_date":1,"failed":1)"),
                  std::string::npos);
        EXPECT_EQ(log.contains("--jobs ignored"), !ownPorts);
    }
}

// Printers sharing a serial number are still two printers: a port path names one, --all updates
// each once, and the shared serial alone names none. Serials that differ only beyond ASCII stay
// apart.
TEST_F(CommandLine, PrintersSharingASerialAreToldApartByPort) {
    const Names kUpdated = {"readback-on",     "version-request", "readback-off", "initialise",
                            "version-request", "erase p",         "transfer p",   "reset",
                            "readback-on",     "version-request", "readback-off"};
    struct TwinRow {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> serials;  // of the printers at 1-1 and 1-2
        int status;
        Names first, second;  // the commands each printer saw
    };
    const std::vector<std::string> twins = {"VIRTUAL-0001", "VIRTUAL-0001"};
    const TwinRow rows[] = {
        {"by port", {"--device", "1-2"}, twins, 0, {}, kUpdated},
        {"all", {"--all"}, twins, 0, kUpdated, kUpdated},
        {"by the shared serial", {"--device", "VIRTUAL-0001"}, twins, 2, {}, {}},
        {"serials beyond ASCII",
         {"--device", "VIRTUAL-\u00d6"},
         {"VIRTUAL-\u00c4", "VIRTUAL-\u00d6"},
         0,
         {},
         kUpdated},
    };
    for (const TwinRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<vprinter::Options> options(2);
        for (std::size_t i = 0; i < 2; ++i) {
            options[i].mainVersion = "503C10";
            options[i].faults.serial = row.serials[i];
        }
        const auto printers = startPrinters(options);
        console = {};
        std::vector<std::string> args = {"pv4410s-update", "--json", "update", "--yes"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const os::CapturedLog log;
        EXPECT_EQ(pv::cli::run(argvOf(args), console), row.status) << console.out_;
        EXPECT_EQ(commands(*printers[0]), row.first);
        EXPECT_EQ(commands(*printers[1]), row.second);
        if (row.status == 2) {
            EXPECT_TRUE(log.contains("the printers at 1-1, 1-2 all have the serial number"));
        }
    }
    // Run side by side, each run binds the printer driver again on its own printer only: the
    // 503 at 1-2 ends first, while its twin, a 301, is still being written.
    std::vector<vprinter::Options> pair(2);
    pair[1].mainVersion = "503C10";
    for (auto& o : pair)
        o.faults.serial = "VIRTUAL-0001";
    const auto both = startPrinters(pair);
    console = {};
    std::vector<std::string> jobs = {"pv4410s-update", "update", "--all", "--jobs", "2", "--yes"};
    EXPECT_EQ(pv::cli::run(argvOf(jobs), console), 0) << console.out_;
#ifndef _WIN32  // Windows's printer class driver is never detached
    for (auto* p : both)
        EXPECT_EQ(p->trace("driver-attach").size(), 1u);
#endif
    // A copy that took the printer at 1-1 while its twin was attached still holds it once the
    // twin has left: the second run is refused.
    os::FileLock firstRun;
    ASSERT_EQ(firstRun.acquire(pv::link::printerLockPath({"VIRTUAL-0001", "1-1", true})),
              os::FileLock::Result::Taken);
    console = {};
    EXPECT_EQ(run({"twin left", {"update", "--yes"}}), 10) << console.out_;
    EXPECT_EQ(commands(), Names{});
}

// Recovery takes only the record of that printer: of twins updated together, the 301 at 1-1 is
// blank and the other runs 503H11. A record the printer's own table data contradicts is refused.
TEST_F(CommandLine, RecoveryTakesOnlyThatPrintersRecord) {
    std::vector<vprinter::Options> options(2);
    options[1].mainVersion = "503C10";
    for (auto& o : options)
        o.faults.serial = "VIRTUAL-TWIN";
    startPrinters(options);
    std::vector<std::string> all = {"pv4410s-update", "update", "--all", "--yes"};
    EXPECT_EQ(pv::cli::run(argvOf(all), console), 0) << console.out_;
    options[0].mainVersion = "------";
    options[0].tableVersion = "705B11";
    options[1].mainVersion = "503H11";
    auto printers = startPrinters(options);
    std::vector<std::string> recover = {"pv4410s-update", "update", "--recover",
                                        "--device",       "1-1",    "--yes"};
    EXPECT_EQ(pv::cli::run(argvOf(recover), console), 0) << console.out_;
    const auto erases = [&](const char* area) {
        const auto sent = commands(*printers[0]);
        return std::count(sent.begin(), sent.end(), std::string("erase ") + area);
    };
    EXPECT_EQ(erases("t"), 1) << "the 301's images";
    pv::download::DownloadRecord other;
    other.printer = other.serial = "VIRTUAL-TWIN";
    other.port = "1-1";
    other.after.main = "503H11";
    ASSERT_TRUE(pv::download::appendHistory(other));
    options[0].mainVersion = "------";
    printers = startPrinters(options);
    const os::CapturedLog log;
    EXPECT_EQ(pv::cli::run(argvOf(recover), console), 5) << console.out_;
    EXPECT_TRUE(log.contains("reports table 705B11, which no printer of family 503 has"));
    EXPECT_EQ(erases("p"), 0);
}

// What the printer reports goes to the terminal and the log with its escape sequences spelt out.
TEST_F(CommandLine, PrinterTextCannotSteerTheTerminal) {
    const os::CapturedLog log;
    EXPECT_EQ(run({"concealing version", {"update", "--yes"}, "\x1b[8m10"}), 5) << console.err_;
    EXPECT_EQ(console.out_.find('\x1b'), std::string::npos) << console.out_;
    EXPECT_NE(console.out_.find("main \\x1B[8m10"), std::string::npos) << console.out_;
    EXPECT_TRUE(log.contains("main version \\x1B[8m10 is not in the version map"));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
}

// A history that cannot be read is an error, not an empty history; a symbolic link is not
// followed (to a device it would be read forever).
TEST_F(CommandLine, AHistoryThatCannotBeReadIsAnError) {
    const std::string path = pv::download::historyPath();
    const std::string aside = path + ".aside";
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(path).parent_path());  // when no run has made it yet
    std::rename(path.c_str(), aside.c_str());
#ifdef _WIN32
    for (const char* what : {"folder"}) {
#else
    for (const char* what : {"folder", "symbolic link"}) {
#endif
        SCOPED_TRACE(what);
        if (std::string(what) == "folder")
            ASSERT_TRUE(fs::create_directory(path));
        else
            fs::create_symlink("/dev/null", path);
        const os::CapturedLog log;
        console = {};
        EXPECT_EQ(run({"history", {"history"}}), 1) << console.out_;
        EXPECT_TRUE(log.contains("cannot read the history file " + path));
        EXPECT_EQ(console.out_.find("No updates recorded"), std::string::npos);
        std::remove(path.c_str());
    }
    std::rename(aside.c_str(), path.c_str());
}

// Without --yes, a run that cannot ask refuses and sends nothing; on a terminal it asks and
// takes no for an answer.
TEST_F(CommandLine, UpdateAsksFirst) {
    EXPECT_EQ(run({"no terminal", {"update"}}), 2);
    EXPECT_NE(console.err_.find("without --yes"), std::string::npos);
    EXPECT_EQ(commands(), std::vector<std::string>{});
    console = {};
    console.inTerminal = true;
    console.answer = "n";
    EXPECT_EQ(run({"declined", {"update"}}), 1);
    EXPECT_NE(console.err_.find("[y/N]"), std::string::npos);
    EXPECT_EQ(commands(), std::vector<std::string>{});
}

// raise() does not reach the console control handler that takes stop requests on Windows.
#ifndef _WIN32
// Where a stop request comes in a download, and what the printer has seen and runs afterwards.
struct StopPoint {
    const char* name;
    std::size_t afterCommands;  // the stop comes once the printer has seen this many commands,
    std::uint64_t afterMs;      // and this much virtual time has passed since the last of them
    std::vector<std::string> commands;
    std::string runs;  // main/table versions once restarted
    const char* printer = "301B10";
    int signal = SIGINT;
    int status = 130;
    const char* at = R"("event":"progress")";  // the stop comes on an output line holding this
    std::vector<std::string> args = kUpdate;
};

// Every command-line update first asks the running printer for its versions in read-back mode
// (is it up to date?), then initialises it.
const std::vector<std::string> kMainThenReset = {
    "readback-on",     "version-request", "readback-off", "initialise",
    "version-request", "erase p",         "transfer p",   "reset"};
const std::vector<std::string> kBothThenReset = {
    "readback-on", "version-request", "readback-off", "initialise", "version-request",
    "erase p",     "transfer p",      "erase t",      "transfer t", "reset"};
const std::vector<std::string> kBothThenReadBack = {
    "readback-on", "version-request", "readback-off", "initialise", "version-request",
    "erase p",     "transfer p",      "erase t",      "transfer t", "reset",
    "readback-on", "version-request", "readback-off"};

// A stop at any point of a download ends with every area holding valid firmware (the new image
// or the one it had), a reset wherever a command went out, one history line and status 130. An
// erase holds the stop until its image is whole; SIGHUP does not stop a download at all. The
// printer accepts 100,000 bytes/s, so each image stream takes virtual time to stop in.
TEST_F(CommandLine, AStopAtAnyPointLeavesValidFirmware) {
    // clang-format off
    const StopPoint points[] = {
        {"before initialise", 0, 0, {}, "301B10/705A10", "301B10", SIGINT, 130,
         R"("stage":"up-to-date-check")"},
        {"initialise wait", 4, 2000,
         {"readback-on", "version-request", "readback-off", "initialise", "reset"},
         "301B10/705A10"},
        {"version reply wait", 5, 2000,
         {"readback-on", "version-request", "readback-off", "initialise", "version-request",
          "reset"},
         "301B10/705A10"},
        // Once the main erase went out, the table data that belongs with it follows.
        {"main erase wait", 6, 1000, kBothThenReset, "301F11/705B11"},
        {"mid main image", 7, 2000, kBothThenReset, "301F11/705B11"},
        {"table erase wait", 8, 2000, kBothThenReset, "301F11/705B11"},
        {"mid table image", 9, 5000, kBothThenReset, "301F11/705B11"},
        {"after the last image, restart wait", 10, 3000, kBothThenReset, "301F11/705B11"},
        {"read back", 12, 2000, kBothThenReadBack, "301F11/705B11"},
        {"SIGTERM mid main image", 7, 2000, kMainThenReset, "503H11/705A10", "503C10", SIGTERM},
        {"SIGHUP mid main image: goes on", 7, 2000, kBothThenReadBack, "301F11/705B11", "301B10",
         SIGHUP, 0},
        {"--recover, main erase wait", 6, 1000, kBothThenReset, "301F11/705B11", "------", SIGINT,
         130, R"("event":"progress")", {"--json", "update", "--recover", "--family", "301", "--yes"}},
    };
    // clang-format on
    for (const StopPoint& point : points) {
        SCOPED_TRACE(point.name);
        console = {};
        const std::size_t recorded = pv::download::readHistory().size();
        bool raised = false;
        console.onOut = [&](std::string_view text) {
            const auto seen = printer().trace("command");
            if (raised || text.find(point.at) == std::string_view::npos ||
                seen.size() < point.afterCommands ||
                (point.afterCommands > 0 &&
                 printer().clock().nowMs() < seen[point.afterCommands - 1].timeMs + point.afterMs))
                return;
            raised = true;
            std::raise(point.signal);
        };
        EXPECT_EQ(run({"stop", point.args, point.printer, {"throttle=100000"}}), point.status)
            << console.err_;
        EXPECT_TRUE(raised);
        EXPECT_EQ(commands(), point.commands);
        // Every image that went out arrived whole, before the reset.
        const auto verdicts = printer().trace("verdict");
        const auto transfers = std::count_if(point.commands.begin(), point.commands.end(),
                                             [](auto& c) { return c.starts_with("transfer"); });
        EXPECT_EQ(verdicts.size(), static_cast<std::size_t>(transfers));
        for (const auto& verdict : verdicts)
            EXPECT_EQ(verdict.field("result"), "valid") << verdict.readable();
        os::sleepMs(10'000);  // the printer restarts
        EXPECT_EQ(printer().withPrinter([](vprinter::Printer& p) {
            return p.mainVersion() + "/" + p.tableVersion();
        }),
                  point.runs);
        EXPECT_EQ(pv::download::readHistory().size(), recorded + 1);
        const auto outcome = console.events("outcome");
        ASSERT_EQ(outcome.size(), 1u);
        EXPECT_EQ(parsed(outcome[0])["outcome"], point.status ? "interrupted" : "success");
        EXPECT_EQ(parsed(outcome[0])["status"], point.status) << "the event's status, too";
    }
}

// A stop during --jobs, once one printer's run has ended (up to date) while another is in its
// erase wait: that printer still gets its whole image and its reset, and the program ends 130.
TEST_F(CommandLine, AStopDuringJobsFinishesTheImageUnderWay) {
    std::vector<vprinter::Options> pair(2);
    pair[0].mainVersion = "301F11";
    pair[0].tableVersion = "705B11";
    pair[1].mainVersion = "503C10";
    for (auto& o : pair)
        EXPECT_EQ(vprinter::applyFault("throttle=100000", o.faults), "");
    const auto printers = startPrinters(pair);
    bool raised = false;
    console.onOut = [&](std::string_view) {
        const auto seen = printers[1]->trace("command");
        if (raised || seen.size() < 6 || printers[1]->clock().nowMs() < seen[5].timeMs + 1000)
            return;  // the stop comes a second into the erase wait (the sixth command)
        raised = true;
        std::raise(SIGINT);
    };
    std::vector<std::string> args = {"pv4410s-update", "--json", "update", "--all",
                                     "--jobs",         "2",      "--yes"};
    EXPECT_EQ(pv::cli::run(argvOf(args), console), 130) << console.out_;
    EXPECT_TRUE(raised);
    EXPECT_EQ(commands(*printers[0]),
              (std::vector<std::string>{"readback-on", "version-request", "readback-off"}));
    EXPECT_EQ(commands(*printers[1]), kMainThenReset);
    const auto verdicts = printers[1]->trace("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("result"), "valid") << verdicts[0].readable();
}

#endif

// The firmware a printer last ran: the newest line of that printer (serial and port; of an
// earlier version: the serial, or the port without one) with a version of a known family. Lines
// of an earlier version that twins share are refused when they disagree; a serial is no prefix.
TEST(RecordedFirmware, TheNewestValidVersionOfThatPrinter) {
    std::vector<std::string> lines;
    for (const auto& [serial, port, before, after] : {std::tuple{"PV-1", "", "301B10", ""},
                                                      {"PV-2", "", "503C10", "503H11"},
                                                      {"PV-1", "", "301C10", "301F11"},
                                                      {"PV-1", "", "------", ""},
                                                      {"PV-3", "", "999Z10", ""},
                                                      {"PV-10", "", "503C10", "503H11"},
                                                      {"TWIN", "1-1", "301B10", "301F11"},
                                                      {"TWIN", "1-2", "503C10", "503H11"},
                                                      {"OLD", "", "301B10", "301F11"},
                                                      {"OLD", "", "503C10", "503H11"}}) {
        pv::download::DownloadRecord r;
        r.printer = serial;
        if (*port != '\0') {
            r.serial = serial;
            r.port = port;
        }
        r.before.main = before;
        r.after.main = after;
        lines.push_back(pv::download::historyLine(r));
    }
    for (const auto& [serial, port, version, another] : {std::tuple{"PV-1", "1-1", "301F11", ""},
                                                         {"PV-2", "1-1", "503H11", ""},
                                                         {"PV-3", "1-1", "", ""},
                                                         {"PV-4", "1-1", "", ""},
                                                         {"TWIN", "1-1", "301F11", ""},
                                                         {"TWIN", "1-2", "503H11", ""},
                                                         {"TWIN", "1-3", "", ""},
                                                         {"OLD", "1-1", "", "301F11"}}) {
        const auto found = pv::cli::recordedFirmware(lines, {serial, port});
        EXPECT_EQ(found.version, version) << serial << "@" << port;
        EXPECT_EQ(found.another ? found.another->after.main : "", another) << serial;
    }
}

#ifdef _WIN32
// The power manager's request belongs to a thread and ends with it; with several downloads at
// once the first to take the lock may end first. The lock's request is held by a thread that
// lives until the lock is let go, whichever download took it.
TEST(SleepLockOnWindows, OutlivesTheDownloadThatTookIt) {
    pv::download::SystemSleepInhibitor inhibitor;
    std::thread::id first;
    std::thread([&] {
        first = std::this_thread::get_id();
        ASSERT_TRUE(inhibitor.acquire());
    }).join();
    std::thread([&] { ASSERT_TRUE(inhibitor.acquire()); }).join();
    std::thread([&] { inhibitor.release(); }).join();
    EXPECT_TRUE(inhibitor.held());
    const std::thread::id keeper = os::keptAwakeBy();
    EXPECT_NE(keeper, std::thread::id{});
    EXPECT_NE(keeper, first) << "the request went with the thread that took the lock";
    inhibitor.release();
    EXPECT_EQ(os::keptAwakeBy(), std::thread::id{});
}
#endif

#ifndef _WIN32  // logind is Linux's
// `update` holds the system's sleep lock, in the program's name, while a download runs, and lets
// it go when the download ends.
TEST_F(CommandLine, UpdateHoldsTheSleepLockDuringTheDownload) {
    const pv::test::LogindMock logind;
    ASSERT_TRUE(logind.ready()) << logind.error();
    os::setLogProgramName("pv4410s-update");
    std::vector<std::string> held;
    console.onOut = [&](std::string_view text) {
        if (text.find(R"("stage":"send")") != std::string_view::npos)
            held = logind.inhibitors();
    };
    EXPECT_EQ(run({"503", kUpdate, "503C10"}), 0) << console.err_;
    os::setLogProgramName("pv4410s-updater");
    EXPECT_EQ(held, std::vector<std::string>{"sleep:shutdown:idle|pv4410s-update|Updating the "
                                             "printer's firmware|block"});
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
}
#endif

}  // namespace
