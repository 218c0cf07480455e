// Every way a download can fail, each provoked by the printer (or by the path to it): exactly one
// message with its text and icon, the commands the printer received (the reset after every
// failure past the initialise stage), what the "After download" row shows, and the clean end.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "download_fixture.h"
#include "refusing_port.h"

namespace pv::download::testing {
namespace {

const std::string kNotConnected = "Printer is not connected.";
const std::string kIllegalType = "Illegal Printer Type.";
const std::string kFailedVersion =
    "Failed Version Information!\nPlease turn the printer OFF and then ON, and download again.";
const std::string kNotConnectedTurnOffOn =
    "Printer is not connected.\nPlease turn the printer OFF and then ON, and download again.";

const Names kNone = {};
const Names kInitialisedThenReset = {"initialise", "reset"};
const Names kAskedThenReset = {"initialise", "version-request", "reset"};
const Names kMainSentThenReset = {"initialise", "version-request", "erase p", "transfer p",
                                  "reset"};
const Names kBothSentThenReset = {"initialise", "version-request", "erase p", "transfer p",
                                  "erase t",    "transfer t",      "reset"};

// Short enough that a stalled transfer costs little real time, long enough for any real one.
constexpr usbport::Timeouts kQuickTimeouts = {500, 500, 500};

struct Failure {
    const char* name;
    std::vector<std::string> faults;  // of a "301B10" printer
    std::string text;
    Names commands;
    int progressWindowsAtBox;  // progress windows on screen while the message shows
    std::string afterMain = "";
    std::string afterTable = "";
};

std::ostream& operator<<(std::ostream& out, const Failure& failure) {
    return out << failure.name;
}

Names append(Names names, const Names& more) {
    names.insert(names.end(), more.begin(), more.end());
    return names;
}

// A stalled transfer ends only by the port's time-out.
bool stalls(const Failure& failure) {
    for (const auto& fault : failure.faults)
        if (fault.starts_with("stall"))
            return true;
    return false;
}

const Failure kFailures[] = {
    // Initialise: nothing was asked of the printer yet, so it is not reset.
    {"Absent", {"absent"}, kNotConnected, kNone, 0},
    {"NoBulkInPipe", {"no-bulk-in"}, kNotConnected, kNone, 0},
    {"DeviceIdWithoutModel", {"id-no-model"}, kIllegalType, kNone, 0},
    {"ModelInLowerCase", {"id-model-case"}, kIllegalType, kNone, 0},
    {"ModelWithoutSpace", {"id-model-spacing"}, kIllegalType, kNone, 0},
    {"EmptyDeviceId", {"id-empty"}, kIllegalType, kNone, 0},
    {"InitialiseRefused", {"refuse=initialise"}, kFailedText, kNone, 0},
    {"InitialiseWriteStalled", {"stall-write=1"}, kFailedText, kNone, 0},

    // Version check: the message shows while its progress window is up.
    {"VersionRequestRefused", {"refuse=version-request"}, kFailedVersion, kInitialisedThenReset, 1},
    {"ReplyOneByteShort", {"short-reply=47"}, kFailedVersion, kAskedThenReset, 1},
    {"EmptyReply", {"short-reply=0"}, kFailedVersion, kAskedThenReset, 1},
    {"ReplyWithBadHeader", {"bad-header"}, kFailedVersion, kAskedThenReset, 1},
    {"ReplyNeverComes", {"stall-read"}, kFailedVersion, kAskedThenReset, 1},

    // Send: the message shows over the "Upgrade" window, before the reset.
    {"MainImageTimesOut", {"throttle=9000"}, kTimeOutText, kMainSentThenReset, 1},
    {"TableImageTimesOut", {"throttle=16000"}, kTimeOutText, kBothSentThenReset, 1},
    {"MainImageWrittenShort", {"short-write=2"}, kFailedText, kMainSentThenReset, 1},
    {"TableImageWrittenShort", {"short-write=200"}, kFailedText, kBothSentThenReset, 1},
    {"MainImageWriteRefused", {"fail-write=6"}, kFailedText, kMainSentThenReset, 1},
    {"MainImageWriteStalled", {"stall-write=5"}, kFailedText, kMainSentThenReset, 1},
    {"EraseRefused", {"refuse=erase"}, kFailedText, kAskedThenReset, 1},
    {"TransferRefused",
     {"refuse=transfer"},
     kFailedText,
     {"initialise", "version-request", "erase p", "reset"},
     1},
    // Gone for good: the reset stage finds no printer and sends nothing.
    {"UnpluggedDuringMainImage",
     {"disconnect-at=3"},
     kFailedText,
     {"initialise", "version-request", "erase p", "transfer p"},
     1},

    // Read back.
    {"NeverReturnsAfterReset", {"no-return"}, kFailedText, kBothSentThenReset, 0},
    {"ReadBackModeRefused", {"refuse=readback-on"}, kFailedText, kBothSentThenReset, 0},
    {"ReadBackModeOffRefused",
     {"refuse=readback-off"},
     kFailedText,
     append(kBothSentThenReset, {"readback-on", "version-request"}),
     0},

    // Back with versions other than those sent: shown, and reported as a failure.
    {"ReturnsWithAnotherMainVersion",
     {"return-version=301F12"},
     kFailedText,
     kMainAndTableCommands,
     0,
     "301F12",
     "705B11"},
    {"ReturnsWithTheOldMainVersion",
     {"return-version=301F10"},
     kFailedText,
     kMainAndTableCommands,
     0,
     "301F10",
     "705B11"},
    {"MainVersionInOtherCase",
     {"return-version=301f11"},
     kFailedText,
     kMainAndTableCommands,
     0,
     "301f11",
     "705B11"},
    {"ReturnsWithAnotherTableVersion",
     {"return-version=301F11:705B12"},
     kFailedText,
     kMainAndTableCommands,
     0,
     "301F11",
     "705B12"},
};

class FailingDownload : public DownloadOnPrinter, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailingDownload, ShowsOneMessageResetsThePrinterAfterInitialiseAndEndsClean) {
    const Failure& failure = GetParam();
    std::optional<usbport::LibusbPort> quick;
    std::optional<usbport::ScopedPort> installed;
    if (stalls(failure)) {
        quick.emplace(kQuickTimeouts);
        installed.emplace(*quick);
    }

    run(printerOptions("301B10", failure.faults));

    expectOneError(failure.text);
    EXPECT_EQ(window.boxes[0].progressWindowsOpen, failure.progressWindowsAtBox);
    EXPECT_EQ(commands(), failure.commands);
    EXPECT_EQ(window.pushed.afterMainVersion, failure.afterMain);
    EXPECT_EQ(window.pushed.afterTableVersion, failure.afterTable);
    EXPECT_EQ(window.pushed.afterMainChecksum.size(), failure.afterMain.empty() ? 0u : 4u);
    EXPECT_EQ(window.pushed.afterTableChecksum.size(), failure.afterTable.empty() ? 0u : 4u);
    expectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(Printer, FailingDownload, ::testing::ValuesIn(kFailures),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(DownloadOnPrinter, TimeOutStopsTheStreamAndTheTableIsNotTried) {
    run(printerOptions("301B10", {"throttle=9000"}));
    const auto verdicts = events("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("area"), "p");
    EXPECT_EQ(verdicts[0].field("reason"), "cut short by reset");
    // 35 s at 9,000 bytes per second: the first chunk written after the limit is the last.
    EXPECT_EQ(verdicts[0].field("writes"), "77");
}

// The printer cannot be reached at one stage although it was at the one before.
struct Unreachable {
    const char* name;
    int refusedOpen;  // the stages open in turn: initialise 1, version check 2, send 3
    Names commands;
    int progressWindowsAtBox;
};

std::ostream& operator<<(std::ostream& out, const Unreachable& stage) {
    return out << stage.name;
}

class UnreachableAtStage : public DownloadOnPrinter,
                           public ::testing::WithParamInterface<Unreachable> {};

TEST_P(UnreachableAtStage, ShowsOneMessageAndResetsThePrinter) {
    const Unreachable& stage = GetParam();
    RefusingPort port({stage.refusedOpen});
    usbport::ScopedPort installed(port);
    run(printerOptions("301B10"));

    expectOneError(stage.refusedOpen == 1 ? kNotConnected : kNotConnectedTurnOffOn);
    EXPECT_EQ(window.boxes[0].progressWindowsOpen, stage.progressWindowsAtBox);
    EXPECT_EQ(commands(), stage.commands);
    EXPECT_EQ(streams(), 0u);
    expectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(Stage, UnreachableAtStage,
                         ::testing::Values(Unreachable{"Initialise", 1, kNone, 0},
                                           Unreachable{"VersionCheck", 2, kInitialisedThenReset, 0},
                                           Unreachable{"Send", 3, kAskedThenReset, 1}),
                         [](const auto& param) { return std::string(param.param.name); });

// The embedded images with one byte of the table image changed.
class DamagedTable final : public payload::ImageSource {
  public:
    DamagedTable() {
        const auto table = payload::embeddedImages().image(payload::kTableImage);
        bytes_.assign(table.begin(), table.end());
        bytes_[bytes_.size() / 2] ^= 0x01;
    }
    std::span<const std::uint8_t> image(std::size_t index) const override {
        if (index == payload::kTableImage)
            return bytes_;
        return payload::embeddedImages().image(index);
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

TEST_F(DownloadOnPrinter, FailedAssemblyShowsNothingSendsNothingAndResets) {
    const DamagedTable damaged;
    const payload::FirmwareCatalogue damagedCatalogue(damaged);
    const payload::FirmwareCatalogue noMemory(payload::embeddedImages(),
                                              [](std::uint32_t) { return nullptr; });
    for (const auto* tried : {&damagedCatalogue, &noMemory}) {
        window = RecordingWindow();
        catalogue = tried;
        run(printerOptions("301D10"));
        EXPECT_TRUE(window.boxes.empty());
        EXPECT_EQ(commands(), kAskedThenReset);
        EXPECT_EQ(streams(), 0u);
        EXPECT_EQ(window.pushed.beforeMainVersion, "301D10");
        EXPECT_EQ(window.shownMainLabel, "301F11");
        EXPECT_EQ(window.progressWindows.size(), 2u);  // no "Upgrade" window
        expectCleanEnd();
    }
}

}  // namespace
}  // namespace pv::download::testing
