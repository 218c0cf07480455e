#pragma once
// Presents vprinter::Printers to unmodified libusb programs through umockdev: a testbed (the
// bus) with each printer's sysfs record and device node, and per printer an ioctl handler that
// speaks the usbfs protocol (control requests, bulk OUT, bulk IN, cancel, claims, kernel-driver
// detach and re-attach, endpoint halts) as the kernel does for a real device.
//
// A process that makes a UsbBus becomes the testbed's owner: UMOCKDEV_DIR is set for it and
// inherited by its children. Only processes that run with libumockdev-preload.so.0 loaded see
// the devices (see tests/support for the guard, and the pv4410s-virtual-printer executable).
//
// Bus: the printers sit on bus 1, ports 1-1, 1-2, ... in the order they were put on it. Each
// time a printer appears (at start, after every reset) it is enumerated at a new device address
// (devnum, /dev/bus/usb/001/NNN), the first one 2, as the kernel hands them out; the port and
// sysfs path stay. A file opened on an earlier address answers ENODEV from then on.
//
// Kernel: the printer driver (usblp) is bound to the interface whenever the device appears;
// USBDEVFS_DISCONNECT unbinds it, USBDEVFS_CONNECT binds it again. Claiming the interface (also
// implicitly, by a bulk transfer or an interface request) needs the driver unbound and no other
// open file holding the claim; the printer-class GET_DEVICE_ID request needs no claim.
//
// Halt: a bulk write the printer refuses ends in a stall (-EPIPE) and leaves the endpoint halted:
// every later URB on it ends in -EPIPE without reaching the printer until the host clears the
// halt (USBDEVFS_CLEAR_HALT, a CLEAR_FEATURE(ENDPOINT_HALT) request, or a port reset), or the
// printer leaves the bus. Closing the device or claiming again does not clear it.
//
// Trace events added to the printer's trace: "enumerated" (devnum, port, driver bound),
// "driver-detach", "driver-attach", "claim-refused", "halt", "halted-urb", "clear-halt",
// "port-reset", "serial-refused" (a request for the serial string stalled by a fault).
//
// Time: the printer's clock decides. In real time, answers that take time (a throttled write)
// complete later, and a background thread (startRealTimeSync) puts the device back on the bus
// after a reboot. In virtual time, the handler advances the clock where the printer takes time,
// and whoever advances the clock calls sync() afterwards (tests/support wires that up).

#include <memory>
#include <mutex>
#include <string>

#include "model/printer.h"
#include "platform/usbport/pcap_writer.h"

namespace vprinter {

// The emulated bus: one umockdev testbed. Outlives every UsbPrinter put on it.
class UsbBus {
  public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // The testbed's root folder (UMOCKDEV_DIR).
    std::string rootDir() const;

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

class UsbPrinter {
  public:
    // Alone on a bus of its own (port 1-1).
    explicit UsbPrinter(Printer& printer);
    // On `bus`, at the next free port.
    UsbPrinter(UsbBus& bus, Printer& printer);
    ~UsbPrinter();
    UsbPrinter(const UsbPrinter&) = delete;
    UsbPrinter& operator=(const UsbPrinter&) = delete;

    // Brings the bus in line with the printer: removes the device when the printer left it
    // (a reset, a disconnect), enumerates it again when it came back. Safe from any thread.
    void sync();
    // Calls sync() every `periodMs` from a thread of its own until destruction (real time).
    void startRealTimeSync(unsigned periodMs = 10);
    // Whether the device is on the emulated bus right now.
    bool attached();
    // Writes every URB from now on, its submission and its completion, to `writer` (a usbmon
    // capture, as the host side writes with --capture); null stops it.
    void captureTo(std::shared_ptr<usbport::PcapWriter> writer);
    // The testbed's root folder (UMOCKDEV_DIR).
    std::string rootDir() const;
    // "1-1", "1-2", ...: the port path, the sysfs name of the device.
    std::string portPath() const;
    // "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1"
    std::string sysfsPath() const;
    // The device address it has (or last had) on the bus; 0 before it ever appeared.
    unsigned devnum();
    // "/dev/bus/usb/001/NNN" for devnum().
    std::string devicePath();

    // Runs f(printer) under the lock the USB worker thread takes, e.g. to read the trace.
    template <class F>
    auto withPrinter(F&& f) {
        std::lock_guard lock(mutex());
        return f(printer());
    }

    struct Impl;

  private:
    void init(UsbBus& bus, Printer& printer);
    std::mutex& mutex();
    Printer& printer();
    std::unique_ptr<UsbBus> ownBus_;  // declared first: outlives impl_
    std::unique_ptr<Impl> impl_;
};

}  // namespace vprinter
