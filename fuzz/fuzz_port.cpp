#include "fuzz_port.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace pv::fuzz {
namespace {

class PipeHandle final : public os::HandleObject {
  public:
    PipeHandle(FuzzPort& port, bool bulkIn) : port_(port), bulkIn_(bulkIn) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        if (!bulkIn_)
            return 0;
        ++port_.reads;
        port_.lastReadLength = length;
        return FuzzPort::deliver(port_.reply, buffer, length);
    }
    std::uint32_t write(const void*, std::uint32_t length) override { return bulkIn_ ? 0 : length; }
    bool close() override { return true; }

  private:
    FuzzPort& port_;
    bool bulkIn_;
};

// The control channel: only UsbDeviceIoControl uses it.
class ControlHandle final : public os::HandleObject {
  public:
    std::uint32_t read(void*, std::uint32_t) override { return 0; }
    std::uint32_t write(const void*, std::uint32_t) override { return 0; }
    bool close() override { return true; }
};

}  // namespace

FuzzInput splitInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeaderSize = 5;
    FuzzInput input;
    if (size < kHeaderSize) {
        input.answer.bytes = {data, size};
        return input;
    }
    const std::uint32_t count =
        static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
        static_cast<std::uint32_t>(data[3]) << 16 | static_cast<std::uint32_t>(data[4]) << 24;
    if ((data[0] & 1) != 0)
        input.answer.reportedCount = count;
    input.requestFails = (data[0] & 2) != 0;
    input.answer.bytes = {data + kHeaderSize, size - kHeaderSize};
    return input;
}

std::uint32_t FuzzPort::deliver(const PortAnswer& answer, void* buffer, std::uint32_t capacity) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(capacity, answer.bytes.size()));
    if (n > 0)
        std::memcpy(buffer, answer.bytes.data(), n);
    return answer.reportedCount.value_or(n);
}

bool FuzzPort::SetVenderID(std::uint16_t) {
    return true;
}

bool FuzzPort::SetProductID(const std::uint16_t*, std::uint16_t) {
    return true;
}

os::Handle FuzzPort::UsbOpenCont(std::uint32_t, std::uint32_t) {
    return os::openHandle(std::make_unique<ControlHandle>());
}

os::Handle FuzzPort::UsbOpenBulk(const char* pipeName, std::uint32_t) {
    return os::openHandle(
        std::make_unique<PipeHandle>(*this, std::string_view(pipeName) == "PIPE01"));
}

bool FuzzPort::UsbDeviceIoControl(os::Handle, std::uint32_t, const void*, std::uint32_t,
                                  void* output, std::uint32_t outputSize,
                                  std::uint32_t* bytesReturned) {
    ioctlOutputSize = outputSize;
    const std::uint32_t reported = deliver(deviceId, output, outputSize);
    if (bytesReturned != nullptr)
        *bytesReturned = reported;
    return ioctlResult;
}

}  // namespace pv::fuzz
