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

std::string hex4(std::uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04x", value);
    return text.data();
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

// Appends code point `c` to `out` as UTF-8.
void appendUtf8(std::string& out, char32_t c) {
    auto byte = [&](char32_t v) { out += static_cast<char>(static_cast<unsigned char>(v)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | c >> 6);
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | c >> 12);
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | c >> 18);
        byte(0x80 | (c >> 12 & 0x3F));
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

// The UTF-16LE text of a string descriptor (after its 2-byte header) as UTF-8; a surrogate
// without its partner becomes U+FFFD.
std::string utf8FromUtf16(const unsigned char* units, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<char16_t>(units[2 * i] | units[2 * i + 1] << 8);
        char32_t c = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const auto low = static_cast<char16_t>(units[2 * i + 2] | units[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
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
    if (got < 2 || buffer[1] != LIBUSB_DT_STRING || buffer[0] > got)
        return LIBUSB_ERROR_IO;
    text = utf8FromUtf16(buffer.data() + 2, static_cast<std::size_t>(buffer[0] - 2) / 2);
    return 0;
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

// What the port and its devices share: the last failure in words, and the kernel drivers left
// detached while KeepDriversDetached is on.
struct Shared {
    std::mutex mutex;
    std::string lastFailure;
    bool keepDetached = false;
    std::vector<std::pair<DeviceIdentity, int>> leftDetached;  // device, interface number

    void fail(std::string text) {
        std::lock_guard lock(mutex);
        lastFailure = std::move(text);
    }
};

// What an open looks for.
struct Selection {
    std::uint16_t vendorId = 0;
    std::vector<std::uint16_t> productIds;
    std::optional<DeviceIdentity> only;

    bool kind(const libusb_device_descriptor& d) const {
        return d.idVendor == vendorId &&
               std::find(productIds.begin(), productIds.end(), d.idProduct) != productIds.end();
    }
    std::string name() const {
        return hex4(vendorId) + ":" + (productIds.empty() ? "????" : hex4(productIds.front()));
    }
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
                selection.kind(descriptor))
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
class Device {
  public:
    static std::shared_ptr<Device> open(const Selection& selection,
                                        std::shared_ptr<Shared> shared) {
        std::shared_ptr<Device> device(new Device(std::move(shared)));
        if (const int rc = libusb_init(&device->context_); rc != 0) {
            device->context_ = nullptr;
            device->shared_->fail("cannot start the USB library: " + describe(rc));
            return nullptr;
        }
        if (!device->openMatch(selection) || !device->claimInterface())
            return nullptr;
        return device;
    }

    ~Device() {
        if (claimed_)
            libusb_release_interface(handle_, interface_.number);
        if (driverDetached_) {
            std::unique_lock lock(shared_->mutex);
            if (shared_->keepDetached) {
                shared_->leftDetached.emplace_back(identity_, interface_.number);
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

    bool matches(const Selection& selection) const {
        return selection.kind(descriptor_) && (!selection.only || selection.only->names(identity_));
    }

    const PrinterInterface& printerInterface() const { return interface_; }
    const DeviceIdentity& identity() const { return identity_; }

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
        shared_->fail(std::move(what));
        // Bytes beyond what was asked for make the whole answer unusable; after a time-out or
        // another error, the bytes that did move are reported.
        if (rc == LIBUSB_ERROR_OVERFLOW)
            return 0;
        return moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    }

    std::uint32_t readDeviceId(void* output, std::uint32_t size, std::uint32_t timeoutMs) {
        const auto length = static_cast<std::uint16_t>(std::min<std::uint32_t>(size, 0xFFFF));
        const auto index =
            static_cast<std::uint16_t>(interface_.number << 8 | interface_.altSetting);
        const int got = libusb_control_transfer(
            handle_, kDeviceIdRequestType, kDeviceIdRequest, interface_.configIndex, index,
            static_cast<unsigned char*>(output), length, bounded(timeoutMs));
        if (got < 0)
            shared_->fail("device ID request to " + where() + ": " + describe(got));
        return got > 0 ? static_cast<std::uint32_t>(got) : 0;
    }

    // The device in a log line: "7a3c:0512 at 1-1".
    std::string where() const { return name_ + " at " + identity_.portPath; }

  private:
    explicit Device(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    // Opens the first device of the selected kind that has a printer interface, or, when one
    // device is selected, that device wherever it is in the list.
    bool openMatch(const Selection& selection) {
        name_ = selection.name();
        const DeviceList list(context_, selection);
        if (list.status() < 0) {
            shared_->fail("cannot list the USB devices: " + describe(list.status()));
            return false;
        }
        std::string failure = "no " + name_ + " device is attached";
        if (selection.only)
            failure = "the printer " + selection.only->key() +
                      (selection.only->sharedSerial ? " at " + selection.only->portPath : "") +
                      " is not attached";
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
        shared_->fail(std::move(failure));
        return false;
    }

    bool claimInterface() {
        const int number = interface_.number;
        if (libusb_kernel_driver_active(handle_, number) == 1) {
            if (const int rc = libusb_detach_kernel_driver(handle_, number); rc != 0) {
                shared_->fail("cannot detach the kernel driver from " + where() + ": " +
                              describe(rc));
                return false;
            }
            driverDetached_ = true;
        }
        if (const int rc = libusb_claim_interface(handle_, number); rc != 0) {
            shared_->fail(withRemedy(
                "cannot claim the printer interface of " + where() + ": " + describe(rc), rc));
            return false;
        }
        claimed_ = true;
        return interface_.altSetting == 0 ||
               libusb_set_interface_alt_setting(handle_, number, interface_.altSetting) == 0;
    }

    std::shared_ptr<Shared> shared_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_device_descriptor descriptor_{};
    PrinterInterface interface_;
    DeviceIdentity identity_;
    std::string name_;
    bool driverDetached_ = false;
    bool claimed_ = false;
};

namespace {

// A bulk pipe handle: reads on an IN endpoint, writes on an OUT endpoint.
class BulkPipe final : public os::HandleObject {
  public:
    BulkPipe(std::shared_ptr<Device> device, std::uint8_t endpoint, std::uint32_t timeoutMs)
        : device_(std::move(device)), endpoint_(endpoint), timeoutMs_(timeoutMs) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        if (!device_ || !isIn())
            return 0;
        return device_->bulk(endpoint_, static_cast<unsigned char*>(buffer), length, timeoutMs_);
    }

    std::uint32_t write(const void* buffer, std::uint32_t length) override {
        if (!device_ || isIn())
            return 0;
        // libusb only reads the data of an OUT transfer.
        auto* data = const_cast<unsigned char*>(static_cast<const unsigned char*>(buffer));
        return device_->bulk(endpoint_, data, length, timeoutMs_);
    }

    bool close() override {
        device_.reset();
        return true;
    }

  private:
    bool isIn() const { return (endpoint_ & LIBUSB_ENDPOINT_IN) != 0; }

    std::shared_ptr<Device> device_;
    std::uint8_t endpoint_;
    std::uint32_t timeoutMs_;
};

// The control channel handle: reading it asks the device for its device ID.
class ControlChannel final : public os::HandleObject {
  public:
    ControlChannel(std::shared_ptr<Device> device, std::uint32_t timeoutMs)
        : device_(std::move(device)), timeoutMs_(timeoutMs) {}

    std::uint32_t read(void* buffer, std::uint32_t length) override {
        return device_ ? device_->readDeviceId(buffer, length, timeoutMs_) : 0;
    }

    std::uint32_t write(const void*, std::uint32_t) override { return 0; }

    bool close() override {
        device_.reset();
        return true;
    }

    const Device* device() const { return device_.get(); }

  private:
    std::shared_ptr<Device> device_;
    std::uint32_t timeoutMs_;
};

}  // namespace
}  // namespace detail

LibusbPort::LibusbPort(Timeouts timeouts)
    : timeouts_(timeouts), shared_(std::make_shared<detail::Shared>()) {}

LibusbPort::~LibusbPort() = default;

bool LibusbPort::SetVenderID(std::uint16_t vendorId) {
    std::lock_guard lock(mutex_);
    vendorId_ = vendorId;
    return vendorId != 0;
}

bool LibusbPort::SetProductID(const std::uint16_t* productIds, std::uint16_t count) {
    if (productIds == nullptr && count > 0)
        return false;
    std::lock_guard lock(mutex_);
    productIds_.assign(productIds, productIds + count);
    return true;
}

os::Handle LibusbPort::UsbOpenCont(std::uint32_t, std::uint32_t) {
    auto device = this->device();
    if (!device)
        return os::kNoHandle;
    return os::openHandle(
        std::make_unique<detail::ControlChannel>(std::move(device), timeouts_.controlMs));
}

os::Handle LibusbPort::UsbOpenBulk(const char* pipeName, std::uint32_t) {
    if (pipeName == nullptr)
        return os::kNoHandle;
    const bool out = std::strcmp(pipeName, "PIPE00") == 0;
    const bool in = std::strcmp(pipeName, "PIPE01") == 0;
    if (!out && !in)
        return os::kNoHandle;
    auto device = this->device();
    if (!device)
        return os::kNoHandle;
    const auto& itf = device->printerInterface();
    const std::uint8_t endpoint = out ? itf.outEndpoint : itf.inEndpoint;
    if (endpoint == 0) {
        shared_->fail("the printer interface of " + device->where() + " has no bulk " +
                      (out ? "OUT" : "IN") + " endpoint");
        return os::kNoHandle;
    }
    const std::uint32_t timeoutMs = out ? timeouts_.bulkOutMs : timeouts_.bulkInMs;
    return os::openHandle(
        std::make_unique<detail::BulkPipe>(std::move(device), endpoint, timeoutMs));
}

bool LibusbPort::UsbDeviceIoControl(os::Handle control, std::uint32_t requestCode, const void*,
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

std::shared_ptr<detail::Device> LibusbPort::device() {
    std::lock_guard lock(mutex_);
    if (vendorId_ == 0)
        return nullptr;
    const detail::Selection selection{vendorId_, productIds_, selected_};
    auto device = current_.lock();
    if (device && device->matches(selection))
        return device;
    device = detail::Device::open(selection, shared_);
    if (device)
        current_ = device;
    return device;
}

void LibusbPort::SelectDevice(const DeviceIdentity* only) {
    std::lock_guard lock(mutex_);
    selected_.reset();
    if (only != nullptr)
        selected_ = *only;
}

bool LibusbPort::UsbGetIdentity(os::Handle control, DeviceIdentity& identity) {
    const auto object = os::handleObject(control);
    const auto* channel = dynamic_cast<const detail::ControlChannel*>(object.get());
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

void LibusbPort::KeepDriversDetached(bool keep) {
    std::vector<std::pair<DeviceIdentity, int>> rebind;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->keepDetached = keep;
        if (!keep)
            rebind.swap(shared_->leftDetached);
    }
    if (rebind.empty())
        return;
    std::lock_guard lock(mutex_);
    for (const auto& [identity, number] : rebind) {
        // The device as it is now: after a reset it has a new address, and the kernel may have
        // bound its driver again by itself.
        const detail::Selection selection{vendorId_, productIds_, identity};
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
                if (detail::readSerial(handle, descriptor, now.serial) == 0 &&
                    identity.names(now) && libusb_kernel_driver_active(handle, number) == 0)
                    libusb_attach_kernel_driver(handle, number);
                libusb_close(handle);
            }
        }
        libusb_exit(context);
    }
}

std::vector<DeviceIdentity> LibusbPort::ListDevices() {
    std::lock_guard lock(mutex_);
    return listDevices();
}

std::vector<DeviceIdentity> LibusbPort::listDevices() {
    std::vector<DeviceIdentity> found;
    libusb_context* context = nullptr;
    if (vendorId_ == 0 || libusb_init(&context) != 0)
        return found;
    {
        const detail::DeviceList list(context, {vendorId_, productIds_, std::nullopt});
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
    markSharedSerials(found);
    return found;
}

std::string LibusbPort::TakeFailure() {
    std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->lastFailure, {});
}

std::unique_ptr<Port> LibusbPort::newPort() {
    auto other = std::make_unique<LibusbPort>(timeouts_);
    std::lock_guard lock(mutex_);
    other->vendorId_ = vendorId_;
    other->productIds_ = productIds_;
    return other;
}

Port& systemPort() {
    static LibusbPort port;
    return port;
}

}  // namespace usbport
