#pragma once
// A USB port driven by fuzz input. The bulk IN pipe and the device-ID request deliver the bytes
// given, never more than the caller's buffer holds, but may report any count for them, as a
// misbehaving transport could. Writes on the bulk OUT pipe always go out whole.

#include <cstdint>
#include <optional>
#include <span>

#include "fuzz_check.h"
#include "platform/usbport/usbport.h"

namespace pv::fuzz {

struct PortAnswer {
    std::span<const std::uint8_t> bytes;
    // The count reported for the transfer; the number of bytes delivered when not given.
    std::optional<std::uint32_t> reportedCount;
};

// A fuzz input split into its header and payload: byte 0 holds flags, bytes 1 to 4 a
// little-endian count, the rest is the payload. Flag bit 0: the port reports the count instead
// of the number of bytes delivered. Flag bit 1: the device-ID request reports failure.
struct FuzzInput {
    PortAnswer answer;
    bool requestFails = false;
};
FuzzInput splitInput(const std::uint8_t* data, std::size_t size);

class FuzzPort final : public usbport::Port {
  public:
    PortAnswer reply;     // what each read on "PIPE01" delivers
    PortAnswer deviceId;  // what the device-ID request delivers
    bool ioctlResult = true;

    // What the link asked for.
    std::uint32_t reads = 0;
    std::uint32_t lastReadLength = 0;
    std::uint32_t ioctlOutputSize = 0;

    bool SetVenderID(std::uint16_t vendorId) override;
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) override;
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) override;
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) override;
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) override;

    // Copies as much of `answer` as fits into `buffer` and returns the count to report.
    static std::uint32_t deliver(const PortAnswer& answer, void* buffer, std::uint32_t capacity);
};

}  // namespace pv::fuzz
