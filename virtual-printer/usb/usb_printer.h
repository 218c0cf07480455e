#pragma once
// Presents a vprinter::Printer to unmodified libusb programs through umockdev: a testbed with the
// printer's sysfs record and device node, and an ioctl handler that speaks the usbfs URB
// protocol (control requests, bulk OUT, bulk IN, cancel) on behalf of the printer.
//
// A process that makes a UsbPrinter becomes the testbed's owner: UMOCKDEV_DIR is set for it and
// inherited by its children. Only processes that run with libumockdev-preload.so.0 loaded see
// the device (see tests/support for the guard, and the pv4410s-virtual-printer executable).
//
// Time: the printer's clock decides. In real time, answers that take time (a throttled write)
// complete later, and a background thread (startRealTimeSync) puts the device back on the bus
// after a reboot. In virtual time, the handler advances the clock where the printer takes time,
// and whoever advances the clock calls sync() afterwards (tests/support wires that up).

#include <memory>
#include <mutex>
#include <string>

#include "model/printer.h"

namespace vprinter {

inline constexpr char kDevicePath[] = "/dev/bus/usb/001/002";
inline constexpr char kSysfsPath[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";

class UsbPrinter {
  public:
    explicit UsbPrinter(Printer& printer);
    ~UsbPrinter();
    UsbPrinter(const UsbPrinter&) = delete;
    UsbPrinter& operator=(const UsbPrinter&) = delete;

    // Brings the bus in line with the printer: removes the device when the printer left it
    // (a reset, a disconnect), adds it again when it came back. Safe from any thread.
    void sync();
    // Calls sync() every `periodMs` from a thread of its own until destruction (real time).
    void startRealTimeSync(unsigned periodMs = 10);
    // Whether the device is on the emulated bus right now.
    bool attached();
    // The testbed's root folder (UMOCKDEV_DIR).
    std::string rootDir() const;

    // Runs f(printer) under the lock the USB worker thread takes, e.g. to read the trace.
    template <class F>
    auto withPrinter(F&& f) {
        std::lock_guard lock(mutex());
        return f(printer());
    }

    struct Impl;

  private:
    std::mutex& mutex();
    Printer& printer();
    std::unique_ptr<Impl> impl_;
};

}  // namespace vprinter
