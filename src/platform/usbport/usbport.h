#pragma once
// The printer maker's USB interface library, as the program sees it: choose the device by vendor
// and product ID, open its control channel and its two bulk pipes as platform handles, and make
// one control request. The operations go to an installable Port; the program uses the libusb
// implementation (libusb/libusb_port.h), tests install scripted ones.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/handles.h"

namespace usbport {

// What tells one device from another of the same kind, and stays the same when it re-enumerates
// (a reset gives it a new address on the same port).
struct DeviceIdentity {
    std::string serial;    // the serial number string in UTF-8; empty when the device has none
    std::string portPath;  // bus and port numbers, e.g. "1-4.2"
    // Another attached device of the same kind reports the same serial (cheap devices often share
    // one): the serial alone does not name this device, its port path must match too.
    bool sharedSerial = false;

    // A device is the one named when its serial is the same, or, for a device without a serial of
    // its own (none, or a shared one), when it has the same serial on the same port. A device
    // with a shared serial that came back on another port is not taken for it.
    bool names(const DeviceIdentity& device) const {
        return serial.empty() || sharedSerial
                   ? serial == device.serial && portPath == device.portPath
                   : serial == device.serial;
    }
    // The serial when there is one, else the port path.
    const std::string& key() const { return serial.empty() ? portPath : serial; }
};

// Marks every device whose serial another one of `devices` (at another port) has too.
void markSharedSerials(std::vector<DeviceIdentity>& devices);

// Time-outs of single transfers, in ms: the same for every system's port.
struct Timeouts {
    // The device-ID request: the usual upper bound for a control request.
    std::uint32_t controlMs = 5'000;
    // One bulk OUT write (the program writes at most 4,096 bytes at a time): a printer that is
    // busy programming its flash may hold data off for seconds.
    std::uint32_t bulkOutMs = 10'000;
    // One bulk IN read: replies are read well after they were requested, so they are waiting.
    std::uint32_t bulkInMs = 5'000;
};

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

    // Beyond the five operations: which device opens, and what it is. A port that cannot tell
    // devices apart keeps these defaults.

    // From now on only the device `only` names opens (nullptr: the first matching device again).
    // Another device of the same kind counts as not there.
    virtual void SelectDevice(const DeviceIdentity* only) { (void)only; }
    // The identity of the device behind a handle from UsbOpenCont, with sharedSerial set when
    // another attached device has the same serial; false when unknown.
    virtual bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity) {
        (void)control;
        (void)identity;
        return false;
    }
    // While on, closing a device leaves the kernel driver it detached unbound, so that nothing
    // else reaches the device between the steps of a longer job; switching it off binds those
    // drivers again (on the device as it is now, after any re-enumeration).
    virtual void KeepDriversDetached(bool keep) { (void)keep; }
    // Every attached device with the vendor ID and one of the product IDs, in port order, with
    // shared serials marked (markSharedSerials).
    virtual std::vector<DeviceIdentity> ListDevices() { return {}; }
    // Why the last open or transfer that failed did so, in words a user can act on (naming the
    // device, the USB library's error and what to do), forgotten once taken; empty when nothing
    // failed since, or the port cannot tell.
    virtual std::string TakeFailure() { return {}; }
    // Whether the failure not yet taken is the device being busy: another program holds it, or
    // a print job goes through the system's printer driver. Nothing was sent to it then.
    virtual bool Busy() { return false; }
    // Another port of the same kind, with the same vendor and product IDs but a selection, a
    // failure text and detached drivers of its own, so that runs on several devices at once keep
    // out of each other's way (one per thread, see ScopedThreadPort). Null when the port cannot
    // make one: its devices are then reached one at a time.
    virtual std::unique_ptr<Port> newPort() { return nullptr; }
};

// The port behind the free functions: the calling thread's own while it has one installed
// (ScopedThreadPort), else the process's: the system's own unless a test installed another.
Port& port();
// The system's port, made on first use: the libusb one on Linux, the USB printer class driver's
// on Windows. Each backend defines it.
Port& systemPort();
// Installs `port` process-wide (nullptr restores the libusb port). The caller keeps ownership.
void installPort(Port* port);

class ScopedPort {
  public:
    explicit ScopedPort(Port& p) { installPort(&p); }
    ~ScopedPort() { installPort(nullptr); }
    ScopedPort(const ScopedPort&) = delete;
    ScopedPort& operator=(const ScopedPort&) = delete;
};

// Installs `port` for the calling thread alone for the guard's lifetime (nullptr: none).
class ScopedThreadPort {
  public:
    explicit ScopedThreadPort(Port* p);
    ~ScopedThreadPort();
    ScopedThreadPort(const ScopedThreadPort&) = delete;
    ScopedThreadPort& operator=(const ScopedThreadPort&) = delete;

  private:
    Port* previous_;
};

// The library's five operations, forwarded to port().
bool SetVenderID(std::uint16_t vendorId);
bool SetProductID(const std::uint16_t* productIds, std::uint16_t count);
os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2);
os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved);
bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                        std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                        std::uint32_t* bytesReturned);
void SelectDevice(const DeviceIdentity* only);
bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity);
void KeepDriversDetached(bool keep);
std::vector<DeviceIdentity> ListDevices();
std::string TakeFailure();
bool Busy();

}  // namespace usbport
