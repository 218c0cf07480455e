#pragma once
// The USB interface library stood in on libusb-1.0.
//
// Opening the control channel or a pipe opens the selected device if no handle of it is open yet:
// a fresh libusb context, the first device whose vendor ID and one of the product IDs match, its
// printer-class interface (class 7, subclass 1) claimed, a kernel driver bound to that interface
// detached first. Every further handle shares that device. When the device's last handle closes,
// the interface is released, a detached driver re-attached and the context freed, so a device
// that went away and came back (after a reset) is found afresh by the next open.
//
// Every transfer has a bounded time-out; one that runs out returns the bytes actually moved, so a
// stalled device ends in a short write or read instead of a hang. An endpoint that stalls is
// cleared at once (a halted endpoint would refuse everything after), and a read that brings more
// than was asked for moves nothing.
//
// A selected device (SelectDevice) is looked for among all matching devices as
// DeviceIdentity::names() says; others are passed over. Serial numbers are read as the raw UTF-16
// string descriptor, and a device whose serial cannot be read (twice) does not open. Every
// failure is kept in words for TakeFailure().

#include <memory>
#include <vector>

#include "platform/usbport/device_port.h"

namespace usbport {

namespace detail {
struct Detached;
}  // namespace detail

class LibusbPort final : public DevicePort {
  public:
    explicit LibusbPort(Timeouts timeouts = {});
    ~LibusbPort() override;
    LibusbPort(const LibusbPort&) = delete;
    LibusbPort& operator=(const LibusbPort&) = delete;

    void KeepDriversDetached(bool keep) override;

  private:
    std::shared_ptr<OpenDevice> open(const Selection& selection) override;
    std::vector<DeviceIdentity> list(const Selection& selection) override;
    std::unique_ptr<DevicePort> another(Timeouts timeouts) const override {
        return std::make_unique<LibusbPort>(timeouts);
    }

    std::shared_ptr<detail::Detached> detached_;
};

}  // namespace usbport
