#include "download/download_procedure.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "link/printer_link.h"
#include "link/transmit.h"
#include "payload/catalogue.h"

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
const char* const kLoadingMain =
    "Loading the main firmware...\nDo not power off the printer during download.";
const char* const kLoadingTable =
    "Loading the table data...\nDo not power off the printer during download.";

std::string checksumText(std::uint32_t checksum) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", checksum);
    return text;
}

// Sleeps `rounds` times `ms`, moving the download's progress bar after each sleep.
void waitWithProgress(int rounds, std::uint32_t ms, ProgressWindow* progress, os::Tick start,
                      std::uint32_t msPerPercent) {
    for (int i = 0; i < rounds; ++i) {
        os::sleepMs(ms);
        updateDownloadProgress(progress, start, msPerPercent);
    }
}

}  // namespace

void updateDownloadProgress(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent) {
    if (progress == nullptr || msPerPercent == 0)
        return;
    const std::uint32_t percent = os::ticksSince(start, os::tickCount()) / msPerPercent;
    if (percent < 100)
        progress->SetPos(static_cast<std::int32_t>(percent));
}

DownloadProcedure::DownloadProcedure(DownloadWindow& window,
                                     const payload::FirmwareCatalogue& catalogue)
    : window_(window), catalogue_(catalogue) {}

void DownloadProcedure::showError(unsigned stringId) {
    window_.MessageBox(window_.LoadString(stringId), kErrorCaption, BoxIcon::Warning);
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

void DownloadProcedure::runDownload() {
    window_.EnableButton(kDownLoadButton, false);
    window_.EnableButton(kGetChecksumButton, false);
    resetSelectionAndDisplays();

    // A failed initialise has told the printer nothing, so only the later stages reset it.
    if (initialisePrinter()) {
        if (checkVersion() && catalogue_.assembleImages(window_.selection())) {
            upgrade();
        } else {
            resetPrinter();
        }
    }

    window_.EnableButton(kDownLoadButton, true);
    window_.FocusControl(kDownLoadButton);
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
    VersionText mainVersion = {};
    VersionText tableVersion = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
    const bool readBackOk = readBack(mainVersion, mainChecksum, tableVersion, tableChecksum,
                                     progress.get(), start, msPerPercent);
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
        os::sleepMs(500);
    }
    progress.reset();
    reportReadBack(readBackOk, mainVersion, tableVersion);
}

void DownloadProcedure::reportReadBack(bool readBackOk, const VersionText& mainVersion,
                                       const VersionText& tableVersion) {
    const auto& selection = window_.selection();
    const bool mainDiffers = selection.mainImageIndex != -1 &&
                             std::strcmp(mainVersion, selection.mainLabelPair.version) != 0;
    const bool tableDiffers = selection.tableImageIndex != -1 &&
                              std::strcmp(tableVersion, selection.tableLabelPair.version) != 0;
    if (!readBackOk || mainDiffers || tableDiffers) {
        showError(kFailed);
    } else {
        window_.MessageBox(kSuccessText, kSuccessCaption, BoxIcon::Information);
    }
}

bool DownloadProcedure::initialisePrinter() {
    link::PrinterLink link;
    unsigned failure = 0;
    if (!link.open()) {
        failure = kNotConnected;
    } else if (!link.checkModel()) {
        failure = kIllegalPrinterType;
    } else if (!link.sendInitialise()) {
        failure = kFailed;
    }
    if (failure != 0) {
        showError(failure);  // while the link is still open
        link.close();
        return false;
    }

    auto progress = window_.CreateProgress(kInitializingCaption);
    progress->SetRange(0, 100);
    progress->SetStep(1);
    progress->SetPos(0);
    progress->SetMessage(kPleaseWait);
    for (int i = 0; i < 100; ++i) {
        os::sleepMs(50);
        progress->StepIt();
    }
    progress.reset();
    link.close();
    return true;
}

bool DownloadProcedure::checkVersion() {
    link::PrinterLink link;
    if (!link.open()) {
        showError(kNotConnectedTurnOffOn);
        link.close();
        return false;
    }

    auto progress = window_.CreateProgress(kVersionCheckCaption);
    progress->SetRange(0, 100);
    progress->SetPos(0);
    progress->SetMessage(kPleaseWait);
    const os::Tick stageStart = os::tickCount();

    VersionText mainVersion = {};
    VersionText tableVersion = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
    bool replied = false;
    if (link.sendVersionRequest(kVersionSelector)) {
        for (int i = 0; i < 50; ++i) {
            os::sleepMs(100);
            const std::uint32_t percent = os::ticksSince(stageStart, os::tickCount()) / 50;
            if (percent < 100)
                progress->SetPos(static_cast<std::int32_t>(percent));
        }
        progress->SetPos(99);
        replied = link.readVersionReply(mainVersion, mainChecksum, tableVersion, tableChecksum);
    }
    if (!replied) {
        showError(kFailedVersionInformation);  // while the progress window is still up
        progress.reset();
        link.close();
        return false;
    }

    auto& selection = window_.selection();
    const bool matched = catalogue_.findImages(mainVersion, selection);
    catalogue_.fillLabels(selection);
    window_.ShowLabels();

    auto& texts = window_.texts();
    texts.beforeMainChecksum = checksumText(mainChecksum);
    texts.beforeMainVersion = mainVersion;
    if (selection.tableImageIndex != -1) {
        texts.beforeTableChecksum = checksumText(tableChecksum);
        texts.beforeTableVersion = tableVersion;
    }
    window_.PushTexts();
    progress->SetPos(100);
    os::sleepMs(500);
    progress.reset();

    if (!matched) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "This program is not applicable on this printer.\n\nMain firm ware : %s / "
                      "%04X",
                      mainVersion, mainChecksum);
        window_.MessageBox(text, kVersionCheckBoxCaption, BoxIcon::Information);
    }
    link.close();
    return matched;
}

bool DownloadProcedure::sendImages(ProgressWindow* progress, os::Tick start,
                                   std::uint32_t msPerPercent) {
    link::PrinterLink link;
    if (!link.open()) {
        showError(kNotConnectedTurnOffOn);
        link.close();
        return false;
    }

    auto& selection = window_.selection();
    bool ok = true;
    std::int32_t outCode = 0;
    if (selection.mainImageIndex != -1) {
        if (progress)
            progress->SetMessage(kLoadingMain);
        if (!link.sendErase(kMainArea)) {
            ok = false;
        } else {
            waitWithProgress(150, 100, progress, start, msPerPercent);
            if (!link.sendTransfer(kMainArea)) {
                ok = false;
            } else {
                ok = link::transmitImage(link, selection.mainImageData.get(),
                                         selection.mainImageSize, kMainTimeLimitMs, progress, start,
                                         msPerPercent, &outCode);
                updateDownloadProgress(progress, start, msPerPercent);
            }
        }
    }
    if (selection.tableImageIndex != -1 && ok) {
        if (progress)
            progress->SetMessage(kLoadingTable);
        if (!link.sendErase(kTableArea)) {
            ok = false;
        } else {
            waitWithProgress(300, 100, progress, start, msPerPercent);
            if (!link.sendTransfer(kTableArea)) {
                ok = false;
            } else {
                ok = link::transmitImage(link, selection.tableImageData.get(),
                                         selection.tableImageSize, kTableTimeLimitMs, progress,
                                         start, msPerPercent, &outCode);
            }
        }
    }
    if (!ok)
        showError(outCode == kTimeOutCode ? kTimeOutError : kFailed);
    link.close();
    return ok;
}

bool DownloadProcedure::resetPrinter() {
    link::PrinterLink link;
    if (!link.open()) {
        link.close();
        return false;
    }
    const bool written = link.sendReset();
    link.close();
    os::sleepMs(2000);
    return written;
}

bool DownloadProcedure::readBack(VersionText& mainVersion, std::uint32_t& mainChecksum,
                                 VersionText& tableVersion, std::uint32_t& tableChecksum,
                                 ProgressWindow* progress, os::Tick start,
                                 std::uint32_t msPerPercent) {
    link::PrinterLink link;
    bool opened = false;
    for (int attempt = 0; attempt < kReopenAttempts && !opened; ++attempt) {
        opened = link.open();
        if (!opened) {
            link.close();
            os::sleepMs(1000);
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
        for (int i = 0; i < 50; ++i) {
            os::sleepMs(100);
            updateDownloadProgress(progress, start, msPerPercent);
            if (progress)
                progress->PumpMessages();
        }
        if (progress)
            progress->SetPos(99);
        result = link.readVersionReply(mainVersion, mainChecksum, tableVersion, tableChecksum);
    }
    const bool modeOff = link.setReadBackMode(kReadBackModeOff);
    link.close();
    return modeOff && result;
}

}  // namespace pv::download
