#pragma once
// The download procedure that the main window's "DownLoad" button runs: initialise the printer,
// read its versions, pick and assemble the images, stream them, reset the printer, wait for it to
// return, read the versions again and tell the user the outcome. Everything runs on the window
// thread; waits are plain sleeps followed by progress updates, which keep the windows painted.

#include <cstdint>

#include "download/download_window.h"
#include "platform/os/clock.h"

namespace pv::payload {
class FirmwareCatalogue;
}

namespace pv::download {

// A version code as the printer reports it: six characters and a terminating zero.
using VersionText = char[7];

class DownloadProcedure {
  public:
    DownloadProcedure(DownloadWindow& window, const payload::FirmwareCatalogue& catalogue);

    // The whole run, from disabling the buttons to enabling and focusing "DownLoad" again.
    void runDownload();

    // The stages. Each makes its own printer link and closes it before it returns.
    bool initialisePrinter();
    bool checkVersion();
    bool sendImages(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent);
    bool resetPrinter();
    bool readBack(VersionText& mainVersion, std::uint32_t& mainChecksum, VersionText& tableVersion,
                  std::uint32_t& tableChecksum, ProgressWindow* progress, os::Tick start,
                  std::uint32_t msPerPercent);

  private:
    void resetSelectionAndDisplays();
    // From the "Upgrade" progress window to the final message: send, reset, read back, compare.
    void upgrade();
    void reportReadBack(bool readBackOk, const VersionText& mainVersion,
                        const VersionText& tableVersion);
    void showError(unsigned stringId);

    DownloadWindow& window_;
    const payload::FirmwareCatalogue& catalogue_;
};

// Moves the download's progress bar to the percentage of the time scale that has passed since
// `start`; from 100 on it leaves the bar alone.
void updateDownloadProgress(ProgressWindow* progress, os::Tick start, std::uint32_t msPerPercent);

}  // namespace pv::download
