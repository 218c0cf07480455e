#include "usb/usb_printer.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "model/identity.h"

namespace vprinter {

namespace {

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;
constexpr char kSysfsParent[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/";
constexpr unsigned kFirstDevnum = 2;  // 1 is the root hub
constexpr unsigned kLastDevnum = 127;

// Standard requests and the printer class's requests, by bmRequestType and bRequest.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientInterface = 1;
constexpr std::uint8_t kRecipientEndpoint = 2;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::uint8_t kClassInterfaceIn = 0xA1;

std::string devicePathOf(unsigned devnum) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/001/%03u", devnum);
    return path;
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

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

std::string sysfsRecord(const std::string& sysfsPath, unsigned port, unsigned devnum,
                        const Printer& printer) {
    char numbers[512];
    std::snprintf(numbers, sizeof numbers,
                  "N: bus/usb/001/%03u\n"
                  "E: DEVNUM=%03u\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03u\n"
                  "A: devnum=%u\\n\n"
                  "A: devpath=%u\\n\n",
                  devnum, devnum, devnum, devnum, port);
    const std::string& serial = printer.serial();
    return "P: " + sysfsPath.substr(4) + "\n" + numbers +
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DRIVER=usb\n"
           "E: BUSNUM=001\n"
           "E: PRODUCT=7a3c/512/100\n"
           "E: ID_SERIAL_SHORT=" +
           serial +
           "\n"
           "A: busnum=1\\n\n"
           "A: speed=480\\n\n"
           "A: version= 2.00\\n\n"
           "A: bDeviceClass=00\\n\n"
           "A: bDeviceSubClass=00\\n\n"
           "A: bDeviceProtocol=00\\n\n"
           "A: bMaxPacketSize0=64\\n\n"
           "A: bNumInterfaces= 1\\n\n"
           "A: bcdDevice=0100\\n\n"
           "A: bmAttributes=c0\\n\n"
           "A: configuration=\\n\n"
           "A: maxchild=0\\n\n"
           "A: rx_lanes=1\\n\n"
           "A: tx_lanes=1\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "A: bNumConfigurations=1\\n\n"
           "A: idVendor=7a3c\\n\n"
           "A: idProduct=0512\\n\n"
           "A: manufacturer=" +
           kManufacturer + "\\n\nA: product=" + kProduct + "\\n\nA: serial=" + serial +
           "\\n\n"
           "H: descriptors=" +
           hex(descriptors(printer.options().faults)) + "\n";
}

[[noreturn]] void fail(const std::string& what, GError* error) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error(what + ": " + message);
}

}  // namespace

// The testbed, the ports handed out, and the device addresses in use. Every device node a
// printer was ever enumerated at keeps its ioctl handler, so that a file still open on an old
// address gets ENODEV rather than hanging; an address is reused only after all others.
struct UsbBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::mutex mutex;
    unsigned ports = 0;
    unsigned lastDevnum = kFirstDevnum - 1;
    std::set<unsigned> inUse;
    std::map<unsigned, UMockdevIoctlBase*> handlers;  // devnum -> handler attached to its node

    // A new address for the device `handler` serves, its node attached to `handler`.
    unsigned enumerate(UMockdevIoctlBase* handler) {
        std::lock_guard lock(mutex);
        constexpr unsigned kCount = kLastDevnum - kFirstDevnum + 1;
        for (unsigned step = 0; step < kCount; ++step) {
            const unsigned devnum = kFirstDevnum + (lastDevnum - kFirstDevnum + 1 + step) % kCount;
            if (inUse.contains(devnum))
                continue;
            const std::string path = devicePathOf(devnum);
            const auto it = handlers.find(devnum);
            if (it != handlers.end() && it->second != handler) {
                umockdev_testbed_detach_ioctl(testbed, path.c_str(), nullptr);
                handlers.erase(it);
            }
            GError* error = nullptr;
            if (!handlers.contains(devnum) &&
                !umockdev_testbed_attach_ioctl(testbed, path.c_str(), handler, &error))
                fail("cannot attach the USB handler to " + path, error);
            handlers[devnum] = handler;
            inUse.insert(devnum);
            lastDevnum = devnum;
            return devnum;
        }
        throw std::runtime_error("no free device address on the emulated bus");
    }
    void leave(unsigned devnum) {
        std::lock_guard lock(mutex);
        inUse.erase(devnum);
    }
    void forget(UMockdevIoctlBase* handler) {
        std::lock_guard lock(mutex);
        for (auto it = handlers.begin(); it != handlers.end();) {
            if (it->second != handler) {
                ++it;
                continue;
            }
            umockdev_testbed_detach_ioctl(testbed, devicePathOf(it->first).c_str(), nullptr);
            it = handlers.erase(it);
        }
    }
};

UsbBus::UsbBus() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
}

UsbBus::~UsbBus() {
    g_object_unref(impl_->testbed);
}

std::string UsbBus::rootDir() const {
    gchar* dir = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string out = dir;
    g_free(dir);
    return out;
}

struct UsbPrinter::Impl {
    Impl(Printer& p, UsbBus::Impl& b) : printer(p), bus(b) {}

    Printer& printer;
    UsbBus::Impl& bus;
    unsigned port = 0;
    std::string sysfsPath;
    std::mutex mutex;
    UMockdevIoctlBase* handler = nullptr;
    bool attached = false;
    unsigned devnum = 0;
    bool driverBound = true;  // the kernel's printer driver holds the interface
    // The open file that claimed the interface, until it releases it or the printer re-enumerates
    // (umockdev does not say when a file is closed).
    UMockdevIoctlClient* claimedBy = nullptr;
    int printJob = -1;  // "print-job": the printer driver's node, held open as a print job would
    std::set<unsigned> halted;         // endpoints that answer every URB with a stall
    std::vector<std::uint8_t> inRest;  // the part of a reply a bulk IN read has not taken yet
    std::uint32_t serialRequests = 0;  // requests for the serial string since the start
    std::list<Urb> waiting;
    std::list<Urb> completed;
    std::shared_ptr<usbport::PcapWriter> capture;  // --capture: every URB, as usbmon shows it
    std::thread syncThread;
    std::atomic<bool> stopSync{false};

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    std::uint64_t handle(UMockdevIoctlClient* client);
    std::uint64_t submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void driverIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    int claim(UMockdevIoctlClient* client, const char* by);
    int release(UMockdevIoctlClient* client);
    bool heldByAnother(UMockdevIoctlClient* client) const;
    const char* holder(UMockdevIoctlClient* client) const;
    void startPrintJob();
    void endPrintJob();
    static unsigned unsignedArg(UMockdevIoctlData* arg);
    int getDriver(UMockdevIoctlData* arg);
    void portReset();
    bool hasEndpoint(unsigned endpoint) const;
    int checkControl(UMockdevIoctlClient* client, const std::uint8_t* setup);
    void clearHalt(unsigned endpoint, const char* by);
    std::uint64_t bulkOut(Urb& u);
    void captureUrb(const Urb& u, bool submitted);
    std::optional<std::vector<std::uint8_t>> stringAnswer(std::uint8_t index) const;
    void control(Urb& u);
    void serve();
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool current);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void syncLocked();
    void add();
    void remove();
    void failAllWaiting(int status);
    TraceBuilder event(const char* name) const { return {printer.traceTimeMs(), name}; }
    void record(TraceBuilder& b) { printer.trace().add(b.done()); }
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
    // A file opened on an address the device no longer has reaches nothing (as after a
    // disconnect); what it submitted can still be reaped.
    const bool current =
        attached && devicePathOf(devnum) == umockdev_ioctl_client_get_devnode(client);
    if (isReap) {
        reap(client, arg, current);
        return 0;
    }
    if (!current) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return 0;
    }
    auto resolved = [&](std::size_t size) {
        return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    };
    auto answer = [&](int err) { umockdev_ioctl_client_complete(client, err ? -1 : 0, err); };
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = resolved(sizeof(std::uint32_t));
            std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
            umockdev_ioctl_data_unref(d);
            answer(0);
            return 0;
        }
        case USBDEVFS_GETDRIVER:
            answer(getDriver(arg));
            return 0;
        case USBDEVFS_IOCTL:
            driverIoctl(client, arg);
            return 0;
        case USBDEVFS_CLAIMINTERFACE:
            answer(unsignedArg(arg) != 0 ? ENOENT : claim(client, "claim"));
            return 0;
        case USBDEVFS_CLEAR_HALT: {
            const unsigned endpoint = unsignedArg(arg);
            const int err = hasEndpoint(endpoint) ? claim(client, "clear-halt") : ENOENT;
            if (err == 0)
                clearHalt(endpoint, "clear-halt");
            answer(err);
            return 0;
        }
        case USBDEVFS_RESET:
            portReset();
            answer(0);
            return 0;
        case USBDEVFS_RELEASEINTERFACE:
            answer(unsignedArg(arg) != 0 ? ENOENT : release(client));
            return 0;
        case USBDEVFS_RESETEP:  // the host's data toggle only; the device's halt stays
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            answer(0);
            return 0;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return 0;
        default:
            answer(ENOTTY);
            return 0;
    }
}

unsigned UsbPrinter::Impl::unsignedArg(UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
    unsigned int value = 0;
    std::memcpy(&value, d->data, sizeof value);
    umockdev_ioctl_data_unref(d);
    return value;
}

// Which driver holds the interface; another program's claim shows as the usbfs driver (libusb:
// "no kernel driver active"). Returns an errno value.
int UsbPrinter::Impl::getDriver(UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
    auto* gd = reinterpret_cast<usbdevfs_getdriver*>(d->data);
    const char* driver = gd->interface != 0                           ? nullptr
                         : printer.options().faults.busy || claimedBy ? "usbfs"
                         : driverBound                                ? "usblp"
                                                                      : nullptr;
    if (driver)
        std::snprintf(gd->driver, sizeof gd->driver, "%s", driver);
    umockdev_ioctl_data_unref(d);
    return driver ? 0 : ENODATA;
}

// A port reset puts the device in its default state: no endpoint halted.
void UsbPrinter::Impl::portReset() {
    if (halted.empty())
        return;
    TraceBuilder b = event("port-reset");
    record(b);
    for (unsigned endpoint : std::set<unsigned>(halted))
        clearHalt(endpoint, "port-reset");
}

// Who holds interface 0 against `client`: the kernel's printer driver, another program (the
// "busy" fault, or another open file that claimed it), or nobody.
bool UsbPrinter::Impl::heldByAnother(UMockdevIoctlClient* client) const {
    return printer.options().faults.busy || (claimedBy && claimedBy != client);
}

const char* UsbPrinter::Impl::holder(UMockdevIoctlClient* client) const {
    if (heldByAnother(client))
        return "another program";
    return driverBound ? "usblp" : nullptr;
}

// Claiming interface 0 (explicitly, or implicitly for a transfer that needs it): refused while
// the kernel driver or another program holds it. Returns an errno value, 0 when claimed.
int UsbPrinter::Impl::claim(UMockdevIoctlClient* client, const char* by) {
    const char* heldBy = holder(client);
    if (!heldBy) {
        claimedBy = client;
        return 0;
    }
    TraceBuilder b = event("claim-refused");
    record(b.text("by", by).text("held_by", heldBy).number("devnum", devnum));
    return EBUSY;
}

// Releasing interface 0: only the file that claimed it can. Returns an errno value.
int UsbPrinter::Impl::release(UMockdevIoctlClient* client) {
    if (claimedBy != client)
        return EINVAL;
    claimedBy = nullptr;
    return 0;
}

bool UsbPrinter::Impl::hasEndpoint(unsigned endpoint) const {
    return endpoint == kBulkOutEndpoint ||
           (endpoint == kBulkInEndpoint && !printer.options().faults.noBulkIn);
}

// What usbfs checks before a control request goes out: requests to the interface or one of its
// endpoints need the interface claimed, except the printer class's GET_DEVICE_ID.
int UsbPrinter::Impl::checkControl(UMockdevIoctlClient* client, const std::uint8_t* setup) {
    const std::uint8_t requestType = setup[0];
    const auto index = static_cast<unsigned>(setup[4] | (setup[5] << 8));
    if ((requestType & kTypeMask) == kTypeVendor)
        return 0;
    if (requestType == kClassInterfaceIn && setup[1] == 0 && index == 0)
        return 0;  // GET_DEVICE_ID, interface 0, alternate setting 0
    const unsigned recipient = requestType & kRecipientMask;
    if (recipient == kRecipientInterface)
        return (index & 0xFF) != 0 ? ENOENT : claim(client, "interface request");
    if (recipient == kRecipientEndpoint && (index & 0x7F) != 0)
        return hasEndpoint(index & 0xFF) ? claim(client, "endpoint request") : ENOENT;
    return 0;
}

void UsbPrinter::Impl::clearHalt(unsigned endpoint, const char* by) {
    const bool wasHalted = halted.erase(endpoint) > 0;
    TraceBuilder b = event("clear-halt");
    b.text("endpoint", hexByte(endpoint)).text("by", by);
    record(b.text("was_halted", wasHalted ? "yes" : "no"));
}

// Detaching and re-attaching the kernel's printer driver.
void UsbPrinter::Impl::driverIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
    const auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
    int err = 0;
    int result = 0;
    if (io->ifno != 0) {
        err = EINVAL;
    } else if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        err = heldByAnother(client) ? EBUSY : driverBound ? 0 : ENODATA;
        if (err == 0) {
            driverBound = false;
            TraceBuilder b = event("driver-detach");
            record(b.text("driver", "usblp").number("devnum", devnum));
        }
    } else if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        // The kernel answers 1 when it bound a driver; a held interface (even by the caller)
        // cannot be bound.
        err = printer.options().faults.busy || claimedBy || driverBound ? EBUSY : 0;
        if (err == 0) {
            driverBound = true;
            result = 1;
            TraceBuilder b = event("driver-attach");
            record(b.text("driver", "usblp").number("devnum", devnum));
        }
    } else {
        err = ENOTTY;
    }
    umockdev_ioctl_data_unref(d);
    umockdev_ioctl_client_complete(client, err ? -1 : result, err);
}

std::uint64_t UsbPrinter::Impl::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb u;
    u.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    const auto length = static_cast<std::size_t>(std::max(0, u.urb().buffer_length));
    if (length > 0)
        u.buffer =
            umockdev_ioctl_data_resolve(u.data, offsetof(usbdevfs_urb, buffer), length, nullptr);
    const auto type = u.urb().type;
    const unsigned endpoint = u.urb().endpoint;
    const bool bulk = type == USBDEVFS_URB_TYPE_BULK;
    int err = 0;
    if (type == USBDEVFS_URB_TYPE_CONTROL)
        err = u.size() < 8 ? EINVAL : checkControl(client, u.bytes());
    else if (!bulk || !hasEndpoint(endpoint))
        err = ENOENT;
    else
        err = claim(client, "bulk transfer");
    if (err != 0) {
        if (u.buffer)
            umockdev_ioctl_data_unref(u.buffer);
        umockdev_ioctl_data_unref(u.data);
        umockdev_ioctl_client_complete(client, -1, err);
        return 0;
    }
    u.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    captureUrb(u, true);
    u.finish(0, 0);
    std::uint64_t takesMs = 0;
    if (bulk && halted.contains(endpoint)) {
        u.finish(-EPIPE, 0);
        TraceBuilder b = event("halted-urb");
        record(b.text("endpoint", hexByte(endpoint)).number("bytes", u.size()));
    } else if (type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
    } else if (endpoint == kBulkInEndpoint) {
        u.wait = Urb::Wait::ForData;
    } else {
        takesMs = bulkOut(u);
    }
    (u.wait == Urb::Wait::None ? completed : waiting).push_back(u);
    serve();
    umockdev_ioctl_client_complete(client, 0, 0);
    return takesMs;
}

// One URB event of the capture: the submission with its setup packet or OUT data, the
// completion with its status and IN data.
void UsbPrinter::Impl::captureUrb(const Urb& u, bool submitted) {
    if (!capture)
        return;
    using usbport::UrbEvent;
    const bool isControl = u.urb().type == USBDEVFS_URB_TYPE_CONTROL;
    const std::uint8_t* bytes = u.bytes();
    const std::size_t room = isControl ? u.size() - std::min<std::size_t>(u.size(), 8) : u.size();
    const std::uint8_t* payload = isControl && bytes ? bytes + 8 : bytes;
    const bool in = isControl ? bytes && (bytes[0] & 0x80) != 0 : (u.urb().endpoint & 0x80) != 0;
    UrbEvent e;
    e.id = u.data->client_addr;
    e.kind = submitted ? UrbEvent::Kind::Submit : UrbEvent::Kind::Complete;
    e.transfer = isControl ? UrbEvent::Transfer::Control : UrbEvent::Transfer::Bulk;
    e.endpoint = static_cast<std::uint8_t>(isControl ? (in ? 0x80 : 0) : u.urb().endpoint);
    e.address = {1, static_cast<std::uint8_t>(devnum)};
    if (submitted) {
        e.setup = isControl ? bytes : nullptr;
        e.status = -EINPROGRESS;
        e.length = static_cast<std::uint32_t>(room);
        if (!in && payload)
            e.data = {payload, room};
    } else {
        const auto moved = static_cast<std::size_t>(std::max(0, u.urb().actual_length));
        e.status = u.urb().status;
        e.length = static_cast<std::uint32_t>(moved);
        if (in && payload)
            e.data = {payload, std::min(moved, room)};
    }
    capture->write(e);
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
        case WriteResult::Kind::Refused: {
            u.finish(-EPIPE, 0);
            halted.insert(kBulkOutEndpoint);
            TraceBuilder b = event("halt");
            record(b.text("endpoint", hexByte(kBulkOutEndpoint)).text("by", "stall"));
            return 0;
        }
        case WriteResult::Kind::Stalled:
            u.wait = Urb::Wait::Forever;
            return 0;
        case WriteResult::Kind::Disconnected:
            u.finish(-ENODEV, 0);
            return 0;
    }
    return 0;
}

// A string descriptor, the serial number's spoilt as the serial-length fault says.
std::optional<std::vector<std::uint8_t>> UsbPrinter::Impl::stringAnswer(std::uint8_t index) const {
    auto answer = stringDescriptor(index, printer.serial());
    const auto& broken = printer.options().faults.serialLength;
    if (answer && index == kSerialString && broken)
        answer->at(0) = static_cast<std::uint8_t>(*broken);
    return answer;
}

void UsbPrinter::Impl::control(Urb& u) {
    const std::uint8_t* setup = u.bytes();
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const auto value = static_cast<unsigned>(setup[2] | (setup[3] << 8));
    const auto index = static_cast<unsigned>(setup[4] | (setup[5] << 8));
    const std::size_t wanted = static_cast<unsigned>(setup[6] | (setup[7] << 8));
    std::optional<std::vector<std::uint8_t>> answer;
    const bool toEndpoint = (requestType & kRecipientMask) == kRecipientEndpoint;
    if (requestType == 0x80 && request == kGetDescriptor) {
        const auto all = descriptors(printer.options().faults);
        if (value >> 8 == 1)
            answer.emplace(all.begin(), all.begin() + 18);
        if (value >> 8 == 2)
            answer.emplace(all.begin() + 18, all.end());
        const auto stringIndex = static_cast<std::uint8_t>(value & 0xFF);
        if (value >> 8 == 3 && stringIndex == kSerialString &&
            serialRequests++ < printer.options().faults.serialUnreadable) {
            TraceBuilder b = event("serial-refused");
            record(b.number("request", serialRequests));
        } else if (value >> 8 == 3) {
            answer = stringAnswer(stringIndex);
        }
    } else if (requestType == 0x80 && request == kGetStatus) {  // self-powered
        answer = std::vector<std::uint8_t>{1, 0};
    } else if (requestType == 0x82 && request == kGetStatus) {  // bit 0: halted
        answer =
            std::vector<std::uint8_t>{static_cast<std::uint8_t>(halted.contains(index & 0xFF)), 0};
    } else if (toEndpoint && request == kClearFeature && value == 0) {  // ENDPOINT_HALT
        clearHalt(index & 0xFF, "clear-feature");
        answer = std::vector<std::uint8_t>{};
    } else if (toEndpoint && request == kSetFeature && value == 0) {
        halted.insert(index & 0xFF);
        TraceBuilder b = event("halt");
        record(b.text("endpoint", hexByte(index)).text("by", "set-feature"));
        answer = std::vector<std::uint8_t>{};
    } else if (requestType == kClassInterfaceIn && request == 0) {  // GET_DEVICE_ID
        answer = printer.deviceId();
    } else if (requestType == kClassInterfaceIn && request == 1) {  // GET_PORT_STATUS
        answer = std::vector<std::uint8_t>{0x18};                   // selected, no error
    } else if ((requestType & 0x80) == 0) {  // other no-data requests are acknowledged
        answer = std::vector<std::uint8_t>{};
    }
    if (!answer)
        return u.finish(-EPIPE, 0);  // a protocol stall: the next request clears it
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
            if (inRest.empty())
                inRest = printer.read().value_or(std::vector<std::uint8_t>{});
            if (!inRest.empty()) {
                // A read of whole packets takes what fits and leaves the rest for the next one;
                // a packet longer than the space left is babble: the host reports an overflow.
                const std::size_t n = std::min(inRest.size(), u.size());
                const bool babble = inRest.size() > u.size() && u.size() % kMaxPacket != 0;
                std::copy_n(inRest.begin(), n, u.bytes());
                inRest.erase(inRest.begin(), babble
                                                 ? inRest.end()
                                                 : inRest.begin() + static_cast<std::ptrdiff_t>(n));
                u.finish(babble ? -EOVERFLOW : 0, n);
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

void UsbPrinter::Impl::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool current) {
    if (current)
        serve();
    const auto it = std::find_if(completed.begin(), completed.end(),
                                 [client](const Urb& u) { return u.client == client; });
    if (it == completed.end()) {
        umockdev_ioctl_client_complete(client, -1, current ? EAGAIN : ENODEV);
        return;
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, it->data);
    umockdev_ioctl_data_unref(slot);
    captureUrb(*it, false);
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

// Enumeration: a new address, the device in its default state, the printer driver bound.
void UsbPrinter::Impl::add() {
    devnum = bus.enumerate(handler);
    const auto description = sysfsRecord(sysfsPath, port, devnum, printer);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bus.testbed, description.c_str(), &error)) {
        bus.leave(devnum);
        fail("cannot add the printer to the testbed", error);
    }
    attached = true;
    driverBound = true;
    claimedBy = nullptr;
    halted.clear();
    inRest.clear();
    TraceBuilder b = event("enumerated");
    b.number("devnum", devnum).text("port", sysfsPath.substr(sysfsPath.rfind('/') + 1));
    record(b.text("driver", "usblp"));
    if (printer.options().faults.printJob)
        startPrintJob();
}

// A print job through the kernel's printer driver: the interface with the driver's node
// (/dev/usb/lpN) under usbmisc, and that node held open here, as a printing system's job holds
// it, until the printer leaves the bus.
void UsbPrinter::Impl::startPrintJob() {
    const std::string interfacePath =
        sysfsPath.substr(4) + sysfsPath.substr(sysfsPath.rfind('/')) + ":1.0";
    const std::string lp = "lp" + std::to_string(port - 1);
    const std::string interfaceRecord = "P: " + interfacePath +
                                        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                                        "E: DRIVER=usblp\nA: bInterfaceNumber=00\\n\n"
                                        "A: bInterfaceClass=07\\n\n";
    const std::string nodeRecord = "P: " + interfacePath + "/usbmisc/" + lp + "\nN: usb/" + lp +
                                   "=00" + "\nE: SUBSYSTEM=usbmisc\nE: DEVNAME=/dev/usb/" + lp +
                                   "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bus.testbed, interfaceRecord.c_str(), &error) ||
        !umockdev_testbed_add_from_string(bus.testbed, nodeRecord.c_str(), &error))
        fail("cannot add the printer driver's node to the testbed", error);
    gchar* root = umockdev_testbed_get_root_dir(bus.testbed);
    const std::string node = std::string(root) + "/dev/usb/" + lp;
    g_free(root);
    printJob = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (printJob < 0)
        throw std::runtime_error("cannot open " + node + ": " + std::strerror(errno));
    TraceBuilder b = event("print-job");
    record(b.text("node", "/dev/usb/" + lp));
}

void UsbPrinter::Impl::endPrintJob() {
    if (printJob < 0)
        return;
    ::close(printJob);
    printJob = -1;
    const std::string interfacePath = sysfsPath + sysfsPath.substr(sysfsPath.rfind('/')) + ":1.0";
    umockdev_testbed_remove_device(
        bus.testbed, (interfacePath + "/usbmisc/lp" + std::to_string(port - 1)).c_str());
    umockdev_testbed_remove_device(bus.testbed, interfacePath.c_str());
}

void UsbPrinter::Impl::remove() {
    endPrintJob();
    umockdev_testbed_remove_device(bus.testbed, sysfsPath.c_str());
    bus.leave(devnum);
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

void UsbPrinter::captureTo(std::shared_ptr<usbport::PcapWriter> writer) {
    std::lock_guard lock(impl_->mutex);
    impl_->capture = std::move(writer);
}

UsbPrinter::UsbPrinter(Printer& printer) : ownBus_(std::make_unique<UsbBus>()) {
    init(*ownBus_, printer);
}

UsbPrinter::UsbPrinter(UsbBus& bus, Printer& printer) {
    init(bus, printer);
}

void UsbPrinter::init(UsbBus& bus, Printer& printer) {
    impl_ = std::make_unique<Impl>(printer, bus.impl());
    {
        std::lock_guard lock(bus.impl().mutex);
        impl_->port = ++bus.impl().ports;
    }
    impl_->sysfsPath = kSysfsParent + ("1-" + std::to_string(impl_->port));
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
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->attached)
            impl_->remove();
    }
    impl_->bus.forget(impl_->handler);
    g_object_unref(impl_->handler);
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
    gchar* dir = umockdev_testbed_get_root_dir(impl_->bus.testbed);
    std::string out = dir;
    g_free(dir);
    return out;
}

std::string UsbPrinter::portPath() const {
    return "1-" + std::to_string(impl_->port);
}

std::string UsbPrinter::sysfsPath() const {
    return impl_->sysfsPath;
}

unsigned UsbPrinter::devnum() {
    std::lock_guard lock(impl_->mutex);
    return impl_->devnum;
}

std::string UsbPrinter::devicePath() {
    return devicePathOf(devnum());
}

std::mutex& UsbPrinter::mutex() {
    return impl_->mutex;
}
Printer& UsbPrinter::printer() {
    return impl_->printer;
}

}  // namespace vprinter
