#pragma once
// What the system ports have in common: a port opens one printer at a time, of the kind set by
// vendor and product ID and, when one is selected, that one; its control channel and bulk pipes
// are handles on the open printer, which closes with the last of them. A backend says how the
// printers of a kind are listed, how one is opened and how it moves bytes.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usbport/usbport.h"

namespace usbport {

// What an open looks for.
struct Selection {
    std::uint16_t vendorId = 0;
    std::vector<std::uint16_t> productIds;
    std::optional<DeviceIdentity> only;

    bool kind(std::uint16_t vendor, std::uint16_t product) const;
    // The kind in a log line: "7a3c:0512".
    std::string name() const;
    // Why nothing was opened when no device of the kind, or not the selected one, is attached.
    std::string notAttached() const;
};

// "7a3c"
std::string hex4(std::uint16_t value);

// The last failure in words, shared by a port and the printers it opened (they may outlive it).
class Failures {
  public:
    void record(std::string text);
    // A failure because something else holds the device (a program, a print job).
    void recordBusy(std::string text);
    // The failure in words, forgotten once taken.
    std::string take();
    // Whether the failure not yet taken is a busy device.
    bool busy();

  private:
    std::mutex mutex_;
    std::string last_;
    bool busy_ = false;
};

// Where an open printer's transfers go, as a capture names them.
struct UsbEndpoints {
    std::uint16_t bus = 1;
    std::uint8_t device = 1;
    std::uint8_t out = 0x01;  // bulk OUT
    std::uint8_t in = 0x81;   // bulk IN
    std::uint8_t interface = 0;
    std::uint8_t altSetting = 0;
    std::uint8_t configIndex = 0;
};

// One open printer as its handles use it. Each transfer returns the bytes moved and records a
// failure in words.
class OpenDevice {
  public:
    virtual ~OpenDevice() = default;
    virtual const DeviceIdentity& identity() const = 0;
    // The IEEE 1284 device ID.
    virtual std::uint32_t deviceId(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) = 0;
    // Bulk IN.
    virtual std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) = 0;
    // Bulk OUT.
    virtual std::uint32_t write(const void* data, std::uint32_t length,
                                std::uint32_t timeoutMs) = 0;
    // Whether a bulk pipe of this direction can be opened; when not, the reason is recorded.
    virtual bool hasPipe(bool /*out*/) { return true; }
    // Bus, address and endpoints; a backend that cannot tell keeps the usual ones.
    virtual UsbEndpoints usbAddress() const { return {}; }
    // Whether the printer is still the one `selection` asks for.
    virtual bool matches(const Selection& selection) const {
        return !selection.only || selection.only->names(identity());
    }
};

class DevicePort : public Port {
  public:
    explicit DevicePort(Timeouts timeouts) : timeouts_(timeouts) {}
    ~DevicePort() override = default;
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    bool SetVenderID(std::uint16_t vendorId) final;
    bool SetProductID(const std::uint16_t* productIds, std::uint16_t count) final;
    os::Handle UsbOpenCont(std::uint32_t reserved1, std::uint32_t reserved2) final;
    // "PIPE00" is bulk OUT, "PIPE01" bulk IN.
    os::Handle UsbOpenBulk(const char* pipeName, std::uint32_t reserved) final;
    // Request code kGetDeviceId reads the device ID through the control channel.
    bool UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void* input,
                            std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                            std::uint32_t* bytesReturned) final;
    void SelectDevice(const DeviceIdentity* only) final;
    bool UsbGetIdentity(os::Handle control, DeviceIdentity& identity) final;
    std::vector<DeviceIdentity> ListDevices() final;
    std::string TakeFailure() final;
    bool Busy() final;
    // A port of the same backend and kind, with nothing selected or open: each run of several at
    // once takes one, so that one printer's selection and failures never steer another's.
    std::unique_ptr<Port> newPort() final;

  protected:
    // Opens the printer `selection` asks for: the first of the kind when none is selected, else
    // the selected one wherever it is. Null, with the failure recorded, when it cannot.
    virtual std::shared_ptr<OpenDevice> open(const Selection& selection) = 0;
    // The attached printers of the kind (shared serials not yet marked); a failure is recorded.
    virtual std::vector<DeviceIdentity> list(const Selection& selection) = 0;
    virtual std::unique_ptr<DevicePort> another(Timeouts timeouts) const = 0;

    // The kind and selection as they are now.
    Selection selection();

    const Timeouts timeouts_;
    const std::shared_ptr<Failures> failures_ = std::make_shared<Failures>();

  private:
    // The open printer if it is still the one asked for, else a newly opened one; null on failure.
    std::shared_ptr<OpenDevice> device();
    std::vector<DeviceIdentity> listDevices();  // under mutex_

    std::mutex mutex_;
    Selection selection_;
    std::weak_ptr<OpenDevice> current_;
};

}  // namespace usbport
