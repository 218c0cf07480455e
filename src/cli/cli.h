#pragma once
// pv4410s-update: the download procedure of the windows, run from a command line. The program's
// whole behaviour is run(); main() only hands it the process's streams. No Qt.

#include <span>
#include <string>
#include <vector>

#include "download/download_procedure.h"
#include "download/history.h"
#include "payload/embedded_images.h"
#include "platform/usbport/usbport.h"

namespace pv::cli {

class Console;

// Exit statuses, one per class of failure (the manual page and the README list them).
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitOther = 1,  // declined at the question, the images failed their check, no history
    kExitUsage = 2,
    kExitNotConnected = 3,
    kExitWrongModel = 4,
    kExitNotApplicable = 5,
    kExitVersionInfo = 6,
    kExitTimeOut = 7,
    kExitTransfer = 8,
    kExitReadBack = 9,  // read back or verification failed
    kExitLocked = 10,
    kExitStandIn = 11,       // a build with stand-in images met a real printer
    kExitLockUnusable = 12,  // the printer's lock file cannot be used
    kExitBusy = 13,          // another program holds the printer, or it prints
    kExitInterrupted = 130,
};

int exitStatus(download::Outcome outcome);

// What a run takes from its build; tests vary it.
struct BuildSettings {
    // The embedded images are stand-ins, which only a virtual printer may receive.
    bool standInImages = payload::kStandInImages;
};

// Runs the command line `args` (args[0] is the program's name) and returns the exit status.
// While it runs, SIGINT, SIGTERM and SIGHUP are handled: during a download they ask the run to
// stop (see DownloadWindow::StopRequested), elsewhere the process ends at once with status 130.
int run(std::span<char* const> args, Console& console, const BuildSettings& build = {});

// The interrupt: set by the signal handlers (or a test), read by the download's waits.
bool stopRequested();
void requestStop();
// While held (an erase is out and its image not yet whole), the first interrupt says the image
// is being finished.
void holdStops(bool held);

// What the history says `printer` last ran with valid firmware (download::recordedFirmware, with
// the families of the firmware catalogue).
download::RecordedFirmware recordedFirmware(const std::vector<std::string>& historyLines,
                                            const usbport::DeviceIdentity& printer);

}  // namespace pv::cli
