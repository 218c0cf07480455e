// pv4410s-update run in-process against the virtual printer, through the real libusb, in virtual
// time: every command's exit status, the --json events against the printer's trace, the refusal
// without --yes, an interrupt during the image stream, and the history.

#include <gtest/gtest.h>

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
#include "platform/usbport/usbport.h"
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

// `"key":"value"` as the program writes it.
std::string member(const std::string& key, const std::string& value) {
    return "\"" + key + "\":\"" + value + "\"";
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

// The lock files and the history go to the test process's own folder (VirtualPrinterTest).
class CommandLine : public pvtest::VirtualPrinterTest {
  protected:
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
            EXPECT_TRUE(pv::download::isJson(line)) << line;
        if (*row.outcome != '\0') {
            const auto outcomes = console.events("outcome");
            ASSERT_EQ(outcomes.size(), 1u);
            EXPECT_NE(outcomes[0].find(member("outcome", row.outcome)), std::string::npos)
                << outcomes[0];
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
        stages += e.substr(e.find("\"stage\":")) + " ";
    EXPECT_EQ(stages,
              "\"stage\":\"initialise\"} \"stage\":\"version-check\"} \"stage\":\"send\"} "
              "\"stage\":\"reset\"} \"stage\":\"read-back\"} ");
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
            EXPECT_NE(versions[i].find(member(key, replies[i].field(key))), std::string::npos)
                << versions[i];
        EXPECT_NE(versions[i].find(member("main_checksum", replies[i].field("main_sum").substr(2))),
                  std::string::npos)
            << versions[i];
    }
    const auto images = console.events("images");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_NE(images[0].find(member("main", replies[1].field("main"))), std::string::npos);
    EXPECT_NE(images[0].find(member("table", replies[1].field("table"))), std::string::npos);
    EXPECT_FALSE(console.events("progress").empty());
    const auto outcome = console.events("outcome");
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_NE(outcome[0].find("\"main_sent\":true,\"table_sent\":true"), std::string::npos);

    // The run is in the history, which the history command lists.
    console = {};
    EXPECT_EQ(run({"history", {"--json", "history"}}), 0);
    const auto records = console.events("record");
    ASSERT_FALSE(records.empty());
    EXPECT_NE(records.back().find(member("outcome", "success")), std::string::npos);
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
#ifdef _WIN32
    GTEST_SKIP() << "raise(SIGINT) does not reach the console control handler that takes stop "
                    "requests on Windows";
#endif
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
    EXPECT_NE(outcome[0].find(member("outcome", "interrupted")), std::string::npos);
    EXPECT_NE(outcome[0].find("\"main_sent\":false"), std::string::npos);
}

}  // namespace
