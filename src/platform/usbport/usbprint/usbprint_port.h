#pragma once
// The USB interface library stood in on the system's USB printer class driver (Windows), through
// PrinterClass: no driver is replaced or detached.
//
// Devices: the listed printer interfaces whose device instance id names the vendor ID and one of
// the product IDs, ordered by their port paths, so that "the first" is the same printer however
// the system happens to list them. A device's serial is the last part of its instance id
// ("USB\VID_7A3C&PID_0512\SERIAL"), none when that part holds a '&' (the system made it up from
// the port), taken from the parent node for an interface of a composite device ("&MI_xx"). Its
// port path comes from its location path: "USBROOT(0)#USB(4)#USB(2)" is "1-4.2", as on Linux.
//
// Opening the control channel or a pipe opens the selected device if no handle of it is open
// yet, exclusively: no print job reaches the printer while the program holds it. Every further
// handle shares that file; it closes with the last handle, so a printer that went away and came
// back (after a reset, possibly under another interface path) is found afresh by the next open.
// While a job keeps the printer (KeepDriversDetached(true), from the model check to the end of a
// run), the file of the last handle stays open instead, so that the print spooler cannot open
// the printer between the run's steps; the next open takes it back if the printer still answers
// a device ID request through it (after a reset it does not: the file is closed and the printer
// opened afresh).
//
// A selected device (SelectDevice) is the one it names (DeviceIdentity::names): by its serial, or,
// for a device without a serial of its own (none, or one another printer shares), by serial and
// port. A device whose serial cannot be read does not open. Every transfer has a bounded
// time-out; every failure is kept in words for TakeFailure().

#include <memory>
#include <vector>

#include "platform/usbport/device_port.h"

namespace usbport {
namespace usbprint {
struct Keeper;
}

class UsbprintPort final : public DevicePort {
  public:
    explicit UsbprintPort(Timeouts timeouts = {});

    // The driver stays bound; the printer's file stays open between the steps of the job.
    void KeepDriversDetached(bool keep) override;

  private:
    std::shared_ptr<OpenDevice> open(const Selection& selection) override;
    const std::shared_ptr<usbprint::Keeper> keeper_;
    std::vector<DeviceIdentity> list(const Selection& selection) override;
    std::unique_ptr<DevicePort> another(Timeouts timeouts) const override {
        return std::make_unique<UsbprintPort>(timeouts);
    }
};

}  // namespace usbport
