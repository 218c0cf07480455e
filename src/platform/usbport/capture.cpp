#include "platform/usbport/capture.h"

#include <array>
#include <mutex>
#include <utility>

#include "platform/os/log.h"
#include "platform/usbport/pcap_writer.h"

namespace usbport {
namespace {

constexpr std::int32_t kFailed = -71;  // -EPROTO: what usbmon shows for a transfer that failed

std::mutex captureMutex;
std::shared_ptr<PcapWriter> activeCapture;

std::shared_ptr<PcapWriter> capture() {
    std::lock_guard lock(captureMutex);
    return activeCapture;
}

// An open device whose transfers also go to the capture.
class CapturedDevice final : public OpenDevice {
  public:
    CapturedDevice(std::shared_ptr<OpenDevice> device, std::shared_ptr<PcapWriter> writer)
        : device_(std::move(device)), writer_(std::move(writer)), where_(device_->usbAddress()) {}

    const DeviceIdentity& identity() const override { return device_->identity(); }
    bool hasPipe(bool out) override { return device_->hasPipe(out); }
    bool matches(const Selection& selection) const override { return device_->matches(selection); }
    UsbEndpoints usbAddress() const override { return where_; }

    std::uint32_t deviceId(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        const auto asked = static_cast<std::uint16_t>(std::min<std::uint32_t>(length, 0xFFFF));
        // GET_DEVICE_ID: class request to the interface, device to host.
        const std::array<std::uint8_t, 8> setup{0xA1,
                                                0,
                                                where_.configIndex,
                                                0,
                                                where_.altSetting,
                                                where_.interface,
                                                static_cast<std::uint8_t>(asked & 0xFF),
                                                static_cast<std::uint8_t>(asked >> 8)};
        UrbEvent event = start(UrbEvent::Transfer::Control, 0x80, asked);
        event.setup = setup.data();
        writer_->write(event);
        const std::uint32_t got = device_->deviceId(buffer, length, timeoutMs);
        finish(event, got, got > 0, buffer);
        return got;
    }
    std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        UrbEvent event = start(UrbEvent::Transfer::Bulk, where_.in, length);
        writer_->write(event);
        const std::uint32_t got = device_->read(buffer, length, timeoutMs);
        finish(event, got, got > 0, buffer);
        return got;
    }
    std::uint32_t write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) override {
        UrbEvent event = start(UrbEvent::Transfer::Bulk, where_.out, length);
        event.data = {static_cast<const std::uint8_t*>(data), length};
        writer_->write(event);
        const std::uint32_t put = device_->write(data, length, timeoutMs);
        finish(event, put, put == length, nullptr);
        return put;
    }

  private:
    UrbEvent start(UrbEvent::Transfer transfer, std::uint8_t endpoint, std::uint32_t length) {
        UrbEvent event;
        event.id = writer_->nextId();
        event.transfer = transfer;
        event.endpoint = endpoint;
        event.address = {where_.bus, where_.device};
        event.length = length;
        return event;
    }
    // The completion of `event`: `moved` bytes, IN data from `in`.
    void finish(UrbEvent event, std::uint32_t moved, bool ok, const void* in) {
        event.kind = UrbEvent::Kind::Complete;
        event.setup = nullptr;
        event.status = ok ? 0 : kFailed;
        event.length = moved;
        event.data = {};
        if (in != nullptr)
            event.data = {static_cast<const std::uint8_t*>(in), moved};
        writer_->write(event);
        if (const auto why = writer_->takeFailure(); !why.empty())
            os::log("%s; the download goes on without a capture", why.c_str());
    }

    std::shared_ptr<OpenDevice> device_;
    std::shared_ptr<PcapWriter> writer_;
    UsbEndpoints where_;
};

}  // namespace

bool startCapture(const std::string& path) {
    auto writer = std::make_shared<PcapWriter>();
    if (!writer->open(path)) {
        os::log("%s; the run goes on without a capture", writer->failure().c_str());
        return false;
    }
    std::lock_guard lock(captureMutex);
    activeCapture = std::move(writer);
    return true;
}

void stopCapture() {
    std::lock_guard lock(captureMutex);
    activeCapture.reset();
}

std::shared_ptr<OpenDevice> captured(std::shared_ptr<OpenDevice> device) {
    auto writer = capture();
    if (!device || !writer)
        return device;
    return std::make_shared<CapturedDevice>(std::move(device), std::move(writer));
}

}  // namespace usbport
