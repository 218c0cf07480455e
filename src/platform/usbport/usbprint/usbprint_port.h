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
//
// A selected device (SelectDevice) is the one it names (DeviceIdentity::names): by its serial, or,
// for a device without a serial of its own (none, or one another printer shares), by serial and
// port. A device whose serial cannot be read does not open. Every transfer has a bounded
// time-out; every failure is kept in words for TakeFailure().

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usbport/usbport.h"

namespace usbport {

namespace usbprint {
class OpenPrinter;
struct Shared;
}  // namespace usbprint

class UsbprintPort final : public Port {
  public:
    explicit UsbprintPort(Timeouts timeouts = {});
    ~UsbprintPort() override;
    UsbprintPort(const UsbprintPort&) = delete;
    UsbprintPort& operator=(const UsbprintPort&) = delete;

    bool SetVenderID(std::uint16_t vendorId) override;
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) override;
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) override;
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) override;
    // Request code kGetDeviceId asks the driver for the device ID.
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) override;
    void SelectDevice(const DeviceIdentity* only) override;
    bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity) override;
    // Nothing to do: the driver stays bound, and the exclusive open of each stage keeps print
    // jobs out while the program holds the printer.
    void KeepDriversDetached(bool) override {}
    std::vector<DeviceIdentity> ListDevices() override;
    std::string TakeFailure() override;
    std::unique_ptr<Port> newPort() override;

  private:
    std::shared_ptr<usbprint::OpenPrinter> device();
    std::vector<DeviceIdentity> listDevices();  // under mutex_

    const Timeouts timeouts_;
    std::mutex mutex_;
    std::uint16_t vendorId_ = 0;
    std::vector<std::uint16_t> productIds_;
    std::optional<DeviceIdentity> selected_;
    std::weak_ptr<usbprint::OpenPrinter> current_;
    std::shared_ptr<usbprint::Shared> shared_;
};

}  // namespace usbport
