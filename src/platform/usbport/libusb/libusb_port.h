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

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usbport/usbport.h"

namespace usbport {

namespace detail {
class Device;
struct Shared;
}  // namespace detail

class LibusbPort final : public Port {
  public:
    explicit LibusbPort(Timeouts timeouts = {});
    ~LibusbPort() override;
    LibusbPort(const LibusbPort&) = delete;
    LibusbPort& operator=(const LibusbPort&) = delete;

    bool SetVenderID(std::uint16_t vendorId) override;
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) override;
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) override;
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) override;
    // Request code kGetDeviceId is the printer-class GET_DEVICE_ID request.
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) override;
    void SelectDevice(const DeviceIdentity* only) override;
    bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity) override;
    void KeepDriversDetached(bool keep) override;
    std::vector<DeviceIdentity> ListDevices() override;
    std::string TakeFailure() override;
    std::unique_ptr<Port> newPort() override;

  private:
    // The open device if one matches the selection, else a newly opened one; null on failure.
    std::shared_ptr<detail::Device> device();
    // ListDevices() with mutex_ held.
    std::vector<DeviceIdentity> listDevices();

    const Timeouts timeouts_;
    std::mutex mutex_;
    std::uint16_t vendorId_ = 0;
    std::vector<std::uint16_t> productIds_;
    std::optional<DeviceIdentity> selected_;
    std::weak_ptr<detail::Device> current_;
    std::shared_ptr<detail::Shared> shared_;
};

}  // namespace usbport
