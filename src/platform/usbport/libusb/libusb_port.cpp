#include "platform/usbport/libusb/libusb_port.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "platform/os/log.h"
#include "platform/usbport/libusb/print_jobs.h"
#include "platform/usbport/libusb/string_descriptor.h"

namespace usbport {
namespace detail {
namespace {

constexpr std::uint8_t kPrinterClass = 7;
constexpr std::uint8_t kPrinterSubclass = 1;
// Printer-class GET_DEVICE_ID: class request, device to host, addressed to the interface.
constexpr std::uint8_t kDeviceIdRequestType = 0xA1;
constexpr std::uint8_t kDeviceIdRequest = 0;

// libusb takes a time-out of 0 to mean "wait forever"; no transfer of ours may do that.
unsigned int bounded(std::uint32_t timeoutMs) {
    return std::max<std::uint32_t>(timeoutMs, 1);
}

// A libusb error in words a user can act on, with libusb's own name for it.
std::string describe(int error) {
    const char* words = nullptr;
    switch (error) {
        case LIBUSB_ERROR_ACCESS:
            words = "permission denied";
            break;
        case LIBUSB_ERROR_BUSY:
            words = "in use by another program";
            break;
        case LIBUSB_ERROR_NO_DEVICE:
            words = "the device is gone";
            break;
        case LIBUSB_ERROR_TIMEOUT:
            words = "no answer in time";
            break;
        case LIBUSB_ERROR_PIPE:
            words = "the endpoint stalled";
            break;
        case LIBUSB_ERROR_OVERFLOW:
            words = "the device sent more than was asked for";
            break;
        default:
            words = libusb_strerror(error);
            break;
    }
    return std::string(words) + " (" + libusb_error_name(error) + ")";
}

// Where to look when the cause is on this machine rather than in the device.
std::string withRemedy(std::string text, int error) {
    if (error == LIBUSB_ERROR_ACCESS || error == LIBUSB_ERROR_BUSY)
        text += std::string("; ") + os::kSeeTroubleshooting;
    return text;
}

// Bus and port numbers, "1-4.2": stable while the device stays plugged into the same port.
std::string portPathOf(libusb_device* device) {
    std::array<std::uint8_t, 8> ports{};
    const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
    std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i)
        path += (i > 0 ? "." : "") + std::to_string(ports[static_cast<std::size_t>(i)]);
    if (depth <= 0)
        path += "0";
    return path;
}

// One string descriptor in the device's first language, as UTF-8; a libusb error when it cannot
// be read. The raw descriptor is read: libusb's ASCII form folds every other character to '?',
// so that distinct serials would look alike.
int readString(libusb_device_handle* handle, std::uint8_t index, std::string& text) {
    std::array<unsigned char, 255> buffer{};
    int got =
        libusb_get_string_descriptor(handle, 0, 0, buffer.data(), static_cast<int>(buffer.size()));
    if (got < 0)
        return got;
    if (got < 4 || buffer[1] != LIBUSB_DT_STRING)
        return LIBUSB_ERROR_IO;
    const auto language = static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8);
    got = libusb_get_string_descriptor(handle, index, language, buffer.data(),
                                       static_cast<int>(buffer.size()));
    if (got < 0)
        return got;
    return stringDescriptorText({buffer.data(), static_cast<std::size_t>(got)}, text)
               ? 0
               : LIBUSB_ERROR_IO;
}

// The device's serial number string (empty when it has none); a libusb error when it has one
// that could not be read, twice.
int readSerial(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
               std::string& serial) {
    serial.clear();
    if (descriptor.iSerialNumber == 0)
        return 0;
    int rc = readString(handle, descriptor.iSerialNumber, serial);
    if (rc != 0)
        rc = readString(handle, descriptor.iSerialNumber, serial);
    return rc;
}

}  // namespace

// The kernel drivers left detached while KeepDriversDetached is on, shared by the port and its
// devices.
struct Detached {
    std::mutex mutex;
    bool keep = false;
    // Device (its serial and port) and interface number of each driver this port detached.
    std::vector<std::pair<DeviceIdentity, int>> drivers;
};

// The attached devices of the selected kind, ordered by bus and port numbers, so that "the
// first" is the same device however the system happens to list them.
class DeviceList {
  public:
    struct Entry {
        libusb_device* device;
        libusb_device_descriptor descriptor;
    };

    DeviceList(libusb_context* context, const Selection& selection)
        : status_(static_cast<int>(libusb_get_device_list(context, &list_))) {
        for (int i = 0; i < status_; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list_[i], &descriptor) == 0 &&
                selection.kind(descriptor.idVendor, descriptor.idProduct))
                entries_.push_back({list_[i], descriptor});
        }
        std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
            return position(a.device) < position(b.device);
        });
    }
    ~DeviceList() {
        if (status_ >= 0)
            libusb_free_device_list(list_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // The number of devices listed, or a libusb error.
    int status() const { return status_; }
    const std::vector<Entry>& entries() const { return entries_; }

  private:
    static std::vector<std::uint8_t> position(libusb_device* device) {
        std::array<std::uint8_t, 8> ports{};
        const int depth =
            libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
        std::vector<std::uint8_t> key{libusb_get_bus_number(device)};
        key.insert(key.end(), ports.begin(), ports.begin() + std::max(depth, 0));
        return key;
    }

    libusb_device** list_ = nullptr;  // before status_, which the list is made for
    int status_ = 0;
    std::vector<Entry> entries_;
};

// Where the printer-class interface sits in the device's configuration.
struct PrinterInterface {
    std::uint8_t configIndex = 0;
    std::uint8_t number = 0;
    std::uint8_t altSetting = 0;
    std::uint8_t outEndpoint = 0;  // 0: none
    std::uint8_t inEndpoint = 0;   // 0: none
};

namespace {

// The first bulk OUT and the first bulk IN endpoint of an alternate setting (0: none).
void findBulkEndpoints(const libusb_interface_descriptor& alt, PrinterInterface& found) {
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        std::uint8_t& slot =
            (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? found.inEndpoint : found.outEndpoint;
        if (slot == 0)
            slot = ep.bEndpointAddress;
    }
}

// The printer-class alternate setting of one configuration, a two-way one (bulk OUT and bulk IN)
// preferred over a one-way one.
std::optional<PrinterInterface> scanConfiguration(const libusb_config_descriptor& config,
                                                  std::uint8_t configIndex) {
    std::optional<PrinterInterface> oneWay;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& itf = config.interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != kPrinterClass || alt.bInterfaceSubClass != kPrinterSubclass)
                continue;
            PrinterInterface found{configIndex, alt.bInterfaceNumber, alt.bAlternateSetting, 0, 0};
            findBulkEndpoints(alt, found);
            if (found.outEndpoint != 0 && found.inEndpoint != 0)
                return found;
            if (!oneWay)
                oneWay = found;
        }
    }
    return oneWay;
}

// The printer interface of the device's active configuration (of any, if that is unknown).
std::optional<PrinterInterface> findPrinterInterface(libusb_device* device,
                                                     const libusb_device_descriptor& descriptor) {
    int activeValue = -1;
    libusb_config_descriptor* active = nullptr;
    if (libusb_get_active_config_descriptor(device, &active) == 0) {
        activeValue = active->bConfigurationValue;
        libusb_free_config_descriptor(active);
    }
    for (std::uint8_t i = 0; i < descriptor.bNumConfigurations; ++i) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(device, i, &config) != 0)
            continue;
        std::optional<PrinterInterface> found;
        if (activeValue < 0 || config->bConfigurationValue == activeValue)
            found = scanConfiguration(*config, i);
        libusb_free_config_descriptor(config);
        if (found)
            return found;
    }
    return std::nullopt;
}

}  // namespace

// One opened device with its claimed printer interface. Built step by step; the destructor undoes
// exactly the steps that were done, so a partly failed open leaks nothing.
class Device final : public OpenDevice {
  public:
    static std::shared_ptr<Device> open(const Selection& selection,
                                        std::shared_ptr<Failures> failures,
                                        std::shared_ptr<Detached> detached) {
        std::shared_ptr<Device> device(new Device(std::move(failures), std::move(detached)));
        if (const int rc = libusb_init(&device->context_); rc != 0) {
            device->context_ = nullptr;
            device->failures_->record("cannot start the USB library: " + describe(rc));
            return nullptr;
        }
        if (!device->openMatch(selection) || !device->claimInterface())
            return nullptr;
        return device;
    }

    ~Device() override {
        if (claimed_)
            libusb_release_interface(handle_, interface_.number);
        if (driverDetached_) {
            std::unique_lock lock(detached_->mutex);
            if (detached_->keep) {
                detached_->drivers.emplace_back(identity_, interface_.number);
            } else {
                lock.unlock();
                libusb_attach_kernel_driver(handle_, interface_.number);
            }
        }
        if (handle_ != nullptr)
            libusb_close(handle_);
        if (context_ != nullptr)
            libusb_exit(context_);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool matches(const Selection& selection) const override {
        return selection.kind(descriptor_.idVendor, descriptor_.idProduct) &&
               OpenDevice::matches(selection);
    }

    const DeviceIdentity& identity() const override { return identity_; }

    std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        return bulk(interface_.inEndpoint, static_cast<unsigned char*>(buffer), length, timeoutMs);
    }

    std::uint32_t write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) override {
        // libusb only reads the data of an OUT transfer.
        auto* bytes = const_cast<unsigned char*>(static_cast<const unsigned char*>(data));
        return bulk(interface_.outEndpoint, bytes, length, timeoutMs);
    }

    bool hasPipe(bool out) override {
        if ((out ? interface_.outEndpoint : interface_.inEndpoint) != 0)
            return true;
        failures_->record("the printer interface of " + where() + " has no bulk " +
                          (out ? "OUT" : "IN") + " endpoint");
        return false;
    }

    std::uint32_t deviceId(void* output, std::uint32_t size, std::uint32_t timeoutMs) override {
        const auto length = static_cast<std::uint16_t>(std::min<std::uint32_t>(size, 0xFFFF));
        const auto index =
            static_cast<std::uint16_t>(interface_.number << 8 | interface_.altSetting);
        const int got = libusb_control_transfer(
            handle_, kDeviceIdRequestType, kDeviceIdRequest, interface_.configIndex, index,
            static_cast<unsigned char*>(output), length, bounded(timeoutMs));
        if (got < 0)
            failures_->record("device ID request to " + where() + ": " + describe(got));
        return got > 0 ? static_cast<std::uint32_t>(got) : 0;
    }

    UsbEndpoints usbAddress() const override {
        libusb_device* device = libusb_get_device(handle_);
        return {libusb_get_bus_number(device),
                libusb_get_device_address(device),
                interface_.outEndpoint,
                interface_.inEndpoint,
                interface_.number,
                interface_.altSetting,
                interface_.configIndex};
    }

  private:
    Device(std::shared_ptr<Failures> failures, std::shared_ptr<Detached> detached)
        : failures_(std::move(failures)), detached_(std::move(detached)) {}

    // The device in a log line: "7a3c:0512 at 1-1".
    std::string where() const { return name_ + " at " + identity_.portPath; }

    std::uint32_t bulk(std::uint8_t endpoint, unsigned char* data, std::uint32_t length,
                       std::uint32_t timeoutMs) {
        int moved = 0;
        const int asked = static_cast<int>(std::min<std::uint32_t>(length, INT_MAX));
        const int rc =
            libusb_bulk_transfer(handle_, endpoint, data, asked, &moved, bounded(timeoutMs));
        if (rc == 0)
            return static_cast<std::uint32_t>(std::max(moved, 0));
        std::string what = ((endpoint & LIBUSB_ENDPOINT_IN) != 0 ? "read from " : "write to ") +
                           where() + " endpoint 0x" + hex4(endpoint).substr(2) + ": " +
                           describe(rc);
        if (rc == LIBUSB_ERROR_PIPE) {
            // A halted endpoint refuses every later transfer until the host clears it.
            const int cleared = libusb_clear_halt(handle_, endpoint);
            what +=
                cleared == 0 ? "; halt cleared" : "; cannot clear the halt: " + describe(cleared);
        }
        failures_->record(std::move(what));
        // Bytes beyond what was asked for make the whole answer unusable; after a time-out or
        // another error, the bytes that did move are reported.
        if (rc == LIBUSB_ERROR_OVERFLOW)
            return 0;
        return moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    }

    // Opens the first device of the selected kind that has a printer interface, or, when one
    // device is selected, that device wherever it is in the list.
    bool openMatch(const Selection& selection) {
        name_ = selection.name();
        const DeviceList list(context_, selection);
        if (list.status() < 0) {
            failures_->record("cannot list the USB devices: " + describe(list.status()));
            return false;
        }
        std::string failure = selection.notAttached();
        for (const auto& [device, descriptor] : list.entries()) {
            descriptor_ = descriptor;
            identity_ = {{}, portPathOf(device)};
            const auto found = findPrinterInterface(device, descriptor_);
            if (!found) {
                failure = name_ + " at " + identity_.portPath + " has no printer interface";
            } else if (const int rc = libusb_open(device, &handle_); rc != 0) {
                handle_ = nullptr;
                failure = withRemedy("cannot open " + where() + ": " + describe(rc), rc);
            } else if (const int read = readSerial(handle_, descriptor_, identity_.serial);
                       read != 0) {
                // Taken for a device without a serial, it would be bound by its port, and the
                // next open, reading the serial, would not find it again.
                failure = "cannot read the serial number of " + where() + ": " + describe(read);
                libusb_close(handle_);
                handle_ = nullptr;
            } else {
                interface_ = *found;
                if (!selection.only || selection.only->names(identity_))
                    return true;
                libusb_close(handle_);
                handle_ = nullptr;
            }
            if (!selection.only)
                break;  // only the first device of the kind is considered
        }
        failures_->record(std::move(failure));
        return false;
    }

    // Records a failure, as busy when something else holds the device.
    void fail(std::string text, int rc) {
        if (rc == LIBUSB_ERROR_BUSY)
            failures_->recordBusy(std::move(text));
        else
            failures_->record(std::move(text));
    }

    bool claimInterface() {
        const int number = interface_.number;
        if (libusb_kernel_driver_active(handle_, number) == 1) {
            // A print job going through the printer driver is never cut: the driver stays.
            if (const std::string job = printJobOn(identity_.portPath, number); !job.empty()) {
                failures_->recordBusy(where() + " is printing: " + job);
                return false;
            }
            if (const int rc = libusb_detach_kernel_driver(handle_, number); rc != 0) {
                fail("cannot detach the kernel driver from " + where() + ": " + describe(rc), rc);
                return false;
            }
            driverDetached_ = true;
        }
        if (const int rc = libusb_claim_interface(handle_, number); rc != 0) {
            fail(withRemedy(
                     "cannot claim the printer interface of " + where() + ": " + describe(rc), rc),
                 rc);
            return false;
        }
        claimed_ = true;
        return interface_.altSetting == 0 ||
               libusb_set_interface_alt_setting(handle_, number, interface_.altSetting) == 0;
    }

    std::shared_ptr<Failures> failures_;
    std::shared_ptr<Detached> detached_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_device_descriptor descriptor_{};
    PrinterInterface interface_;
    DeviceIdentity identity_;
    std::string name_;
    bool driverDetached_ = false;
    bool claimed_ = false;
};

}  // namespace detail

LibusbPort::LibusbPort(Timeouts timeouts)
    : DevicePort(timeouts), detached_(std::make_shared<detail::Detached>()) {}

LibusbPort::~LibusbPort() = default;

std::shared_ptr<OpenDevice> LibusbPort::open(const Selection& selection) {
    return detail::Device::open(selection, failures_, detached_);
}

void LibusbPort::KeepDriversDetached(bool keep) {
    std::vector<std::pair<DeviceIdentity, int>> rebind;
    {
        std::lock_guard lock(detached_->mutex);
        detached_->keep = keep;
        if (!keep)
            rebind.swap(detached_->drivers);
    }
    if (rebind.empty())
        return;
    Selection selection = this->selection();
    for (const auto& [identity, number] : rebind) {
        // The device as it is now: after a reset it has a new address, and the kernel may have
        // bound its driver again by itself.
        selection.only = identity;
        libusb_context* context = nullptr;
        if (libusb_init(&context) != 0)
            continue;
        {
            const detail::DeviceList list(context, selection);
            for (const auto& [device, descriptor] : list.entries()) {
                libusb_device_handle* handle = nullptr;
                if (libusb_open(device, &handle) != 0)
                    continue;
                DeviceIdentity now{{}, detail::portPathOf(device)};
                // The device keeps its port over a reset; a twin with the same serial on another
                // port is another printer, maybe in the middle of a run of its own.
                if (detail::readSerial(handle, descriptor, now.serial) == 0 &&
                    now.serial == identity.serial && now.portPath == identity.portPath &&
                    libusb_kernel_driver_active(handle, number) == 0)
                    libusb_attach_kernel_driver(handle, number);
                libusb_close(handle);
            }
        }
        libusb_exit(context);
    }
}

std::vector<DeviceIdentity> LibusbPort::list(const Selection& selection) {
    std::vector<DeviceIdentity> found;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return found;
    {
        const detail::DeviceList list(context, selection);
        for (const auto& [device, descriptor] : list.entries()) {
            DeviceIdentity identity{{}, detail::portPathOf(device)};
            libusb_device_handle* handle = nullptr;
            if (libusb_open(device, &handle) == 0) {
                // One whose serial cannot be read is listed without; opening it fails and says
                // why.
                detail::readSerial(handle, descriptor, identity.serial);
                libusb_close(handle);
            }
            found.push_back(std::move(identity));
        }
    }
    libusb_exit(context);
    return found;
}

Port& systemPort() {
    static LibusbPort port;
    return port;
}

}  // namespace usbport
