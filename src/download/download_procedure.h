#pragma once
// The download procedure that the main window's "DownLoad" button runs: initialise the printer,
// read its versions, pick and assemble the images, stream them, reset the printer, wait for it to
// return, read the versions again and tell the user the outcome. Everything runs on the window
// thread. Waits are sleeps of at most 100 ms, each followed by a progress update or a drain of the
// event queue, so the windows keep answering the desktop throughout.
//
// From the moment the printer passed the model check, the run holds it (link::PrinterSession):
// every later stage reaches only that printer, and no other copy of the tool reaches it.
//
// A stop request (DownloadWindow::StopRequested) never cuts an image: from an area's erase
// command until its image has been streamed whole (or its sending failed) the request is held;
// elsewhere the current wait ends at once. The run then sends no further erase, resets the printer
// if it was sent any command, records the run and ends as Interrupted.

#include <cstdint>
#include <optional>
#include <string>

#include "download/download_window.h"
#include "download/history.h"
#include "download/sleep_inhibitor.h"
#include "link/printer_link.h"
#include "link/printer_session.h"
#include "platform/os/clock.h"

namespace pv::payload {
class FirmwareCatalogue;
struct ImageSelection;
}  // namespace pv::payload

namespace pv::download {

// A version code as the printer reports it: six characters and a terminating zero.
using VersionText = char[7];

// How a run ended.
enum class Outcome {
    Success,
    NotConnected,       // no printer, or it could not be opened (the log says why)
    PrinterLocked,      // another copy of the tool holds the printer
    LockUnusable,       // the printer's lock file cannot be used (an administrator must see to it)
    WrongModel,         // the device ID names another model
    StandInRefused,     // a build with stand-in images met a printer that is not virtual
    NotApplicable,      // the printer's version is not in the version map
    VersionInfoFailed,  // the version request or reply failed
    AssemblyFailed,     // the images could not be copied or failed their check
    TimeOut,            // a transmission exceeded its time limit
    TransferFailed,     // a command or a chunk of an image was not written
    ReadBackFailed,     // the printer did not come back or did not answer
    VerifyFailed,       // it came back with versions other than those sent
    Interrupted,        // the front end asked the run to stop (StopRequested)
    UpToDate,           // the printer already runs the images' versions; nothing was sent
    PrinterBusy,        // another program holds the printer, or it prints; nothing was sent
};

// A short keyword for an outcome ("success", "not-connected", ...), for logs and records.
const char* outcomeName(Outcome outcome);

// What a run did, for the front end's records.
struct RunReport {
    Outcome outcome = Outcome::NotConnected;
    std::string message;              // the text of the box shown last, empty when none
    usbport::DeviceIdentity printer;  // empty until the model check passed
    bool mainSent = false;            // the main image went out whole
    bool tableSent = false;           // the table image went out whole
};

// True when a printer reporting `mainVersion` and `tableVersion` already runs the versions of the
// images `selection` names (its labels filled in): sending them would change nothing.
bool runsSelection(const char* mainVersion, const char* tableVersion,
                   const payload::ImageSelection& selection);

// Where a build whose images are the generated stand-ins may send them: only to a printer whose
// serial number says it is virtual.
inline constexpr char kVirtualSerialPrefix[] = "VIRTUAL-";

class DownloadProcedure {
  public:
    // `standInImages`: the catalogue's images are stand-ins, which must never reach a real
    // printer (the embedded images say whether they are).
    DownloadProcedure(DownloadWindow& window, const payload::FirmwareCatalogue& catalogue,
                      bool standInImages);

    // With `skip` on, a run first reads the versions of the printer it holds, before it tells it
    // anything, and ends with Outcome::UpToDate when it already runs the versions the images
    // install. Off (the windows' way) every run sends the images.
    void skipWhenUpToDate(bool skip) { skipUpToDate_ = skip; }

    // The whole run, from disabling the buttons to enabling and focusing "DownLoad" again.
    Outcome runDownload();
    const RunReport& report() const { return report_; }
    // Recovery: a printer that reports no valid main firmware receives the images of `family`
    // ("301", "402", ...), as if it ran that family's firmware. Other printers are not affected.
    void recoverFamily(std::string family) { recoveryFamily_ = std::move(family); }

    // The stages. Each makes its own printer link and closes it before it returns.
    // `commandSent`: the initialise command went out, so the printer wants a reset after a stop.
    bool initialisePrinter(bool& commandSent);
    bool checkVersion();
    bool sendImages(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent);
    bool resetPrinter();
    bool readBack(VersionText& mainVersion, std::uint32_t& mainChecksum, VersionText& tableVersion,
                  std::uint32_t& tableChecksum, ProgressWindow* progress, os::Tick start,
                  std::uint32_t msPerPercent);

  private:
    void resetSelectionAndDisplays();
    // What this run did, as a line of the download history.
    DownloadRecord record(const std::string& started) const;
    // From the "Upgrade" progress window to the final message: send, reset, read back, compare.
    void upgrade();
    void reportReadBack(bool readBackOk, const VersionText& mainVersion,
                        const VersionText& tableVersion);
    // After the model check: refuses a real printer to stand-in images, then binds the run to
    // the printer and takes its lock. False (with the outcome set) when the run must stop.
    bool holdPrinter(const link::PrinterLink& link);
    // Before the initialise: closes `link` and asks the held, running printer for its versions
    // on a link of its own; true (with the displays showing them) when it already runs the
    // images' versions.
    bool upToDate(link::PrinterLink& link);
    // Sends the version request and reads the reply after the printer's 5 s, moving `progress`.
    bool requestVersions(link::PrinterLink& link, ProgressWindow& progress, VersionText& main,
                         std::uint32_t& mainChecksum, VersionText& table,
                         std::uint32_t& tableChecksum);
    // Looks the images up for the printer's versions and shows both; true when they apply.
    bool selectImages(const VersionText& main, std::uint32_t mainChecksum, const VersionText& table,
                      std::uint32_t tableChecksum);
    // Erases `area`, waits `eraseRounds` x 100 ms and sends its transfer command: true when the
    // image stream may follow. Once the erase is out, stop requests are held (holdStops) until
    // the caller lets them go after the image.
    bool prepareArea(link::PrinterLink& link, std::uint16_t area, int eraseRounds,
                     ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent);
    // True when a stop was requested and is not held.
    bool stopped();
    void holdStops(bool held);
    // Tells the window when the printer starts and stops being without firmware it could start
    // from: from the first erase until the reset after it has been sent.
    void markWriting(bool writing, std::uint32_t msLeft = 0);
    void fail(Outcome outcome);
    void showError(unsigned stringId, Outcome outcome);
    void showBox(const std::string& text, const std::string& caption, BoxIcon icon);
    // Sleeps `ms` in slices of at most 100 ms, draining the event queue after each.
    void pause(std::uint32_t ms);
    void waitWithProgress(int rounds, std::uint32_t ms, ProgressWindow* progress, os::Tick start,
                          std::uint32_t msPerPercent);

    DownloadWindow& window_;
    const payload::FirmwareCatalogue& catalogue_;
    const bool standInImages_;
    bool skipUpToDate_ = false;
    std::optional<link::PrinterSession> session_;
    RunReport report_;
    std::string recoveryFamily_;
    bool stopsHeld_ = false;
    bool writing_ = false;
};

// The log line for a printer that reports no valid main firmware: how to restore it.
std::string noFirmwareAdvice();

// Moves the download's progress bar to the percentage of the time scale that has passed since
// `start`; from 100 on it leaves the bar alone and only drains the event queue.
void updateDownloadProgress(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent);

}  // namespace pv::download
