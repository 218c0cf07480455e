// The port of a build that has no USB library for its system: it finds no device, and says why
// when asked. The Windows build uses it until its own port (the USB printer class driver's)
// joins the tree.
#include "platform/usbport/usbport.h"

namespace usbport {
namespace {

class NoPort final : public Port {
  public:
    bool SetVenderID(std::uint16_t vendorId) override { return vendorId != 0; }
    bool SetProductID(const std::uint16_t*, std::uint16_t count) override { return count > 0; }
    os::Handle UsbOpenCont(std::uint32_t, std::uint32_t) override { return os::kNoHandle; }
    os::Handle UsbOpenBulk(const char*, std::uint32_t) override { return os::kNoHandle; }
    bool UsbDeviceIoControl(os::Handle, std::uint32_t, const void*, std::uint32_t, void*,
                            std::uint32_t, std::uint32_t* bytesReturned) override {
        if (bytesReturned != nullptr)
            *bytesReturned = 0;
        return false;
    }
    std::string TakeFailure() override { return "this build has no USB port for this system"; }
};

}  // namespace

Port& systemPort() {
    static NoPort port;
    return port;
}

}  // namespace usbport
