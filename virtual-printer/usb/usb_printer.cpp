#include "usb/usb_printer.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <list>
#include <stdexcept>
#include <thread>

#include "model/identity.h"

namespace vprinter {

namespace {

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;

// One submitted URB, kept until it is reaped. Holds references to umockdev's copies of the
// client's usbdevfs_urb and buffer; changes made to them travel back to the client on reaping.
struct Urb {
    enum class Wait { None, ForData, Until, Forever };
    UMockdevIoctlData* data = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    UMockdevIoctlClient* client = nullptr;
    Wait wait = Wait::None;
    std::uint64_t readyAt = 0;

    usbdevfs_urb& urb() const { return *reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::uint8_t* bytes() const { return buffer ? buffer->data : nullptr; }
    std::size_t size() const { return buffer ? static_cast<std::size_t>(buffer->data_len) : 0; }
    void finish(int status, std::size_t actual) {
        urb().status = status;
        urb().actual_length = static_cast<int>(actual);
        wait = Wait::None;
    }
    void release() {
        if (buffer)
            umockdev_ioctl_data_unref(buffer);
        umockdev_ioctl_data_unref(data);
        g_object_unref(client);
    }
};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

std::string sysfsRecord(const Faults& faults) {
    return std::string("P: ") + (kSysfsPath + 4) +
           "\n"
           "N: bus/usb/001/002\n"
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DRIVER=usb\n"
           "E: BUSNUM=001\n"
           "E: DEVNUM=002\n"
           "E: DEVNAME=/dev/bus/usb/001/002\n"
           "E: PRODUCT=7a3c/512/100\n"
           "A: busnum=1\\n\n"
           "A: devnum=2\\n\n"
           "A: speed=480\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "A: bNumConfigurations=1\\n\n"
           "A: idVendor=7a3c\\n\n"
           "A: idProduct=0512\\n\n"
           "A: manufacturer=PV\\n\n"
           "A: product=PV4410S\\n\n"
           "A: serial=PV4410S-0001\\n\n"
           "H: descriptors=" +
           hex(descriptors(faults)) + "\n";
}

}  // namespace

struct UsbPrinter::Impl {
    explicit Impl(Printer& p) : printer(p) {}

    Printer& printer;
    std::mutex mutex;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    bool attached = false;
    bool ioctlAttached = false;
    bool driverBound = true;  // the kernel's printer driver holds the interface
    std::list<Urb> waiting;
    std::list<Urb> completed;
    std::thread syncThread;
    std::atomic<bool> stopSync{false};

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    std::uint64_t handle(UMockdevIoctlClient* client);
    std::uint64_t submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void driverIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    std::uint64_t bulkOut(Urb& u);
    void control(Urb& u);
    void serve();
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void syncLocked();
    void add();
    void remove();
    void failAllWaiting(int status);
};

gboolean UsbPrinter::Impl::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    std::uint64_t takesMs = 0;
    {
        std::lock_guard lock(impl->mutex);
        takesMs = impl->handle(client);
    }
    // In virtual time the printer itself lets the time pass that it needs; never under the lock,
    // since advancing may call back into sync().
    if (takesMs > 0)
        impl->printer.clock().advance(takesMs);
    std::lock_guard lock(impl->mutex);
    impl->syncLocked();
    return TRUE;
}

std::uint64_t UsbPrinter::Impl::handle(UMockdevIoctlClient* client) {
    const auto request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const bool isReap = request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB;
    printer.update();
    if (!attached && !isReap) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return 0;
    }
    auto resolved = [&](std::size_t size) {
        return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    };
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = resolved(sizeof(std::uint32_t));
            std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
            umockdev_ioctl_data_unref(d);
            umockdev_ioctl_client_complete(client, 0, 0);
            return 0;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* d = resolved(sizeof(usbdevfs_getdriver));
            auto* gd = reinterpret_cast<usbdevfs_getdriver*>(d->data);
            const bool bound = gd->interface == 0 && driverBound;
            if (bound)
                std::strcpy(gd->driver, "usblp");
            umockdev_ioctl_data_unref(d);
            umockdev_ioctl_client_complete(client, bound ? 0 : -1, bound ? 0 : ENODATA);
            return 0;
        }
        case USBDEVFS_IOCTL:
            driverIoctl(client, arg);
            return 0;
        case USBDEVFS_CLAIMINTERFACE: {
            UMockdevIoctlData* d = resolved(sizeof(unsigned int));
            unsigned int iface = 0;
            std::memcpy(&iface, d->data, sizeof iface);
            umockdev_ioctl_data_unref(d);
            const int err = iface != 0 ? ENOENT : driverBound ? EBUSY : 0;
            umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
            return 0;
        }
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            umockdev_ioctl_client_complete(client, 0, 0);
            return 0;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return 0;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return 0;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return 0;
    }
}

// Detaching and re-attaching the kernel's printer driver.
void UsbPrinter::Impl::driverIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    const auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
    int err = 0;
    if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        err = driverBound ? 0 : ENODATA;
        driverBound = false;
    } else if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        driverBound = true;
    } else {
        err = ENOTTY;
    }
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
}

std::uint64_t UsbPrinter::Impl::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb u;
    u.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    const auto length = static_cast<std::size_t>(std::max(0, u.urb().buffer_length));
    if (length > 0)
        u.buffer =
            umockdev_ioctl_data_resolve(u.data, offsetof(usbdevfs_urb, buffer), length, nullptr);
    u.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    u.finish(0, 0);
    const auto type = u.urb().type;
    const auto endpoint = u.urb().endpoint;
    const bool bulk = type == USBDEVFS_URB_TYPE_BULK;
    const bool bulkIn = bulk && endpoint == kBulkInEndpoint && !printer.options().faults.noBulkIn;
    if (type != USBDEVFS_URB_TYPE_CONTROL && !(bulk && endpoint == kBulkOutEndpoint) && !bulkIn) {
        u.release();
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return 0;
    }
    std::uint64_t takesMs = 0;
    if (type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
    } else if (bulkIn) {
        u.wait = Urb::Wait::ForData;
    } else {
        takesMs = bulkOut(u);
    }
    (u.wait == Urb::Wait::None ? completed : waiting).push_back(u);
    serve();
    umockdev_ioctl_client_complete(client, 0, 0);
    return takesMs;
}

std::uint64_t UsbPrinter::Impl::bulkOut(Urb& u) {
    const auto r = printer.write({u.bytes(), u.size()});
    switch (r.kind) {
        case WriteResult::Kind::Accepted:
            u.finish(0, r.accepted);
            // A write that makes the printer leave the bus (reset) completes before it goes.
            if (r.takesMs == 0 || printer.clock().isVirtual() || !printer.onBus())
                return r.takesMs;
            u.wait = Urb::Wait::Until;
            u.readyAt = printer.clock().nowMs() + r.takesMs;
            return 0;
        case WriteResult::Kind::Refused:
            u.finish(-EPIPE, 0);
            return 0;
        case WriteResult::Kind::Stalled:
            u.wait = Urb::Wait::Forever;
            return 0;
        case WriteResult::Kind::Disconnected:
            u.finish(-ENODEV, 0);
            return 0;
    }
    return 0;
}

void UsbPrinter::Impl::control(Urb& u) {
    if (u.size() < 8)
        return u.finish(-EPIPE, 0);
    const std::uint8_t* setup = u.bytes();
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = setup[2] | (setup[3] << 8);
    const std::size_t wanted = setup[6] | (setup[7] << 8);
    std::optional<std::vector<std::uint8_t>> answer;
    if (requestType == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const auto all = descriptors(printer.options().faults);
        if (value >> 8 == 1)
            answer.emplace(all.begin(), all.begin() + 18);
        if (value >> 8 == 2)
            answer.emplace(all.begin() + 18, all.end());
        if (value >> 8 == 3)
            answer = stringDescriptor(static_cast<std::uint8_t>(value & 0xFF));
    } else if (requestType == 0x80 && request == 0) {  // GET_STATUS: self-powered
        answer = std::vector<std::uint8_t>{1, 0};
    } else if (requestType == 0xA1 && request == 0) {  // printer class: GET_DEVICE_ID
        answer = printer.deviceId();
    } else if (requestType == 0xA1 && request == 1) {  // printer class: GET_PORT_STATUS
        answer = std::vector<std::uint8_t>{0x18};      // selected, no error
    } else if ((requestType & 0x80) == 0) {            // no-data requests are acknowledged
        answer = std::vector<std::uint8_t>{};
    }
    if (!answer)
        return u.finish(-EPIPE, 0);
    const std::size_t n = std::min({answer->size(), wanted, u.size() - 8});
    std::copy_n(answer->begin(), n, u.bytes() + 8);
    u.finish(0, n);
}

void UsbPrinter::Impl::serve() {
    const std::uint64_t now = printer.clock().nowMs();
    for (auto it = waiting.begin(); it != waiting.end();) {
        Urb& u = *it;
        if (u.wait == Urb::Wait::Until && now >= u.readyAt) {
            u.wait = Urb::Wait::None;
        } else if (u.wait == Urb::Wait::ForData) {
            if (auto reply = printer.read()) {
                const std::size_t n = std::min(reply->size(), u.size());
                std::copy_n(reply->begin(), n, u.bytes());
                u.finish(reply->size() > u.size() ? -EOVERFLOW : 0, n);
            }
        }
        if (u.wait == Urb::Wait::None) {
            completed.push_back(u);
            it = waiting.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbPrinter::Impl::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (attached)
        serve();
    const auto it = std::find_if(completed.begin(), completed.end(),
                                 [client](const Urb& u) { return u.client == client; });
    if (it == completed.end()) {
        umockdev_ioctl_client_complete(client, -1, attached ? EAGAIN : ENODEV);
        return;
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, it->data);
    umockdev_ioctl_data_unref(slot);
    it->release();
    completed.erase(it);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbPrinter::Impl::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    const auto it = std::find_if(waiting.begin(), waiting.end(),
                                 [&](const Urb& u) { return u.data->client_addr == address; });
    if (it == waiting.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    it->finish(-ECONNRESET, 0);
    completed.push_back(*it);
    waiting.erase(it);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbPrinter::Impl::failAllWaiting(int status) {
    for (auto& u : waiting) {
        u.finish(status, 0);
        completed.push_back(u);
    }
    waiting.clear();
}

void UsbPrinter::Impl::add() {
    GError* error = nullptr;
    if (!ioctlAttached && !umockdev_testbed_attach_ioctl(testbed, kDevicePath, handler, &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot attach the USB handler: " + message);
    }
    ioctlAttached = true;
    const auto record = sysfsRecord(printer.options().faults);
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        const std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add the printer to the testbed: " + message);
    }
    attached = true;
    driverBound = true;
}

void UsbPrinter::Impl::remove() {
    umockdev_testbed_remove_device(testbed, kSysfsPath);
    attached = false;
    failAllWaiting(-ENODEV);
}

void UsbPrinter::Impl::syncLocked() {
    const bool onBus = printer.onBus();
    if (onBus && !attached)
        add();
    if (!onBus && attached)
        remove();
}

UsbPrinter::UsbPrinter(Printer& printer) : impl_(std::make_unique<Impl>(printer)) {
    impl_->testbed = umockdev_testbed_new();
    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", reinterpret_cast<GCallback>(&Impl::onIoctl),
                     impl_.get());
    sync();
}

UsbPrinter::~UsbPrinter() {
    if (impl_->syncThread.joinable()) {
        impl_->stopSync = true;
        impl_->syncThread.join();
    }
    if (impl_->ioctlAttached)
        umockdev_testbed_detach_ioctl(impl_->testbed, kDevicePath, nullptr);
    g_object_unref(impl_->handler);
    g_object_unref(impl_->testbed);
    for (auto* list : {&impl_->waiting, &impl_->completed})
        for (auto& u : *list)
            u.release();
}

void UsbPrinter::sync() {
    std::lock_guard lock(impl_->mutex);
    impl_->syncLocked();
}

void UsbPrinter::startRealTimeSync(unsigned periodMs) {
    impl_->syncThread = std::thread([this, periodMs] {
        while (!impl_->stopSync) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            sync();
        }
    });
}

bool UsbPrinter::attached() {
    std::lock_guard lock(impl_->mutex);
    return impl_->attached;
}

std::string UsbPrinter::rootDir() const {
    gchar* dir = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string out = dir;
    g_free(dir);
    return out;
}

std::mutex& UsbPrinter::mutex() {
    return impl_->mutex;
}
Printer& UsbPrinter::printer() {
    return impl_->printer;
}

}  // namespace vprinter
