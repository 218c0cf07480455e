// Whole downloads that go through: each printer family receives its images and reports the new
// versions. (A printer whose version is not in the map is a row of the fault matrix.)

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "download_fixture.h"

namespace pv::download::testing {
namespace {

// "0x1A2B" in the printer's trace is shown as "1A2B".
std::string shown(const std::string& traceHex) {
    return traceHex.substr(2);
}

std::string field(const std::vector<vprinter::TraceEvent>& events, std::size_t index,
                  const std::string& key) {
    return index < events.size() ? events[index].field(key) : std::string("<no event>");
}

const RecordedProgress& progressWindow(const RecordingWindow& window, std::size_t index) {
    static const RecordedProgress none;
    return index < window.progressWindows.size() ? *window.progressWindows[index] : none;
}

TEST_F(DownloadOnPrinter, Family301ReceivesMainAndTableAndBothVersionsAreCompared) {
    run(printerOptions("301B10"));

    EXPECT_EQ(commands(), kMainAndTableCommands);
    const auto verdicts = events("verdict");
    ASSERT_EQ(verdicts.size(), 2u);
    EXPECT_EQ(verdicts[0].field("area"), "p");
    EXPECT_EQ(verdicts[0].field("result"), "valid");
    EXPECT_EQ(verdicts[1].field("area"), "t");
    EXPECT_EQ(verdicts[1].field("result"), "valid");
    expectOneBox("Success!", kSuccessText, BoxIcon::Information);
    EXPECT_EQ(window.boxes[0].progressWindowsOpen, 0);

    // Before: what the printer started with; after: what it reported on its way back.
    const auto start = events("start");
    const auto back = events("back");
    const DisplayTexts& shownTexts = window.pushed;
    EXPECT_EQ(shownTexts.beforeMainVersion, "301B10");
    EXPECT_EQ(shownTexts.beforeMainChecksum, shown(field(start, 0, "main_sum")));
    EXPECT_EQ(shownTexts.beforeTableVersion, "705A10");
    EXPECT_EQ(shownTexts.beforeTableChecksum, shown(field(start, 0, "table_sum")));
    EXPECT_EQ(shownTexts.afterMainVersion, "301F11");
    EXPECT_EQ(shownTexts.afterMainChecksum, shown(field(back, 0, "main_sum")));
    EXPECT_EQ(shownTexts.afterTableVersion, "705B11");
    EXPECT_EQ(shownTexts.afterTableChecksum, shown(field(back, 0, "table_sum")));
    EXPECT_EQ(window.shownMainLabel, "301F11");
    EXPECT_EQ(window.shownTableLabel, "705B11");
    expectCleanEnd();
}

TEST_F(DownloadOnPrinter, ProgressWindowsOfARunTheirCaptionsScalesAndMessages) {
    run(printerOptions("301C10"));
    ASSERT_EQ(window.progressWindows.size(), 3u);

    const auto& initialising = progressWindow(window, 0);
    EXPECT_EQ(initialising.titleId, kInitializingCaption);
    EXPECT_EQ(initialising.step, 1);
    std::vector<std::int32_t> zeroToHundred(101);
    std::iota(zeroToHundred.begin(), zeroToHundred.end(), 0);
    EXPECT_EQ(initialising.positions, zeroToHundred);  // SetPos(0), then 100 steps of 1
    EXPECT_EQ(initialising.messages, Names{"Please wait..."});

    // Version check: 2% every 100 ms of its own 5 s, then 99 and 100.
    const auto& checking = progressWindow(window, 1);
    EXPECT_EQ(checking.titleId, kVersionCheckCaption);
    std::vector<std::int32_t> expected{0};
    for (int p = 2; p < 100; p += 2)
        expected.push_back(p);
    expected.insert(expected.end(), {99, 100});
    EXPECT_EQ(checking.positions, expected);
    EXPECT_EQ(checking.messages, Names{"Please wait..."});

    // Upgrade: one scale of 135.5 s over the whole download, never past 99 before the end.
    const auto& upgrade = progressWindow(window, 2);
    EXPECT_EQ(upgrade.titleId, kUpgradeCaption);
    EXPECT_EQ(upgrade.low, 0);
    EXPECT_EQ(upgrade.high, 100);
    EXPECT_EQ(upgrade.messages,
              (Names{"Loading the main firmware...\nDo not power off the printer during download.",
                     "Loading the table data...\nDo not power off the printer during download."}));
    ASSERT_GE(upgrade.positions.size(), 3u);
    EXPECT_TRUE(std::is_sorted(upgrade.positions.begin(), upgrade.positions.end() - 2));
    const auto last = upgrade.positions.end();
    EXPECT_EQ(std::vector<std::int32_t>(last - 2, last), (std::vector<std::int32_t>{99, 100}));
    // 60.4 s of the 135.5 s scale have passed when the read-back reply is due.
    EXPECT_EQ(*(last - 3), 44);
    EXPECT_GT(upgrade.pumps, 0);

    // The images are held while they are sent and are gone once the printer restarts (the updates
    // while the stream goes out share the virtual time of the reset: streaming takes none).
    ASSERT_FALSE(upgrade.imagesHeld.empty());
    EXPECT_TRUE(upgrade.imagesHeld.front());
    const auto reset = events("gone").at(0).timeMs;
    for (std::size_t i = 0; i < upgrade.positions.size(); ++i) {
        if (upgrade.positionTimes[i] > reset) {
            EXPECT_FALSE(upgrade.imagesHeld[i]) << "update at " << upgrade.positionTimes[i];
        }
    }
    for (const auto& p : window.progressWindows)
        EXPECT_TRUE(p->destroyed);
}

struct Family {
    const char* printerVersion;
    const char* installed;
};

class MainOnlyFamily : public DownloadOnPrinter, public ::testing::WithParamInterface<Family> {};

TEST_P(MainOnlyFamily, ReceivesTheMainImageOnlyAndTheTableRowsStayEmpty) {
    const Family family = GetParam();
    // The table version the printer reports after the download is neither shown nor compared.
    run(printerOptions(family.printerVersion,
                       {std::string("return-version=") + family.installed + ":705Z99"}));

    EXPECT_EQ(commands(), kMainOnlyCommands);
    const auto verdicts = events("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("area"), "p");
    EXPECT_EQ(verdicts[0].field("result"), "valid");
    expectOneBox("Success!", kSuccessText, BoxIcon::Information);

    const DisplayTexts& shownTexts = window.pushed;
    EXPECT_EQ(shownTexts.beforeMainVersion, family.printerVersion);
    EXPECT_EQ(shownTexts.afterMainVersion, family.installed);
    EXPECT_EQ(shownTexts.beforeMainChecksum.size(), 4u);
    EXPECT_EQ(shownTexts.afterMainChecksum.size(), 4u);
    EXPECT_EQ(window.shownMainLabel, family.installed);
    EXPECT_EQ(window.shownTableLabel, "");
    for (const std::string* text : {&shownTexts.beforeTableVersion, &shownTexts.beforeTableChecksum,
                                    &shownTexts.afterTableVersion, &shownTexts.afterTableChecksum})
        EXPECT_EQ(*text, "");
    EXPECT_EQ(window.selection_.msPerPercent, 520u);
    expectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(Families, MainOnlyFamily,
                         ::testing::Values(Family{"402A10", "402B11"}, Family{"503C10", "503H11"},
                                           Family{"604F10", "604F11"}),
                         [](const auto& param) { return std::string(param.param.printerVersion); });

TEST_F(DownloadOnPrinter, AnotherPressBlanksWhatTheLastRunLeft) {
    run(printerOptions("402A10"));
    ASSERT_EQ(window.pushed.afterMainVersion, "402B11");
    window.boxes.clear();
    window.events.clear();

    run(printerOptions("301A10", {"absent"}));
    expectOneError("Printer is not connected.");
    const DisplayTexts empty;
    EXPECT_EQ(window.pushed.beforeMainVersion, empty.beforeMainVersion);
    EXPECT_EQ(window.pushed.afterMainVersion, "");
    EXPECT_EQ(window.pushed.afterMainChecksum, "");
    EXPECT_EQ(window.shownMainLabel, "");
    EXPECT_EQ(window.selection_.mainImageIndex, -1);
    EXPECT_EQ(window.selection_.msPerPercent, 0u);
    expectCleanEnd();
}

}  // namespace
}  // namespace pv::download::testing
