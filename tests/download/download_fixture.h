#pragma once
// Whole downloads against the virtual printer on the emulated bus, through the real libusb port,
// in virtual time, with a recording main window. A test puts a printer with its options and
// faults on the bus, presses "DownLoad" and then looks at three things: what the window was asked
// to show, what the printer received (its trace) and when.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "download/download_procedure.h"
#include "link/usb_identity.h"
#include "payload/catalogue.h"
#include "payload/embedded_images.h"
#include "recording_window.h"
#include "support/virtual_printer.h"

namespace pv::download::testing {

using Names = std::vector<std::string>;

inline const std::string kFailedText =
    "Failed!\nPlease turn the printer OFF and then ON, and download again.";
inline const std::string kTimeOutText =
    "Failed! Time out Error!\nPlease turn the printer OFF and then ON, and download again.";
inline const std::string kSuccessText = "Success!\nThis F/W was downloaded properly on printer.";

// The printer commands of a whole download of both images, and of the main image alone.
inline const Names kMainAndTableCommands = {
    "initialise", "version-request", "erase p",     "transfer p",      "erase t",
    "transfer t", "reset",           "readback-on", "version-request", "readback-off"};
inline const Names kMainOnlyCommands = {"initialise",      "version-request", "erase p",
                                        "transfer p",      "reset",           "readback-on",
                                        "version-request", "readback-off"};

// Options of a printer running `mainVersion` with the faults given by name ("throttle=9000").
vprinter::Options printerOptions(const std::string& mainVersion,
                                 const std::vector<std::string>& faults = {});

class DownloadOnPrinter : public pvtest::VirtualPrinterTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Puts a printer with `options` on the bus (at port 1-1, and `others` at 1-2, ...) and
    // presses "DownLoad".
    void run(const vprinter::Options& options, const std::vector<vprinter::Options>& others = {});

    // Names of the commands the printer (at port 1-1, or `printer`) accepted, in order ("erase
    // p", "version-request", ...).
    Names commands();
    static Names commands(pvtest::VirtualPrinter& printer);
    // The printer's events named `name`.
    std::vector<vprinter::TraceEvent> events(const std::string& name);
    // How many image streams the printer saw start.
    std::size_t streams() { return events("stream-start").size(); }

    // Exactly one message box, with this caption, text and icon.
    void expectOneBox(const std::string& caption, const std::string& text, BoxIcon icon);
    void expectOneError(const std::string& text) { expectOneBox("Error", text, BoxIcon::Warning); }
    // What every run ends with: no image held, no progress window left, "DownLoad" enabled and
    // focused as the last thing done, "Get\nChecksum" disabled from the start and never enabled.
    void expectCleanEnd();
    // The longest stretch of the run, in virtual ms, in which the event queue was not drained,
    // leaving out the time the printer itself took to accept a transfer.
    std::uint64_t longestUndrained();

    RecordingWindow window;
    // The catalogue the run picks from; the embedded images unless a test replaces it.
    const payload::FirmwareCatalogue* catalogue = &embedded();
    // Whether the run treats its images as stand-ins, which only virtual printers may receive.
    bool standInImages = payload::kStandInImages;
    Outcome outcome = Outcome::NotConnected;
    std::vector<pvtest::VirtualPrinter*> printers;  // of the last run, in port order
    // Virtual time the printer took inside USB transfers: (clock after, ms taken).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> transferTime;

    static const payload::FirmwareCatalogue& embedded();
};

}  // namespace pv::download::testing
