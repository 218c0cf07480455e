#pragma once
// The system's kind of port (libusb, or the usbprint port where the printers are presented as the
// USB printer class driver) with chosen control-channel opens refused, counting from 1: a printer
// that cannot be reached at one stage of a download but can at the others (switched off and on
// again between stages, a cable pulled and pushed back).

#include <set>

#include "support/virtual_printer.h"
#ifdef PV_VPRINTER_MODEL_BUS
#include "platform/usbport/usbprint/usbprint_port.h"
#else
#include "platform/usbport/libusb/libusb_port.h"
#endif

namespace pv::download::testing {

#ifdef PV_VPRINTER_MODEL_BUS
using PortUnderTest = usbport::UsbprintPort;
#else
using PortUnderTest = usbport::LibusbPort;
#endif

class RefusingPort final : public usbport::Port {
  public:
    explicit RefusingPort(std::set<int> refusedOpens, usbport::Timeouts timeouts = {})
        : refused_(std::move(refusedOpens)), port_(timeouts) {}

    bool SetVenderID(std::uint16_t vendorId) override { return port_.SetVenderID(vendorId); }
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) override {
        return port_.SetProductID(productIds, count);
    }
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) override {
        if (refused_.contains(++opens_))
            return os::kNoHandle;
        return port_.UsbOpenCont(reserved1, reserved2);
    }
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) override {
        return port_.UsbOpenBulk(pipeName, reserved);
    }
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) override {
        return port_.UsbDeviceIoControl(control, requestCode, input, inputSize, output, outputSize,
                                        bytesReturned);
    }
    void SelectDevice(const usbport::DeviceIdentity* only) override { port_.SelectDevice(only); }
    bool UsbGetIdentity(os::Handle control, usbport::DeviceIdentity& identity) override {
        return port_.UsbGetIdentity(control, identity);
    }
    void KeepDriversDetached(bool keep) override { port_.KeepDriversDetached(keep); }
    std::string TakeFailure() override { return port_.TakeFailure(); }
    std::vector<usbport::DeviceIdentity> ListDevices() override { return port_.ListDevices(); }

  private:
    std::set<int> refused_;
    int opens_ = 0;
    PortUnderTest port_;
};

}  // namespace pv::download::testing
