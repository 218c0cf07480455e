#pragma once
// The system's USB printer class driver, reduced to what the usbprint port needs: the printer
// interfaces it lists, and a printer opened through one of them (its bulk OUT pipe written, its
// bulk IN pipe read, its IEEE 1284 device ID asked for). Plain types only: the Windows
// implementation (win32_printer_class.cpp) is a thin layer over SetupAPI and the file functions,
// and everything above it runs as well against a model of the devices (tests, virtual builds).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbport::usbprint {

// One printer interface as the system lists it.
struct Interface {
    std::string path;  // what PrinterClass::open() takes
    // The device instance id of the interface's device node, "USB\VID_7A3C&PID_0512\SERIAL";
    // empty when it cannot be read.
    std::string instanceId;
    // The instance id of its parent node: where the serial of a composite device's interface
    // ("...&MI_00\...") is; empty when there is no parent or it cannot be read.
    std::string parentInstanceId;
    // Where the device sits: the location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)")
    // or, without one, the location information ("Port_#0002.Hub_#0004"); empty when unknown.
    std::string location;
};

// How one operation ended.
struct Outcome {
    enum class Status {
        Done,      // `moved` bytes moved (fewer than asked for is a short transfer)
        TimedOut,  // nothing more moved within the time-out; the transfer was cancelled
        Busy,      // another program has the printer open
        Gone,      // the device is not (or no longer) there
        Overflow,  // the device sent more than was asked for
        Failed,    // any other failure
    };
    Status status = Status::Done;
    std::uint32_t moved = 0;
    std::string error;  // the system's name of the error, e.g. "ERROR_GEN_FAILURE"
};

// An open printer, held exclusively: nothing else opens it until this is destroyed (closed).
// Every call ends within its time-out.
class PrinterFile {
  public:
    virtual ~PrinterFile() = default;
    virtual Outcome write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) = 0;
    virtual Outcome read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) = 0;
    // The device ID as the driver returns it (a 2-byte length prefix, then the ID).
    virtual Outcome deviceId(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) = 0;
};

class PrinterClass {
  public:
    virtual ~PrinterClass() = default;
    // Every printer interface present now, in the system's order; `error` set when the list
    // cannot be had.
    virtual std::vector<Interface> list(std::string& error) = 0;
    // Opens the interface at `path` exclusively; null, with `failure` saying why, when it cannot.
    virtual std::unique_ptr<PrinterFile> open(const std::string& path, Outcome& failure) = 0;
};

// The printer class behind the usbprint port: the system's unless another was installed.
PrinterClass& printerClass();
// The system's own (the USB printer class driver on Windows; elsewhere one that lists nothing).
PrinterClass& systemPrinterClass();
// Installs `printers` process-wide (nullptr restores the system's). The caller keeps ownership.
void installPrinterClass(PrinterClass* printers);

}  // namespace usbport::usbprint
