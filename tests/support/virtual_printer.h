#pragma once
// Test support for everything that talks USB to the PV4410S: an in-process virtual printer on an
// emulated bus (umockdev), driven by the same virtual clock as the code under test. Built with
// PV_VPRINTER_MODEL_BUS (always on Windows), the printers are presented as the USB printer class
// driver instead (virtual-printer/usbprint), to the usbprint port: the same API, no preload, and
// what is said below of libusb and device addresses holds for the usbprint port and the
// printers' appearances.
//
// Use:
//
//   // CMake: target_link_libraries(my_test PRIVATE pv_test_support pv_test_support_main)
//   //        (pv_test_support_main supplies main(); it restarts the binary with the umockdev
//   //        preload library when needed, then runs the tests)
//
//   #include "support/virtual_printer.h"
//
//   class LinkTest : public pvtest::VirtualPrinterTest {};
//
//   TEST_F(LinkTest, ReadsVersions) {
//       vprinter::Options options;                  // defaults: "301B10" / "705A10"
//       options.faults.badHeader = true;             // or vprinter::applyFault("bad-header", ..)
//       auto& printer = startPrinter(options);       // on the bus from now on
//       ... code under test opens libusb (a NEW libusb context, made after startPrinter) ...
//       os::sleepMs(5000);                           // moves the shared virtual clock
//       EXPECT_EQ(printer.trace("command").size(), 2u);
//   }
//
// Time: startPrinter() installs one os::VirtualClock as os::clock() until the test ends. The
// code under test sleeps and reads ticks through os::; the printer reads the same clock, and the
// bus follows the printer after every advance (a reset takes the device off the bus, it comes
// back once the clock has moved past the reboot time). Where the printer itself takes time (a
// throttled write) it advances the clock. libusb's own time-outs remain real time: a stalled
// transfer costs its real time-out.
//
// Several printers: startPrinters({options, options}) puts them on one bus at ports 1-1, 1-2, ...
// (serials VIRTUAL-0001, VIRTUAL-0002, ... unless set), on one clock; each trace event then ends
// in printer=SERIAL. A printer comes back from a reset at a new device address (devnum()).
//
// A testbed is process-wide (UMOCKDEV_DIR); have at most one VirtualPrinter or VirtualBus at a
// time (VirtualPrinterTest sees to it). Close
// every libusb device handle before its printer goes (end of test, or startPrinter() again): a
// handle that outlives its testbed blocks forever in its next libusb call (umockdev limitation).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/printer.h"
#include "platform/os/clock.h"
#if defined(_WIN32) && !defined(PV_VPRINTER_MODEL_BUS)
#define PV_VPRINTER_MODEL_BUS 1
#endif
#ifdef PV_VPRINTER_MODEL_BUS
#include "usbprint/model_printers.h"
#else
#include "usb/usb_printer.h"
#endif

namespace pvtest {

#ifdef PV_VPRINTER_MODEL_BUS
using Bus = vprinter::ModelBus;
using Presentation = vprinter::ModelPrinter;
#else
using Bus = vprinter::UsbBus;
using Presentation = vprinter::UsbPrinter;
#endif

// Makes sure this process runs with libumockdev-preload.so.0: if it is not loaded, re-executes
// the program with LD_PRELOAD set (the ASan runtime first in ASan builds); if it still is not
// loaded, prints why and exits with status 1. Call first thing in main().
void requireUmockdevPreload(int argc, char** argv);

class VirtualPrinter {
  public:
    // Owns its virtual clock (starting at 0 ms) and installs it as os::clock() while it lives.
    explicit VirtualPrinter(vprinter::Options options = {});
    // Runs on `clock`, which the caller owns, installs and keeps alive at least as long.
    VirtualPrinter(vprinter::Options options, os::VirtualClock& clock);
    // On `bus` (next free port) and `clock`; both outlive it.
    VirtualPrinter(vprinter::Options options, os::VirtualClock& clock, Bus& bus);
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    os::VirtualClock& clock() { return *clock_; }
    // Whether the device is on the emulated bus now.
    bool onBus();
    // Its USB serial number string, port path ("1-1"), current device address (2, 3, ...) and
    // device node ("/dev/bus/usb/001/002").
    std::string serial();
    std::string portPath() const;
    unsigned devnum();
    std::string devicePath();
    // The printer's trace so far, all events or those named `name` ("command", "verdict", ...).
    std::vector<vprinter::TraceEvent> trace(const std::string& name = "");
    // Runs f(vprinter::Printer&) under the lock the USB side takes (versions, area memory...).
    template <class F>
    auto withPrinter(F&& f) {
        return usb_->withPrinter(std::forward<F>(f));
    }

  private:
    struct Link;
    void start(vprinter::Options options, Bus* bus = nullptr);

    std::unique_ptr<os::VirtualClock> ownClock_;
    std::unique_ptr<os::ScopedClock> installed_;
    os::VirtualClock* clock_ = nullptr;
    std::unique_ptr<vprinter::Clock> printerClock_;
    std::unique_ptr<vprinter::Printer> printer_;
    std::unique_ptr<Bus> ownBus_;
    std::unique_ptr<Presentation> usb_;
    std::shared_ptr<Link> link_;
};

// Several printers on one bus, at ports 1-1, 1-2, ... in the order given, on one virtual clock.
// A printer whose serial is left at the default gets VIRTUAL-0001, VIRTUAL-0002, ... by port;
// with more than one printer every trace event names its printer (Options::namedInTrace).
class VirtualBus {
  public:
    // Owns its virtual clock (starting at 0 ms) and installs it as os::clock() while it lives.
    explicit VirtualBus(std::vector<vprinter::Options> printers);
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    os::VirtualClock& clock() { return clock_; }
    std::size_t size() const { return printers_.size(); }
    // The printer at port 1-(i+1).
    VirtualPrinter& printer(std::size_t i) { return *printers_.at(i); }

  private:
    os::VirtualClock clock_;
    std::unique_ptr<os::ScopedClock> installed_;
    std::unique_ptr<Bus> bus_;
    std::vector<std::unique_ptr<VirtualPrinter>> printers_;
};

// Fixture: startPrinter() puts a printer on the bus, startPrinters() several; they are removed
// when the test ends.
class VirtualPrinterTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Replaces any earlier printer(s) of this test.
    VirtualPrinter& startPrinter(vprinter::Options options = {});
    // Replaces any earlier printer(s) of this test; one printer per entry, in port order.
    std::vector<VirtualPrinter*> startPrinters(std::vector<vprinter::Options> options);
    // The printer of startPrinter(), or the first one of startPrinters().
    VirtualPrinter& printer() { return printer_ ? *printer_ : bus_->printer(0); }

  private:
    std::unique_ptr<VirtualPrinter> printer_;
    std::unique_ptr<VirtualBus> bus_;
};

}  // namespace pvtest
