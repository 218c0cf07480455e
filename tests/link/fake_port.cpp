#include "fake_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pv::link::testing {
namespace {

std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

class FakeHandle final : public os::HandleObject {
  public:
    FakeHandle(PortScript& script, std::string name) : script_(script), name_(std::move(name)) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        script_.calls.push_back("read " + name_ + " " + std::to_string(length));
        if (name_ != "PIPE01" || script_.reads.empty())
            return 0;
        const auto reply = std::move(script_.reads.front());
        script_.reads.pop_front();
        const auto n = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(reply.size()));
        if (n > 0)
            std::memcpy(buffer, reply.data(), n);
        return n;
    }

    std::uint32_t write(const void* buffer, std::uint32_t length) override {
        if (name_ != "PIPE00")
            return 0;
        const std::size_t index = script_.writeCount++;
        std::uint32_t moved = length;
        if (!script_.writeLimits.empty()) {
            moved = std::min(moved, script_.writeLimits.front());
            script_.writeLimits.pop_front();
        }
        if (script_.keepWrites) {
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            script_.writes.emplace_back(bytes, bytes + length);
            script_.calls.push_back("write " + name_ + " " + std::to_string(length));
        }
        if (script_.onWrite)
            script_.onWrite(index);
        return moved;
    }

    bool close() override {
        script_.calls.push_back("close " + name_);
        return !script_.failClose.contains(name_);
    }

  private:
    PortScript& script_;
    std::string name_;
};

}  // namespace

bool FakePort::SetVenderID(std::uint16_t vendorId) {
    script_.calls.push_back("SetVenderID " + hex4(vendorId));
    return script_.acceptVendor;
}

bool FakePort::SetProductID(const std::uint16_t* productIds, std::uint16_t count) {
    std::string call = "SetProductID";
    for (std::uint16_t i = 0; i < count; ++i)
        call += " " + hex4(productIds[i]);
    script_.calls.push_back(call);
    return true;
}

os::Handle FakePort::UsbOpenCont(std::uint32_t, std::uint32_t) {
    return open("CONT");
}

os::Handle FakePort::UsbOpenBulk(const char* pipeName, std::uint32_t) {
    return open(pipeName);
}

os::Handle FakePort::open(const std::string& name) {
    script_.calls.push_back("open " + name);
    if (script_.failOpen.contains(name))
        return os::kNoHandle;
    return os::openHandle(std::make_unique<FakeHandle>(script_, name));
}

bool FakePort::UsbDeviceIoControl(os::Handle, std::uint32_t requestCode, const void*,
                                  std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                                  std::uint32_t* bytesReturned) {
    script_.calls.push_back("ioctl " + std::to_string(requestCode) + " " +
                            std::to_string(inputSize) + " " + std::to_string(outputSize));
    const auto n =
        std::min<std::uint32_t>(outputSize, static_cast<std::uint32_t>(script_.deviceId.size()));
    if (n > 0)
        std::memcpy(output, script_.deviceId.data(), n);
    *bytesReturned = script_.deviceIdLength.value_or(n);
    return script_.ioctlResult;
}

}  // namespace pv::link::testing
