#pragma once
// Presents vprinter::Printers as the USB printer class driver of Windows would: a PrinterClass
// (src/platform/usbport/usbprint/printer_class.h) that lists one printer interface per printer on
// the bus and opens them, so that the usbprint port runs unchanged against the model, on any
// system (tests, and the virtual build of the Windows programs).
//
// A ModelBus becomes the process's printer class while it lives. Its printers sit at ports 1-1,
// 1-2, ... in the order they were put on it (location path "...#USBROOT(0)#USB(N)"); it lists
// them in the reverse order, as a system may, so that ordering is the port's business. Each
// time a printer appears (at start, after a reset) its interface gets a path of its own; a file
// opened on an earlier appearance answers "gone" from then on. A printer opens exclusively: a
// second open while a file of it is open is refused as a sharing violation, as is every open of
// a printer showing the "busy" fault.
//
// Transfers: a bulk OUT write goes to Printer::write (a refused write fails, a stalled one times
// out, a disconnect is "gone"); a bulk IN read takes the pending answer, as much as fits (more
// than fits in a read that is not a whole number of packets is an overflow), and times out when
// there is none; the device ID request answers Printer::deviceId(). Where the printer takes time
// (a throttled write) its clock advances, on a thread of its own as a device beside the host; a
// transfer that times out costs its time-out only in real time.
//
// Trace events added to the printer's trace: "opened" (path), "closed".

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/printer.h"
#include "platform/usbport/usbprint/printer_class.h"

namespace vprinter {

class ModelPrinter;

class ModelBus final : public usbport::usbprint::PrinterClass {
  public:
    ModelBus();
    ~ModelBus() override;
    ModelBus(const ModelBus&) = delete;
    ModelBus& operator=(const ModelBus&) = delete;

    std::vector<usbport::usbprint::Interface> list(std::string& error) override;
    std::unique_ptr<usbport::usbprint::PrinterFile> open(
        const std::string& path, usbport::usbprint::Outcome& failure) override;
    // From now on the list cannot be had, for this reason (empty: it can again).
    void failListing(std::string error);

    struct Slot;

  private:
    friend class ModelPrinter;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> slots_;
    std::string listingError_;
};

class ModelPrinter {
  public:
    // How the system shows the device: what the port has to cope with.
    struct Listing {
        bool serialInId = true;          // false: the instance id is made up from the port
        bool composite = false;          // the printer interface of a composite device
        bool parentReadable = true;      // (composite) the parent node's id can be read
        bool instanceIdReadable = true;  // the interface's own instance id can be read
        bool locationPath = true;  // false: only the location information ("Port_#0001.Hub_#0001")
    };

    // Alone on a bus of its own (port 1-1).
    explicit ModelPrinter(Printer& printer);
    // On `bus`, at the next free port.
    ModelPrinter(ModelBus& bus, Printer& printer);
    ~ModelPrinter();
    ModelPrinter(const ModelPrinter&) = delete;
    ModelPrinter& operator=(const ModelPrinter&) = delete;

    void showAs(const Listing& listing);
    // The bus follows the printer by itself; here for the same use as the USB presentation.
    void sync() {}
    void startRealTimeSync(unsigned = 10) {}
    // Whether the printer is listed right now.
    bool attached();
    // "1-1", "1-2", ...
    std::string portPath() const;
    // Counts its appearances from 2 (the first), like a USB device address.
    unsigned devnum();
    // The path of its interface now.
    std::string devicePath();

    // Runs f(printer) under the lock every transfer takes, e.g. to read the trace.
    template <class F>
    auto withPrinter(F&& f) {
        std::lock_guard lock(mutex());
        return f(printer());
    }

  private:
    void init(ModelBus& bus, Printer& printer);
    std::mutex& mutex();
    Printer& printer();

    std::unique_ptr<ModelBus> ownBus_;  // declared first: outlives slot_
    std::shared_ptr<ModelBus::Slot> slot_;
};

}  // namespace vprinter
