#include "download/download_procedure.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "download/strings.h"
#include "link/printer_link.h"
#include "link/running_versions.h"
#include "link/transmit.h"
#include "payload/catalogue.h"
#include "platform/os/file_lock.h"
#include "platform/os/log.h"
#include "platform/usbport/usbport.h"

namespace pv::download {
namespace {

constexpr std::uint8_t kVersionSelector = '#';
constexpr std::uint16_t kMainArea = 0;
constexpr std::uint16_t kTableArea = 1;
constexpr int kReadBackModeOn = 3;
constexpr int kReadBackModeOff = 0;
constexpr std::uint32_t kMainTimeLimitMs = 35'000;
constexpr std::uint32_t kTableTimeLimitMs = 60'000;
constexpr int kReopenAttempts = 25;
constexpr std::int32_t kTimeOutCode = 2;

const char* const kErrorCaption = "Error";
const char* const kSuccessCaption = "Success!";
const char* const kVersionCheckBoxCaption = "Version Check";
const char* const kPleaseWait = "Please wait...";
const char* const kSuccessText = "Success!\nThis F/W was downloaded properly on printer.";
const char* const kUpToDateText =
    "Up to date.\nThe printer already runs this F/W; nothing was sent.";
const char* const kLoadingMain =
    "Loading the main firmware...\nDo not power off the printer during download.";
const char* const kLoadingTable =
    "Loading the table data...\nDo not power off the printer during download.";
const char* const kStoppedText =
    "Stopped on request; no image was cut off.\nDownload again to update the printer.";
const char* const kStandInRefusal =
    "This build of the updater carries test firmware only: it updates virtual printers only, "
    "and has left this printer as it was.\nTo update a real printer, build the updater with the "
    "maker's firmware images (cmake -DPV4410S_FIRMWARE_DIR=<folder>).";

#ifdef _WIN32
const char* const kLockUnusable =
    "The lock that keeps other copies of the updater away from this printer cannot be used, so "
    "nothing was sent to the printer:\n";
#else
const char* const kLockUnusable =
    "The lock file that keeps other copies of the updater away from this printer cannot be "
    "used, so nothing was sent to the printer:\n";
#endif

// The longest the windows go without a drain during a wait.
constexpr std::uint32_t kDrainSliceMs = 100;

// One log line per cause of a failure, naming the stage; the port adds what it knows of the
// cause (the device, the USB library's error, where to look).
void logCause(const char* stage, const std::string& what) {
    std::string line = std::string(stage) + ": " + what;
    if (std::string cause = usbport::TakeFailure(); !cause.empty())
        line += ": " + cause;
    os::logLine(line);
}

std::string checksumText(std::uint32_t checksum) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", checksum);
    return text;
}

}  // namespace

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Success:
            return "success";
        case Outcome::NotConnected:
            return "not-connected";
        case Outcome::PrinterLocked:
            return "printer-locked";
        case Outcome::LockUnusable:
            return "lock-unusable";
        case Outcome::WrongModel:
            return "wrong-model";
        case Outcome::StandInRefused:
            return "stand-in-refused";
        case Outcome::NotApplicable:
            return "not-applicable";
        case Outcome::VersionInfoFailed:
            return "version-information-failed";
        case Outcome::AssemblyFailed:
            return "assembly-failed";
        case Outcome::TimeOut:
            return "time-out";
        case Outcome::TransferFailed:
            return "transfer-failed";
        case Outcome::ReadBackFailed:
            return "read-back-failed";
        case Outcome::VerifyFailed:
            return "verification-failed";
        case Outcome::Interrupted:
            return "interrupted";
        case Outcome::UpToDate:
            return "up-to-date";
        case Outcome::PrinterBusy:
            return "printer-busy";
    }
    return "unknown";
}

std::string noFirmwareAdvice() {
    return std::string("the printer reports no valid main firmware (\"") +
           payload::kNoFirmwareVersion +
           "\": an image was cut off or the power failed during a download); restore it with "
           "\"pv4410s-update update --recover\", see " +
           std::string(kCommandLineManual);
}

bool runsSelection(const char* mainVersion, const char* tableVersion,
                   const payload::ImageSelection& selection) {
    return (selection.mainImageIndex == -1 ||
            std::strcmp(mainVersion, selection.mainLabelPair.version) == 0) &&
           (selection.tableImageIndex == -1 ||
            std::strcmp(tableVersion, selection.tableLabelPair.version) == 0);
}

void updateDownloadProgress(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent) {
    if (progress == nullptr)
        return;
    const std::uint32_t percent =
        msPerPercent == 0 ? 100 : os::ticksSince(start, os::tickCount()) / msPerPercent;
    if (percent < 100)
        progress->SetPos(static_cast<std::int32_t>(percent));
    else
        progress->PumpMessages();  // the bar stays put, the windows still answer
}

DownloadProcedure::DownloadProcedure(DownloadWindow& window,
                                     const payload::FirmwareCatalogue& catalogue,
                                     bool standInImages)
    : window_(window), catalogue_(catalogue), standInImages_(standInImages) {}

void DownloadProcedure::fail(Outcome outcome) {
    report_.outcome = outcome;
}

void DownloadProcedure::showBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    report_.message = text;
    window_.MessageBox(text, caption, icon);
}

void DownloadProcedure::showError(unsigned stringId, Outcome outcome) {
    fail(outcome);
    showBox(window_.LoadString(stringId), kErrorCaption, BoxIcon::Warning);
}

bool DownloadProcedure::stopped() {
    return !stopsHeld_ && window_.StopRequested();
}

void DownloadProcedure::holdStops(bool held) {
    if (held == stopsHeld_)
        return;
    stopsHeld_ = held;
    window_.StopsHeld(held);
}

void DownloadProcedure::markWriting(bool writing, std::uint32_t msLeft) {
    if (writing == writing_)
        return;
    writing_ = writing;
    window_.FirmwareBeingWritten(writing, msLeft);
}

void DownloadProcedure::pause(std::uint32_t ms) {
    os::trace("wait %u ms", ms);
    while (ms > 0 && !stopped()) {
        const std::uint32_t slice = std::min(ms, kDrainSliceMs);
        os::sleepMs(slice);
        window_.PumpMessages();
        ms -= slice;
    }
}

// Sleeps `rounds` times `ms`, moving the download's progress bar after each sleep (or, with no
// bar, draining the event queue).
void DownloadProcedure::waitWithProgress(int rounds, std::uint32_t ms, ProgressWindow* progress,
                                         os::Tick start, std::uint32_t msPerPercent) {
    os::trace("wait %d x %u ms", rounds, ms);
    for (int i = 0; i < rounds && !stopped(); ++i) {
        os::sleepMs(ms);
        if (progress != nullptr)
            updateDownloadProgress(progress, start, msPerPercent);
        else
            window_.PumpMessages();
    }
}

void DownloadProcedure::resetSelectionAndDisplays() {
    auto& selection = window_.selection();
    selection.mainImageIndex = -1;
    selection.tableImageIndex = -1;
    selection.msPerPercent = 0;
    selection.mainLabelPair = {};
    selection.tableLabelPair = {};
    window_.ShowLabels();
    window_.texts() = {};
    window_.PushTexts();
}

Outcome DownloadProcedure::runDownload() {
    window_.EnableButton(kDownLoadButton, false);
    window_.EnableButton(kGetChecksumButton, false);
    resetSelectionAndDisplays();
    report_ = {};
    stopsHeld_ = false;
    writing_ = false;
    const std::string started = utcNow();
    // No sleep, shutdown or idle action of the desktop until the printer runs again.
    const SleepInhibition noSleep;
    session_.emplace();

    // A failed initialise has told the printer nothing, so only the later stages reset it; a
    // stop after the initialise command resets it too.
    bool initialised = false;
    if (!initialisePrinter(initialised)) {
        if (initialised)
            resetPrinter();
    } else {
        if (!checkVersion()) {
            resetPrinter();
        } else if (!catalogue_.assembleImages(window_.selection())) {
            fail(Outcome::AssemblyFailed);
            logCause("assemble", "the images could not be copied or failed their check");
            resetPrinter();
        } else {
            upgrade();
        }
    }

    markWriting(false);  // a reset that could not be written ends the writing stretch too
    // A stop request ended the run early; the reset has run where a command had gone out.
    if (report_.outcome == Outcome::Interrupted)
        showBox(kStoppedText, kErrorCaption, BoxIcon::Warning);
    // Lets go of the printer: its kernel driver is bound again, other copies may reach it.
    session_.reset();
    appendHistory(record(started));
    window_.EnableButton(kDownLoadButton, true);
    window_.FocusControl(kDownLoadButton);
    return report_.outcome;
}

DownloadRecord DownloadProcedure::record(const std::string& started) const {
    const auto& texts = window_.texts();
    const auto& selection = window_.selection();
    auto versions = [](const std::string& main, const std::string& mainSum,
                       const std::string& table, const std::string& tableSum) {
        auto checksum = [](const std::string& text) -> std::optional<std::uint16_t> {
            if (text.empty())
                return std::nullopt;
            return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
        };
        return PrinterVersions{main, table, checksum(mainSum), checksum(tableSum)};
    };
    DownloadRecord r;
    r.start = started;
    r.end = utcNow();
    r.printer = report_.printer.key();
    r.serial = report_.printer.serial;
    r.port = report_.printer.portPath;
    r.before = versions(texts.beforeMainVersion, texts.beforeMainChecksum, texts.beforeTableVersion,
                        texts.beforeTableChecksum);
    r.after = versions(texts.afterMainVersion, texts.afterMainChecksum, texts.afterTableVersion,
                       texts.afterTableChecksum);
    if (report_.mainSent)
        r.imagesSent.push_back(std::string("main-") + selection.mainLabelPair.version);
    if (report_.tableSent)
        r.imagesSent.push_back(std::string("table-") + selection.tableLabelPair.version);
    r.outcome = outcomeName(report_.outcome);
    r.message = report_.message;
    return r;
}

bool DownloadProcedure::holdPrinter(const link::PrinterLink& link) {
    usbport::DeviceIdentity printer;
    const bool known = link.identity(printer);
    if (standInImages_ && (!known || printer.serial.rfind(kVirtualSerialPrefix, 0) != 0)) {
        fail(Outcome::StandInRefused);
        logCause("initialise", "refused printer \"" + printer.serial + "\" at " + printer.portPath +
                                   ": this build carries stand-in firmware for virtual printers");
        return false;
    }
    if (!known || !session_)
        return true;  // a port that cannot tell printers apart: nothing to bind to
    const auto bound = session_->bind(printer);
    if (bound == link::PrinterSession::Bind::Locked) {
        fail(Outcome::PrinterLocked);
        logCause("initialise", "the printer " + printer.key() +
                                   " is in use by another copy of the updater (" +
                                   os::FileLock::describe(link::printerLockPath(printer)) + ")");
        return false;
    }
    if (bound == link::PrinterSession::Bind::Unusable) {
        fail(Outcome::LockUnusable);
        logCause("initialise", "the printer " + printer.key() +
                                   " cannot be locked against other copies of the updater: " +
                                   session_->lockProblem());
        return false;
    }
    report_.printer = printer;
    return true;
}

void DownloadProcedure::upgrade() {
    auto& selection = window_.selection();
    auto progress = window_.CreateProgress(kUpgradeCaption);
    progress->SetRange(0, 100);
    progress->SetPos(0);
    const os::Tick start = os::tickCount();
    const std::uint32_t msPerPercent = selection.msPerPercent;

    const bool sent = sendImages(progress.get(), start, msPerPercent);
    selection.freeImages();
    resetPrinter();
    if (!sent)
        return;  // the send stage has shown its message

    waitWithProgress(80, 100, progress.get(), start, msPerPercent);  // the printer restarts
    if (stopped()) {
        fail(Outcome::Interrupted);
        return;
    }
    VersionText mainVersion = {};
    VersionText tableVersion = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
    const bool readBackOk = readBack(mainVersion, mainChecksum, tableVersion, tableChecksum,
                                     progress.get(), start, msPerPercent);
    if (!readBackOk && stopped()) {
        fail(Outcome::Interrupted);
        return;
    }
    if (readBackOk) {
        auto& texts = window_.texts();
        texts.afterMainVersion = mainVersion;
        texts.afterMainChecksum = checksumText(mainChecksum);
        if (selection.tableImageIndex != -1) {
            texts.afterTableVersion = tableVersion;
            texts.afterTableChecksum = checksumText(tableChecksum);
        }
        window_.PushTexts();
        progress->SetPos(100);
        pause(500);
    }
    progress.reset();
    reportReadBack(readBackOk, mainVersion, tableVersion);
}

void DownloadProcedure::reportReadBack(bool readBackOk, const VersionText& mainVersion,
                                       const VersionText& tableVersion) {
    const auto& selection = window_.selection();
    if (!readBackOk) {
        logCause("read back", "the printer did not come back or gave no valid version reply");
        showError(kFailed, Outcome::ReadBackFailed);
    } else if (!runsSelection(mainVersion, tableVersion, selection)) {
        logCause("read back", std::string("the printer runs main \"") + mainVersion +
                                  "\", table \"" + tableVersion + "\"; sent main \"" +
                                  selection.mainLabelPair.version + "\", table \"" +
                                  selection.tableLabelPair.version + "\"");
        showError(kFailed, Outcome::VerifyFailed);
    } else {
        fail(Outcome::Success);
        showBox(kSuccessText, kSuccessCaption, BoxIcon::Information);
    }
}

bool DownloadProcedure::initialisePrinter(bool& commandSent) {
    window_.StageBegins("initialise");
    commandSent = false;
    link::PrinterLink link;
    bool ok = false;
    if (!link.open()) {
        // A printer that another program holds or that prints is left alone, and said so.
        const bool busy = usbport::Busy();
        fail(busy ? Outcome::PrinterBusy : Outcome::NotConnected);
        logCause("initialise", busy ? "the printer is busy" : "printer not connected");
    } else if (!link.checkModel()) {
        fail(Outcome::WrongModel);
        logCause("initialise", "the device ID does not name the PV4410S");
    } else if (holdPrinter(link)) {
        if (skipUpToDate_ && upToDate(link)) {
            fail(Outcome::UpToDate);
        } else if (skipUpToDate_ && !(link.open() && link.checkModel())) {
            // The initialise follows a model check of its own link, as when nothing was asked.
            fail(Outcome::NotConnected);
            logCause("initialise", "printer not connected after the up-to-date check");
        } else if (stopped()) {
            fail(Outcome::Interrupted);
        } else {
            ok = link.sendInitialise();
            commandSent = ok;
            if (!ok) {
                fail(Outcome::TransferFailed);
                logCause("initialise", "the initialise command was not written");
            }
        }
    }
    if (!ok) {
        // While the link is still open.
        switch (report_.outcome) {
            case Outcome::StandInRefused:
                showBox(kStandInRefusal, kErrorCaption, BoxIcon::Warning);
                break;
            case Outcome::LockUnusable:
                showBox(std::string(kLockUnusable) + session_->lockProblem() + ".", kErrorCaption,
                        BoxIcon::Warning);
                break;
            case Outcome::WrongModel:
                showError(kIllegalPrinterType, report_.outcome);
                break;
            case Outcome::TransferFailed:
            case Outcome::Interrupted:
                showError(kFailed, report_.outcome);
                break;
            case Outcome::UpToDate:
                showBox(kUpToDateText, kVersionCheckBoxCaption, BoxIcon::Information);
                break;
            default:
                showError(kNotConnected, report_.outcome);
                break;
        }
        link.close();
        return false;
    }

    auto progress = window_.CreateProgress(kInitializingCaption);
    progress->SetRange(0, 100);
    progress->SetStep(1);
    progress->SetPos(0);
    progress->SetMessage(kPleaseWait);
    os::trace("wait 100 x 50 ms");
    for (int i = 0; i < 100 && !stopped(); ++i) {
        os::sleepMs(50);
        progress->StepIt();
    }
    progress.reset();
    link.close();
    if (stopped()) {
        fail(Outcome::Interrupted);
        return false;
    }
    return true;
}

bool DownloadProcedure::checkVersion() {
    window_.StageBegins("version-check");
    link::PrinterLink link;
    if (!link.open()) {
        logCause("version check", "printer not connected");
        showError(kNotConnectedTurnOffOn, Outcome::NotConnected);
        link.close();
        return false;
    }

    auto progress = window_.CreateProgress(kVersionCheckCaption);
    VersionText mainVersion = {};
    VersionText tableVersion = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
    const bool replied =
        requestVersions(link, *progress, mainVersion, mainChecksum, tableVersion, tableChecksum);
    if (!replied && stopped()) {
        fail(Outcome::Interrupted);
        progress.reset();
        link.close();
        return false;
    }
    if (!replied) {
        logCause("version check", "no valid version reply");
        showError(kFailedVersionInformation,
                  Outcome::VersionInfoFailed);  // while the progress window is still up
        progress.reset();
        link.close();
        return false;
    }

    const bool matched = selectImages(mainVersion, mainChecksum, tableVersion, tableChecksum);
    progress->SetPos(100);
    pause(500);
    progress.reset();

    if (!matched) {
        fail(Outcome::NotApplicable);
        logCause("version check", payload::reportsNoFirmware(mainVersion)
                                      ? noFirmwareAdvice()
                                      : std::string("the printer's main version ") + mainVersion +
                                            " is not in the version map");
        char text[160];
        std::snprintf(text, sizeof text,
                      "This program is not applicable on this printer.\n\nMain firm ware : %s / "
                      "%04X",
                      mainVersion, mainChecksum);
        showBox(text, kVersionCheckBoxCaption, BoxIcon::Information);
    }
    link.close();
    return matched;
}

bool DownloadProcedure::requestVersions(link::PrinterLink& link, ProgressWindow& progress,
                                        VersionText& main, std::uint32_t& mainChecksum,
                                        VersionText& table, std::uint32_t& tableChecksum) {
    progress.SetRange(0, 100);
    progress.SetPos(0);
    progress.SetMessage(kPleaseWait);
    const os::Tick stageStart = os::tickCount();
    if (stopped() || !link.sendVersionRequest(kVersionSelector))
        return false;
    os::trace("wait 50 x 100 ms");
    for (int i = 0; i < 50 && !stopped(); ++i) {
        os::sleepMs(100);
        const std::uint32_t percent = os::ticksSince(stageStart, os::tickCount()) / 50;
        if (percent < 100)
            progress.SetPos(static_cast<std::int32_t>(percent));
    }
    progress.SetPos(99);
    return !stopped() && link.readVersionReply(main, mainChecksum, table, tableChecksum);
}

bool DownloadProcedure::selectImages(const VersionText& main, std::uint32_t mainChecksum,
                                     const VersionText& table, std::uint32_t tableChecksum) {
    auto& selection = window_.selection();
    const bool matched = catalogue_.findImages(main, selection) ||
                         (payload::reportsNoFirmware(main) && !recoveryFamily_.empty() &&
                          catalogue_.findFamily(recoveryFamily_.c_str(), selection));
    catalogue_.fillLabels(selection);
    window_.ShowLabels();
    auto& texts = window_.texts();
    texts.beforeMainChecksum = checksumText(mainChecksum);
    texts.beforeMainVersion = main;
    if (selection.tableImageIndex != -1) {
        texts.beforeTableChecksum = checksumText(tableChecksum);
        texts.beforeTableVersion = table;
    }
    window_.PushTexts();
    return matched;
}

bool DownloadProcedure::upToDate(link::PrinterLink& link) {
    // A printer that needs nothing is told nothing and keeps running: it is asked in read-back
    // mode, which a running printer answers, on a link of its own; the link given is closed for
    // it, and the caller opens it again for the initialise.
    window_.StageBegins("up-to-date-check");
    link.close();
    link::PrinterLink look;
    link::RunningVersions reported;
    const bool replied =
        !stopped() && look.open() && look.checkModel() && link::readRunningVersions(look, reported);
    look.close();
    payload::ImageSelection images;
    if (!replied || !catalogue_.findImages(reported.main, images))
        return false;  // the version check after the initialise reports it as always
    catalogue_.fillLabels(images);
    if (!runsSelection(reported.main, reported.table, images))
        return false;
    selectImages(reported.main, reported.mainChecksum, reported.table, reported.tableChecksum);
    return true;
}

bool DownloadProcedure::sendImages(ProgressWindow* progress, os::Tick start,
                                   std::uint32_t msPerPercent) {
    window_.StageBegins("send");
    link::PrinterLink link;
    if (!link.open()) {
        logCause("send", "printer not connected");
        showError(kNotConnectedTurnOffOn, Outcome::NotConnected);
        link.close();
        return false;
    }

    auto& selection = window_.selection();
    bool ok = true;
    bool cut = false;  // a stop request came before an erase: the stage ends, nothing failed
    std::int32_t outCode = 0;
    if (selection.mainImageIndex != -1) {
        if (progress)
            progress->SetMessage(kLoadingMain);
        cut = stopped();
        ok = !cut && prepareArea(link, kMainArea, 150, progress, start, msPerPercent);
        if (ok) {
            ok = link::transmitImage(link, selection.mainImageData.get(), selection.mainImageSize,
                                     kMainTimeLimitMs, progress, start, msPerPercent, &outCode);
            report_.mainSent = ok;
            updateDownloadProgress(progress, start, msPerPercent);
        }
        // A stop never leaves a printer with a half-installed pair: once the main image is on
        // its way, a held stop also waits for the table data that belongs with it.
        if (!ok || selection.tableImageIndex == -1)
            holdStops(false);
    }
    if (selection.tableImageIndex != -1 && ok) {
        if (progress)
            progress->SetMessage(kLoadingTable);
        cut = stopped();
        ok = !cut && prepareArea(link, kTableArea, 300, progress, start, msPerPercent);
        if (ok) {
            ok = link::transmitImage(link, selection.tableImageData.get(), selection.tableImageSize,
                                     kTableTimeLimitMs, progress, start, msPerPercent, &outCode);
            report_.tableSent = ok;
        }
        holdStops(false);
    }
    if (cut) {
        fail(Outcome::Interrupted);
    } else if (!ok) {
        const bool timedOut = outCode == kTimeOutCode;
        logCause("send", timedOut ? "the transmission exceeded its time limit"
                                  : "a command or a chunk of the image was not written");
        showError(timedOut ? kTimeOutError : kFailed,
                  timedOut ? Outcome::TimeOut : Outcome::TransferFailed);
    }
    link.close();
    return ok;
}

bool DownloadProcedure::prepareArea(link::PrinterLink& link, std::uint16_t area, int eraseRounds,
                                    ProgressWindow* progress, os::Tick start,
                                    std::uint32_t msPerPercent) {
    if (!link.sendErase(area))
        return false;
    // The upgrade's time scale runs to 100 % at the end of the last image.
    const std::uint32_t elapsed = os::tickCount() - start;
    markWriting(true, std::max(100 * msPerPercent, elapsed) - elapsed);
    holdStops(true);
    waitWithProgress(eraseRounds, 100, progress, start, msPerPercent);
    return link.sendTransfer(area);
}

bool DownloadProcedure::resetPrinter() {
    window_.StageBegins("reset");
    link::PrinterLink link;
    if (!link.open()) {
        link.close();
        return false;
    }
    const bool written = link.sendReset();
    link.close();
    if (written)
        markWriting(false);
    pause(2000);
    return written;
}

bool DownloadProcedure::readBack(VersionText& mainVersion, std::uint32_t& mainChecksum,
                                 VersionText& tableVersion, std::uint32_t& tableChecksum,
                                 ProgressWindow* progress, os::Tick start,
                                 std::uint32_t msPerPercent) {
    window_.StageBegins("read-back");
    link::PrinterLink link;
    bool opened = false;
    for (int attempt = 0; attempt < kReopenAttempts && !opened && !stopped(); ++attempt) {
        opened = link.open();
        if (!opened) {
            link.close();
            pause(1000);
            updateDownloadProgress(progress, start, msPerPercent);
        }
    }
    if (!opened) {
        link.close();
        return false;
    }
    if (!link.setReadBackMode(kReadBackModeOn)) {
        link.close();
        return false;
    }

    bool result = false;
    if (link.sendVersionRequest(kVersionSelector)) {
        os::trace("wait 50 x 100 ms");
        for (int i = 0; i < 50 && !stopped(); ++i) {
            os::sleepMs(100);
            updateDownloadProgress(progress, start, msPerPercent);
            if (progress)
                progress->PumpMessages();
        }
        if (progress)
            progress->SetPos(99);
        result = !stopped() &&
                 link.readVersionReply(mainVersion, mainChecksum, tableVersion, tableChecksum);
    }
    const bool modeOff = link.setReadBackMode(kReadBackModeOff);
    link.close();
    return modeOff && result;
}

}  // namespace pv::download
