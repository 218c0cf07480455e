#include "platform/usbport/device_port.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/usbport/capture.h"

namespace usbport {

bool Selection::kind(std::uint16_t vendor, std::uint16_t product) const {
    return vendor == vendorId &&
           std::find(productIds.begin(), productIds.end(), product) != productIds.end();
}

std::string Selection::name() const {
    return hex4(vendorId) + ":" + (productIds.empty() ? "????" : hex4(productIds.front()));
}

std::string Selection::notAttached() const {
    if (!only)
        return "no " + name() + " device is attached";
    return "the printer " + only->key() + (only->sharedSerial ? " at " + only->portPath : "") +
           " is not attached";
}

std::string hex4(std::uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04x", value);
    return text.data();
}

void Failures::record(std::string text) {
    std::lock_guard lock(mutex_);
    last_ = std::move(text);
    busy_ = false;
}

void Failures::recordBusy(std::string text) {
    std::lock_guard lock(mutex_);
    last_ = std::move(text);
    busy_ = true;
}

std::string Failures::take() {
    std::lock_guard lock(mutex_);
    busy_ = false;
    return std::exchange(last_, {});
}

bool Failures::busy() {
    std::lock_guard lock(mutex_);
    return busy_;
}

namespace {

// A bulk pipe handle: writes go to bulk OUT, reads come from bulk IN.
class BulkPipe final : public os::HandleObject {
  public:
    BulkPipe(std::shared_ptr<OpenDevice> device, bool out, std::uint32_t timeoutMs)
        : device_(std::move(device)), out_(out), timeoutMs_(timeoutMs) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        return device_ && !out_ ? device_->read(buffer, length, timeoutMs_) : 0;
    }
    std::uint32_t write(const void* buffer, std::uint32_t length) override {
        return device_ && out_ ? device_->write(buffer, length, timeoutMs_) : 0;
    }
    bool close() override {
        device_.reset();
        return true;
    }

  private:
    std::shared_ptr<OpenDevice> device_;
    bool out_;
    std::uint32_t timeoutMs_;
};

// The control channel handle: reading it asks the printer for its device ID.
class ControlChannel final : public os::HandleObject {
  public:
    ControlChannel(std::shared_ptr<OpenDevice> device, std::uint32_t timeoutMs)
        : device_(std::move(device)), timeoutMs_(timeoutMs) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        return device_ ? device_->deviceId(buffer, length, timeoutMs_) : 0;
    }
    std::uint32_t write(const void*, std::uint32_t) override { return 0; }
    bool close() override {
        device_.reset();
        return true;
    }
    const OpenDevice* device() const { return device_.get(); }

  private:
    std::shared_ptr<OpenDevice> device_;
    std::uint32_t timeoutMs_;
};

}  // namespace

bool DevicePort::SetVenderID(std::uint16_t vendorId) {
    std::lock_guard lock(mutex_);
    selection_.vendorId = vendorId;
    return vendorId != 0;
}

bool DevicePort::SetProductID(const std::uint16_t* productIds, std::uint16_t count) {
    if (productIds == nullptr && count > 0)
        return false;
    std::lock_guard lock(mutex_);
    selection_.productIds.assign(productIds, productIds + count);
    return true;
}

void DevicePort::SelectDevice(const DeviceIdentity* only) {
    std::lock_guard lock(mutex_);
    selection_.only.reset();
    if (only != nullptr)
        selection_.only = *only;
}

Selection DevicePort::selection() {
    std::lock_guard lock(mutex_);
    return selection_;
}

std::shared_ptr<OpenDevice> DevicePort::device() {
    std::lock_guard lock(mutex_);
    if (selection_.vendorId == 0)
        return nullptr;
    auto device = current_.lock();
    if (device && device->matches(selection_))
        return device;
    device = captured(open(selection_));
    if (device)
        current_ = device;
    return device;
}

os::Handle DevicePort::UsbOpenCont(std::uint32_t, std::uint32_t) {
    auto device = this->device();
    if (!device)
        return os::kNoHandle;
    return os::openHandle(std::make_unique<ControlChannel>(std::move(device), timeouts_.controlMs));
}

os::Handle DevicePort::UsbOpenBulk(const char* pipeName, std::uint32_t) {
    if (pipeName == nullptr)
        return os::kNoHandle;
    const bool out = std::strcmp(pipeName, "PIPE00") == 0;
    if (!out && std::strcmp(pipeName, "PIPE01") != 0)
        return os::kNoHandle;
    auto device = this->device();
    if (!device || !device->hasPipe(out))
        return os::kNoHandle;
    return os::openHandle(std::make_unique<BulkPipe>(
        std::move(device), out, out ? timeouts_.bulkOutMs : timeouts_.bulkInMs));
}

bool DevicePort::UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void*,
                                    std::uint32_t, void* output, std::uint32_t outputSize,
                                    std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr)
        *bytesReturned = 0;
    if (requestCode != kGetDeviceId || output == nullptr || outputSize == 0)
        return false;
    // The control channel answers a read with the device ID.
    const std::uint32_t got = os::readFile(control, output, outputSize);
    if (bytesReturned != nullptr)
        *bytesReturned = got;
    return got > 0;
}

bool DevicePort::UsbGetIdentity(os::Handle control, DeviceIdentity& identity) {
    const auto object = os::handleObject(control);
    const auto* channel = dynamic_cast<const ControlChannel*>(object.get());
    if (channel == nullptr || channel->device() == nullptr)
        return false;
    identity = channel->device()->identity();
    if (!identity.serial.empty()) {
        std::lock_guard lock(mutex_);
        for (const auto& other : listDevices())
            identity.sharedSerial |=
                other.serial == identity.serial && other.portPath != identity.portPath;
    }
    return true;
}

std::vector<DeviceIdentity> DevicePort::ListDevices() {
    std::lock_guard lock(mutex_);
    return listDevices();
}

std::vector<DeviceIdentity> DevicePort::listDevices() {
    if (selection_.vendorId == 0)
        return {};
    auto found = list(selection_);
    markSharedSerials(found);
    return found;
}

std::string DevicePort::TakeFailure() {
    return failures_->take();
}

bool DevicePort::Busy() {
    return failures_->busy();
}

std::unique_ptr<Port> DevicePort::newPort() {
    auto other = another(timeouts_);
    std::lock_guard lock(mutex_);
    other->selection_.vendorId = selection_.vendorId;
    other->selection_.productIds = selection_.productIds;
    return other;
}

}  // namespace usbport
