#pragma once
// A scripted stand-in for the USB interface library: it records every call made through it and
// on the handles it hands out, and answers as the test scripted.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/usbport/usbport.h"

namespace pv::link::testing {

struct PortScript {
    bool acceptVendor = true;
    // "CONT", "PIPE00" or "PIPE01": opens that return -1, closes that fail.
    std::set<std::string> failOpen;
    std::set<std::string> failClose;

    // Bytes each successive write on PIPE00 moves at most; once empty, every byte moves.
    std::deque<std::uint32_t> writeLimits;
    // Called after every write on PIPE00 with its index.
    std::function<void(std::size_t)> onWrite;
    // When false, writes are counted but their data not kept (nothing is allocated).
    bool keepWrites = true;

    // What successive reads on PIPE01 return (cut to the length asked); once empty, nothing.
    std::deque<std::vector<std::uint8_t>> reads;

    // The device-ID answer; `deviceIdLength` overrides the reported length.
    std::vector<std::uint8_t> deviceId;
    std::optional<std::uint32_t> deviceIdLength;
    bool ioctlResult = true;

    // Results.
    std::vector<std::string> calls;
    std::vector<std::vector<std::uint8_t>> writes;
    std::size_t writeCount = 0;
};

class FakePort final : public usbport::Port {
  public:
    explicit FakePort(PortScript& script) : script_(script) {}

    bool SetVenderID(std::uint16_t vendorId) override;
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) override;
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) override;
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) override;
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) override;

  private:
    os::Handle open(const std::string& name);

    PortScript& script_;
};

}  // namespace pv::link::testing
