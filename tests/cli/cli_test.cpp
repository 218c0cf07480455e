// pv4410s-update run in-process against the virtual printer, through the real libusb, in virtual
// time: every command's exit status, the --json events against the printer's trace, the refusal
// without --yes, an interrupt during the image stream, the history, and the sleep lock.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/output.h"
#include "download/history.h"
#include "link/printer_session.h"
#include "platform/os/file_lock.h"
#include "platform/os/log.h"
#include "platform/usbport/usbport.h"
#include "support/logind_mock.h"
#include "support/virtual_printer.h"

namespace {

using pv::cli::BuildSettings;

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
};

class CommandLine : public pvtest::VirtualPrinterTest {
  protected:
    void SetUp() override {
        VirtualPrinterTest::SetUp();
        static const std::string folder = [] {
            std::string pattern = "/tmp/pv4410s-cli-test-XXXXXX";
            return mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/tmp");
        }();
        setenv("PV4410S_LOCK_DIR", folder.c_str(), 1);
        setenv("XDG_STATE_HOME", folder.c_str(), 1);
    }

    int run(const Row& row) {
        vprinter::Options options;
        options.mainVersion = row.mainVersion;
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
        std::vector<char*> argv;
        argv.reserve(args.size());
        for (auto& arg : args)
            argv.push_back(arg.data());
        return pv::cli::run(argv, console, BuildSettings{row.standIn});
    }

    std::vector<std::string> commands() {
        std::vector<std::string> names;
        for (const auto& event : printer().trace("command"))
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
        {"usage", {"update", "--bogus"}, "301B10", {}, 2},
        {"check", {"--json", "check"}, "301B10", {}, 0},
        {"check, not applicable", {"--json", "check"}, "999Z10", {}, 5},
        {"check, locked", {"--json", "check"}, "301B10", {}, 10, "", false, true},
        {"list", {"--json", "list"}, "301B10", {}, 0},
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
        if (row.status == 10 || row.status == 11 || row.status == 2) {
            EXPECT_EQ(commands(), std::vector<std::string>{}) << "nothing reached the printer";
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
    EXPECT_EQ(stages, "initialise version-check send reset read-back ");
    EXPECT_EQ(commands(),
              (std::vector<std::string>{"initialise", "version-request", "erase p", "transfer p",
                                        "erase t", "transfer t", "reset", "readback-on",
                                        "version-request", "readback-off"}));
    const auto replies = printer().trace("reply");
    ASSERT_EQ(replies.size(), 2u);
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

// An interrupt in the middle of the main image ends the stream at its next chunk, resets the
// printer and ends the program with the "interrupted" status; nothing further is erased or sent.
TEST_F(CommandLine, InterruptDuringTheStreamResetsThePrinter) {
    bool raised = false;
    console.onOut = [&](std::string_view text) {
        if (!raised && text.find(R"("event":"progress")") != std::string_view::npos &&
            !printer().trace("stream-start").empty()) {
            raised = true;
            std::raise(SIGINT);
        }
    };
    EXPECT_EQ(run({"interrupt", kUpdate, "301B10", {"throttle=100000"}}), 130) << console.err_;
    EXPECT_TRUE(raised);
    EXPECT_EQ(commands(), (std::vector<std::string>{"initialise", "version-request", "erase p",
                                                    "transfer p", "reset"}));
    const auto verdicts = printer().trace("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("result"), "invalid");
    const auto outcome = console.events("outcome");
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_EQ(parsed(outcome[0])["outcome"], "interrupted");
    EXPECT_EQ(parsed(outcome[0])["main_sent"], false);
}

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

}  // namespace
