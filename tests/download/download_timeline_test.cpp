// The timing of whole downloads in virtual time, read from the printer's trace (and, for the
// silent stretch after the reset, from the "Upgrade" window's updates): every fixed wait and the
// total run time within 1 % of what they should be. The figures are printed.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "download_fixture.h"

namespace pv::download::testing {
namespace {

// Pauses that come with a command: erase and transfer pause 100 ms once written.
constexpr double kCommandPauseMs = 100;

struct Wait {
    std::string what;
    double expectedMs;
    double measuredMs;
};

class Timeline : public DownloadOnPrinter {
  protected:
    // Time of the `nth` (from 0) printer event named `name` whose `key` field is `value`.
    double at(const std::string& name, const std::string& key, const std::string& value,
              int nth = 0) {
        for (const auto& event : events(name))
            if ((key.empty() || event.field(key) == value) && nth-- == 0)
                return static_cast<double>(event.timeMs);
        ADD_FAILURE() << "no " << name << " " << value;
        return NAN;
    }
    double command(const std::string& commandName, int nth = 0) {
        return at("command", "name", commandName, nth);
    }
    double reply(int nth) { return at("reply", "", "", nth); }

    // The first update of the "Upgrade" window after `time`.
    double firstUpdateAfter(double time) {
        const auto& upgrade = *window.progressWindows.at(2);
        for (os::Tick t : upgrade.positionTimes)
            if (t > time)
                return t;
        ADD_FAILURE() << "no update after " << time;
        return NAN;
    }
    double end() {
        return window.boxes.empty() ? NAN : static_cast<double>(window.boxes.back().time);
    }

    // The waits every download has, from the initialise command to the read-back reply.
    std::vector<Wait> commonWaits() {
        const double reset = command("reset");
        const double afterReset = firstUpdateAfter(reset) - 100;  // it follows a 100 ms sleep
        return {
            {"after the initialise command", 5000,
             command("version-request") - command("initialise")},
            {"for the version reply", 5000, reply(0) - command("version-request")},
            {"after the main erase", 15000,
             command("transfer p") - command("erase p") - kCommandPauseMs},
            {"after the reset command", 2000, afterReset - reset},
            {"before reading back", 8000, command("readback-on") - afterReset},
            {"for the read-back reply", 5000, reply(1) - command("version-request", 1)},
        };
    }

    void check(const std::string& run, const std::vector<Wait>& waits) {
        std::printf("%s (virtual time)\n", run.c_str());
        std::printf("  %-32s %10s %10s %8s\n", "wait", "expected", "measured", "off");
        for (const auto& w : waits) {
            const double off = 100.0 * (w.measuredMs - w.expectedMs) / w.expectedMs;
            std::printf("  %-32s %8.0f ms %8.0f ms %7.2f %%\n", w.what.c_str(), w.expectedMs,
                        w.measuredMs, off);
            EXPECT_LE(std::fabs(w.measuredMs - w.expectedMs), w.expectedMs / 100) << w.what;
        }
    }
};

// Every fixed sleep of a download that goes through, in order: initialise, version check with
// its 500 ms at 100 %, the images with their command pauses, reset, restart, read back, 500 ms.
double fixedSleepsMs(bool withTable) {
    const double mainImage = kCommandPauseMs + 15000 + kCommandPauseMs;
    const double tableImage = withTable ? kCommandPauseMs + 30000 + kCommandPauseMs : 0;
    return 5000 + 5000 + 500 + mainImage + tableImage + 2000 + 8000 + 5000 + 500;
}

TEST_F(Timeline, MainAndTableDownload) {
    run(printerOptions("301B10"));
    ASSERT_EQ(window.boxes.size(), 1u);
    ASSERT_EQ(window.boxes[0].caption, "Success!");

    auto waits = commonWaits();
    waits.insert(waits.begin() + 3, {"after the table erase", 30000,
                                     command("transfer t") - command("erase t") - kCommandPauseMs});
    waits.push_back({"whole run (press to message)", fixedSleepsMs(true), end()});
    check("301 printer, main and table image", waits);
}

TEST_F(Timeline, MainOnlyDownload) {
    run(printerOptions("503A10"));
    ASSERT_EQ(window.boxes.size(), 1u);
    ASSERT_EQ(window.boxes[0].caption, "Success!");

    auto waits = commonWaits();
    waits.push_back({"whole run (press to message)", fixedSleepsMs(false), end()});
    check("503 printer, main image only", waits);
}

TEST_F(Timeline, PrinterThatDoesNotReturnIsGivenTwentyFiveSeconds) {
    run(printerOptions("402B10", {"no-return"}));
    ASSERT_EQ(window.boxes.size(), 1u);

    const double reset = command("reset");
    check("402 printer that never returns",
          {{"reset to failure message", 2000 + 8000 + 25 * 1000, end() - reset}});
}

}  // namespace
}  // namespace pv::download::testing
