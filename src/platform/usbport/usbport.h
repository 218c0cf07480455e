#pragma once
// The printer maker's USB interface library, as the program sees it: choose the device by vendor
// and product ID, open its control channel and its two bulk pipes as platform handles, and make
// one control request. The operations go to an installable Port; the program uses the libusb
// implementation (libusb_port.h), tests install scripted ones.

#include <cstdint>

#include "platform/os/handles.h"

namespace usbport {

// Control request code of UsbDeviceIoControl: read the IEEE 1284 device ID.
inline constexpr std::uint32_t kGetDeviceId = 0;

class Port {
  public:
    virtual ~Port() = default;
    // Vendor ID of the devices to open; false refuses it (0 is always refused).
    virtual bool SetVenderID(std::uint16_t vendorId) = 0;
    // Product IDs of the devices to open; the list is copied.
    virtual bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) = 0;
    // The control channel of the selected device; -1 when it cannot be opened.
    virtual os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) = 0;
    // "PIPE00" is the bulk OUT pipe, "PIPE01" the bulk IN pipe; -1 when it cannot be opened.
    virtual os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) = 0;
    // One control request on a handle from UsbOpenCont. The answer goes to `output` as the
    // device sent it; `*bytesReturned` (when given) receives its length, 0 on any failure.
    virtual bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode,
                                    const void* input, std::uint32_t inputSize, void* output,
                                    std::uint32_t outputSize, std::uint32_t* bytesReturned) = 0;
};

// The port behind the free functions: the libusb one unless a test installed another.
Port& port();
// Installs `port` process-wide (nullptr restores the libusb port). The caller keeps ownership.
void installPort(Port* port);

class ScopedPort {
  public:
    explicit ScopedPort(Port& p) { installPort(&p); }
    ~ScopedPort() { installPort(nullptr); }
    ScopedPort(const ScopedPort&) = delete;
    ScopedPort& operator=(const ScopedPort&) = delete;
};

// The library's five operations, forwarded to port().
bool SetVenderID(std::uint16_t vendorId);
bool SetProductID(const std::uint16_t* productIds, std::uint16_t count);
os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2);
os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved);
bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                        std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                        std::uint32_t* bytesReturned);

}  // namespace usbport
