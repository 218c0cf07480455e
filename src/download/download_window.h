#pragma once
// What the download procedure needs of the main window, and nothing more: the selection and
// image fields it works on, the eight display texts, the "Download F/W" labels, the two buttons,
// message boxes owned by the window, the string table, and progress windows. The real main window
// implements it; tests implement it with a recording fake.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "link/transmit_progress.h"
#include "payload/catalogue.h"

namespace pv::download {

// Control ids of the main window's two buttons.
enum ButtonId : int {
    kDownLoadButton = 1000,
    kGetChecksumButton = 1001,
};

// String-table ids of the captions and messages the procedure loads.
enum StringId : unsigned {
    kUpgradeCaption = 1000,
    kInitializingCaption = 1001,
    kVersionCheckCaption = 1003,
    kNotConnected = 1010,
    kFailed = 1011,
    kIllegalPrinterType = 1012,
    kFailedVersionInformation = 1013,
    kNotConnectedTurnOffOn = 1014,
    kTimeOutError = 1015,
};

// The eight texts the window shows for the printer's reports, in the window's field order.
struct DisplayTexts {
    std::string afterMainChecksum;
    std::string afterMainVersion;
    std::string afterTableChecksum;
    std::string afterTableVersion;
    std::string beforeMainChecksum;
    std::string beforeMainVersion;
    std::string beforeTableChecksum;
    std::string beforeTableVersion;
};

// A modeless progress window, already created and shown. Destroying the object destroys the
// window and gives the owner back its previous enabled state.
class ProgressWindow : public link::TransmitProgress {
  public:
    virtual void SetRange(std::int32_t low, std::int32_t high) = 0;
    virtual void SetStep(std::int32_t step) = 0;
    virtual void StepIt() = 0;
    virtual void SetMessage(std::string_view text) = 0;
};

enum class BoxIcon { Warning, Information };

class DownloadWindow {
  public:
    virtual ~DownloadWindow() = default;

    virtual payload::ImageSelection& selection() = 0;
    virtual DisplayTexts& texts() = 0;
    // Writes the eight texts into their controls.
    virtual void PushTexts() = 0;
    // Writes the version codes and checksum labels of the two label pairs into their controls.
    virtual void ShowLabels() = 0;

    virtual void EnableButton(int controlId, bool enable) = 0;
    // Makes the control the dialog's next control, which gives it the keyboard focus.
    virtual void FocusControl(int controlId) = 0;
    // A modal message box owned by the window; returns when the user has dismissed it.
    virtual void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    virtual std::string LoadString(unsigned id) = 0;
    // Constructs a progress window captioned with string `titleId` and creates it.
    virtual std::unique_ptr<ProgressWindow> CreateProgress(unsigned titleId) = 0;
    // Drains the window thread's event queue, with or without a progress window, so that the
    // windows keep answering the desktop. A run calls it at least every 200 ms of every wait.
    virtual void PumpMessages() = 0;

    // For front ends that report stages as they happen (the windows do not): called as each
    // stage starts, with "initialise", "version-check", "send", "reset" or "read-back".
    virtual void StageBegins(std::string_view /*stage*/) {}
    // True once the user or the system asked the run to stop (an interrupt, a termination
    // request, the window closed). Outside a held stretch (StopsHeld) every wait then ends, no
    // further command but the reset goes out, and the reset runs if the printer was sent
    // anything; the run's outcome becomes Interrupted.
    virtual bool StopRequested() { return false; }
    // Called with true when an erase command has gone out, and with false once that area's image
    // has been streamed whole or its sending failed. A stop request in between is held until
    // then: a printer cut off after an erase has no firmware to start.
    virtual void StopsHeld(bool /*held*/) {}
    // Called with true when the first erase command has gone out, with about how long the
    // images will take from then (`msLeft`), and with false once the reset after them has been
    // sent (or the run ends without one). Meanwhile the printer has no firmware it could start
    // from: the front ends keep the desktop session from ending.
    virtual void FirmwareBeingWritten(bool /*writing*/, std::uint32_t /*msLeft*/) {}
};

}  // namespace pv::download
