#include "platform/usbport/libusb_port.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

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

}  // namespace

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
    static std::shared_ptr<Device> open(std::uint16_t vendorId,
                                        const std::vector<std::uint16_t>& productIds) {
        std::shared_ptr<Device> device(new Device);
        if (libusb_init(&device->context_) != 0) {
            device->context_ = nullptr;
            return nullptr;
        }
        if (!device->openFirstMatch(vendorId, productIds) || !device->claimInterface())
            return nullptr;
        return device;
    }

    ~Device() {
        if (claimed_)
            libusb_release_interface(handle_, interface_.number);
        if (driverDetached_)
            libusb_attach_kernel_driver(handle_, interface_.number);
        if (handle_ != nullptr)
            libusb_close(handle_);
        if (context_ != nullptr)
            libusb_exit(context_);
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool matches(std::uint16_t vendorId, const std::vector<std::uint16_t>& productIds) const {
        return vendorId == vendorId_ &&
               std::find(productIds.begin(), productIds.end(), productId_) != productIds.end();
    }

    const PrinterInterface& printerInterface() const { return interface_; }

    std::uint32_t bulk(std::uint8_t endpoint, unsigned char* data, std::uint32_t length,
                       std::uint32_t timeoutMs) {
        int moved = 0;
        const int asked = static_cast<int>(std::min<std::uint32_t>(length, INT_MAX));
        // A time-out or an error still reports the bytes that did move.
        libusb_bulk_transfer(handle_, endpoint, data, asked, &moved, bounded(timeoutMs));
        return moved > 0 ? static_cast<std::uint32_t>(moved) : 0;
    }

    std::uint32_t readDeviceId(void* output, std::uint32_t size, std::uint32_t timeoutMs) {
        const auto length = static_cast<std::uint16_t>(std::min<std::uint32_t>(size, 0xFFFF));
        const auto index =
            static_cast<std::uint16_t>(interface_.number << 8 | interface_.altSetting);
        const int got = libusb_control_transfer(
            handle_, kDeviceIdRequestType, kDeviceIdRequest, interface_.configIndex, index,
            static_cast<unsigned char*>(output), length, bounded(timeoutMs));
        return got > 0 ? static_cast<std::uint32_t>(got) : 0;
    }

  private:
    Device() = default;

    // Opens the first device with the vendor ID and one of the product IDs, if it has a printer
    // interface.
    bool openFirstMatch(std::uint16_t vendorId, const std::vector<std::uint16_t>& productIds) {
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        if (count < 0)
            return false;
        bool opened = false;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
                descriptor.idVendor != vendorId ||
                std::find(productIds.begin(), productIds.end(), descriptor.idProduct) ==
                    productIds.end())
                continue;
            const auto found = findPrinterInterface(list[i], descriptor);
            opened = found && libusb_open(list[i], &handle_) == 0;
            if (opened) {
                interface_ = *found;
                vendorId_ = descriptor.idVendor;
                productId_ = descriptor.idProduct;
            }
            break;  // only the first matching device is considered
        }
        libusb_free_device_list(list, 1);
        return opened;
    }

    bool claimInterface() {
        const int number = interface_.number;
        if (libusb_kernel_driver_active(handle_, number) == 1) {
            if (libusb_detach_kernel_driver(handle_, number) != 0)
                return false;
            driverDetached_ = true;
        }
        if (libusb_claim_interface(handle_, number) != 0)
            return false;
        claimed_ = true;
        return interface_.altSetting == 0 ||
               libusb_set_interface_alt_setting(handle_, number, interface_.altSetting) == 0;
    }

    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    PrinterInterface interface_;
    std::uint16_t vendorId_ = 0;
    std::uint16_t productId_ = 0;
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

  private:
    std::shared_ptr<Device> device_;
    std::uint32_t timeoutMs_;
};

}  // namespace
}  // namespace detail

LibusbPort::LibusbPort(Timeouts timeouts) : timeouts_(timeouts) {}

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
    if (endpoint == 0)
        return os::kNoHandle;
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
    auto device = current_.lock();
    if (device && device->matches(vendorId_, productIds_))
        return device;
    device = detail::Device::open(vendorId_, productIds_);
    if (device)
        current_ = device;
    return device;
}

}  // namespace usbport
