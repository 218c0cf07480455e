#include "platform/usbport/usbport.h"

#include <algorithm>
#include <atomic>

namespace usbport {
namespace {

std::atomic<Port*> installed{nullptr};
thread_local Port* threadPort = nullptr;

}  // namespace

void markSharedSerials(std::vector<DeviceIdentity>& devices) {
    for (auto& device : devices)
        device.sharedSerial =
            !device.serial.empty() &&
            std::any_of(devices.begin(), devices.end(), [&](const DeviceIdentity& other) {
                return other.serial == device.serial && other.portPath != device.portPath;
            });
}

Port& port() {
    if (threadPort != nullptr)
        return *threadPort;
    Port* p = installed.load();
    return p ? *p : systemPort();
}

void installPort(Port* p) {
    installed.store(p);
}

ScopedThreadPort::ScopedThreadPort(Port* p) : previous_(threadPort) {
    threadPort = p;
}

ScopedThreadPort::~ScopedThreadPort() {
    threadPort = previous_;
}

bool SetVenderID(std::uint16_t vendorId) {
    return port().SetVenderID(vendorId);
}

bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) {
    return port().SetProductID(productIds, count);
}

os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) {
    return port().UsbOpenCont(reserved1, reserved2);
}

os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) {
    return port().UsbOpenBulk(pipeName, reserved);
}

bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                        std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                        std::uint32_t* bytesReturned) {
    return port().UsbDeviceIoControl(control, requestCode, input, inputSize, output, outputSize,
                                     bytesReturned);
}

void SelectDevice(const DeviceIdentity* only) {
    port().SelectDevice(only);
}

bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity) {
    return port().UsbGetIdentity(control, identity);
}

void KeepDriversDetached(bool keep) {
    port().KeepDriversDetached(keep);
}

std::vector<DeviceIdentity> ListDevices() {
    return port().ListDevices();
}

std::string TakeFailure() {
    return port().TakeFailure();
}

bool Busy() {
    return port().Busy();
}

}  // namespace usbport
