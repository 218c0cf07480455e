#include "platform/usbport/usbprint/usbprint_port.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/os/log.h"
#include "platform/usbport/usbprint/printer_class.h"

namespace usbport {
namespace usbprint {
namespace {

using Status = Outcome::Status;

// Some devices fail device ID requests for larger buffers.
constexpr std::uint32_t kMaxDeviceIdRequest = 4094;

std::atomic<PrinterClass*> installed{nullptr};

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// An outcome in words a user can act on, with the system's own name of the error.
std::string describe(const Outcome& outcome) {
    const char* words = "failed";
    switch (outcome.status) {
        case Status::Done:
            words = "done";
            break;
        case Status::TimedOut:
            words = "no answer in time";
            break;
        case Status::Busy:
            words = "in use by another program";
            break;
        case Status::Gone:
            words = "the device is gone";
            break;
        case Status::Overflow:
            words = "the device sent more than was asked for";
            break;
        case Status::Failed:
            break;
    }
    std::string text = words;
    if (!outcome.error.empty())
        text += " (" + outcome.error + ")";
    if (outcome.status == Status::Busy)
        text += std::string("; ") + os::kSeeTroubleshooting;
    return text;
}

// The parts of a device instance id "USB\VID_7A3C&PID_0512[&MI_00]\LAST".
struct InstanceId {
    bool usb = false;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool composite = false;  // an interface of a composite device
    std::string last;

    static InstanceId parse(const std::string& id) {
        InstanceId parsed;
        const auto first = id.find('\\');
        const auto second = first == std::string::npos ? first : id.find('\\', first + 1);
        if (second == std::string::npos || upper(id.substr(0, first)) != "USB")
            return parsed;
        const std::string hardware = upper(id.substr(first + 1, second - first - 1));
        const auto field = [&](const char* name, std::uint16_t& value) {
            const auto at = hardware.find(name);
            if (at == std::string::npos)
                return false;
            const std::string digits = hardware.substr(at + std::strlen(name), 4);
            char* end = nullptr;
            const unsigned long v = std::strtoul(digits.c_str(), &end, 16);
            value = static_cast<std::uint16_t>(v);
            return digits.size() == 4 && end != nullptr && *end == '\0';
        };
        parsed.usb = field("VID_", parsed.vendorId) && field("PID_", parsed.productId);
        parsed.composite = hardware.find("&MI_") != std::string::npos;
        parsed.last = id.substr(second + 1);
        return parsed;
    }
};

// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)" is "1-4.2" (root hub 0 is bus 1, as on Linux);
// "Port_#0002.Hub_#0004" is "hub4-2"; anything else is kept as it is.
std::string portPathOf(const std::string& location) {
    const auto number = [](const std::string& text, std::size_t at) {
        return std::strtoul(text.c_str() + at, nullptr, 10);
    };
    if (const auto root = location.find("USBROOT("); root != std::string::npos) {
        std::string path = std::to_string(number(location, root + 8) + 1) + "-";
        const char* separator = "";
        for (auto at = location.find("#USB(", root); at != std::string::npos;
             at = location.find("#USB(", at + 1)) {
            path += separator + std::to_string(number(location, at + 5));
            separator = ".";
        }
        return path;
    }
    const auto port = location.find("Port_#");
    const auto hub = location.find("Hub_#");
    if (port != std::string::npos && hub != std::string::npos)
        return "hub" + std::to_string(number(location, hub + 5)) + "-" +
               std::to_string(number(location, port + 6));
    return location;
}

// The numbers of a port path in order ("1-4.2": 1, 4, 2), for ordering devices by port.
std::vector<unsigned long> position(const std::string& portPath) {
    std::vector<unsigned long> key;
    for (std::size_t at = 0; at < portPath.size(); ++at) {
        if (std::isdigit(static_cast<unsigned char>(portPath[at])) == 0)
            continue;
        char* end = nullptr;
        key.push_back(std::strtoul(portPath.c_str() + at, &end, 10));
        at = static_cast<std::size_t>(end - portPath.c_str());
    }
    return key;
}

// One listed device of the kind looked for.
struct Entry {
    Interface itf;
    DeviceIdentity identity;
    bool serialRead = true;  // false: the serial (or whether there is one) is unknown
};

// The listed devices of the kind, ordered by port.
std::vector<Entry> devicesOfKind(const Selection& selection, std::string& error) {
    std::vector<Entry> entries;
    for (auto& itf : printerClass().list(error)) {
        const InstanceId own = InstanceId::parse(itf.instanceId);
        // The kind from the interface path when the instance id cannot be read.
        const std::string path = upper(itf.path);
        const auto& products = selection.productIds;
        const bool kind =
            own.usb ? selection.kind(own.vendorId, own.productId)
                    : std::any_of(products.begin(), products.end(), [&](std::uint16_t product) {
                          return path.find("VID_" + upper(hex4(selection.vendorId)) + "&PID_" +
                                           upper(hex4(product))) != std::string::npos;
                      });
        if (!kind)
            continue;
        Entry entry{std::move(itf), {}, own.usb};
        entry.identity.portPath = portPathOf(entry.itf.location);
        if (own.composite) {
            const InstanceId parent = InstanceId::parse(entry.itf.parentInstanceId);
            entry.serialRead = parent.usb && !parent.composite && parent.vendorId == own.vendorId &&
                               parent.productId == own.productId;
            if (entry.serialRead)
                entry.identity.serial = parent.last;
        } else if (own.usb) {
            entry.identity.serial = own.last;
        }
        if (entry.identity.serial.find('&') != std::string::npos)
            entry.identity.serial.clear();  // made up by the system from the port
        entries.push_back(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return position(a.identity.portPath) < position(b.identity.portPath);
    });
    return entries;
}

}  // namespace

// While a job keeps the printer (KeepDriversDetached), the file of its last closed handle waits
// here instead of closing, so that nothing else opens the printer between the job's steps.
struct Keeper {
    std::mutex mutex;
    bool keeping = false;
    std::string path;
    std::unique_ptr<PrinterFile> file;

    // Keeps `closed` (opened at `at`) when keeping; else it closes.
    void giveBack(std::unique_ptr<PrinterFile> closed, const std::string& at) {
        std::lock_guard lock(mutex);
        if (!keeping)
            return;
        file = std::move(closed);
        path = at;
    }
    // The kept file when it was opened at `at` and the printer still answers through it (after a
    // reset it is a file of a device that has left); any other kept file is closed first, so
    // that it holds nothing against a new open.
    std::unique_ptr<PrinterFile> take(const std::string& at) {
        std::lock_guard lock(mutex);
        auto taken = std::move(file);
        if (!taken || path != at)
            return nullptr;
        std::vector<std::uint8_t> id(kMaxDeviceIdRequest);
        const auto size = static_cast<std::uint32_t>(id.size());
        if (taken->deviceId(id.data(), size, 1000).status != Status::Done)
            return nullptr;
        return taken;
    }
    void keep(bool on) {
        std::lock_guard lock(mutex);
        keeping = on;
        if (!on)
            file.reset();
    }
};

PrinterClass& printerClass() {
    PrinterClass* p = installed.load();
    return p ? *p : systemPrinterClass();
}

void installPrinterClass(PrinterClass* printers) {
    installed.store(printers);
}

#ifndef _WIN32
// Elsewhere there is no USB printer class driver to ask: no printer is ever listed.
PrinterClass& systemPrinterClass() {
    class None final : public PrinterClass {
      public:
        std::vector<Interface> list(std::string&) override { return {}; }
        std::unique_ptr<PrinterFile> open(const std::string&, Outcome& failure) override {
            failure = {Status::Gone, 0, "no USB printer class driver"};
            return nullptr;
        }
    };
    static None none;
    return none;
}
#endif

// One opened printer; every handle of it shares the file, which closes with the last one.
class OpenPrinter final : public OpenDevice {
  public:
    OpenPrinter(std::unique_ptr<PrinterFile> file, DeviceIdentity identity, std::string where,
                std::shared_ptr<Failures> failures, std::shared_ptr<Keeper> keeper,
                std::string path)
        : file_(std::move(file)),
          identity_(std::move(identity)),
          where_(std::move(where)),
          failures_(std::move(failures)),
          keeper_(std::move(keeper)),
          path_(std::move(path)) {}
    ~OpenPrinter() override { keeper_->giveBack(std::move(file_), path_); }
    OpenPrinter(const OpenPrinter&) = delete;
    OpenPrinter& operator=(const OpenPrinter&) = delete;

    const DeviceIdentity& identity() const override { return identity_; }

    std::uint32_t write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) override {
        return checked("write to", file_->write(data, length, timeoutMs));
    }
    std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        const std::uint32_t moved = checked("read from", file_->read(buffer, length, timeoutMs));
        return overflowed_ ? 0 : moved;  // more than was asked for spoils the whole answer
    }
    std::uint32_t deviceId(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        return checked("device ID request to",
                       file_->deviceId(buffer, std::min(length, kMaxDeviceIdRequest), timeoutMs));
    }

  private:
    // The bytes moved; a failure is kept in words.
    std::uint32_t checked(const char* what, const Outcome& outcome) {
        overflowed_ = outcome.status == Status::Overflow;
        if (outcome.status != Status::Done)
            failures_->record(std::string(what) + " " + where_ + ": " + describe(outcome));
        return outcome.moved;
    }

    std::unique_ptr<PrinterFile> file_;
    DeviceIdentity identity_;
    std::string where_;  // the device in a log line: "7a3c:0512 at 1-1"
    std::shared_ptr<Failures> failures_;
    std::shared_ptr<Keeper> keeper_;
    std::string path_;  // the interface it was opened at
    bool overflowed_ = false;
};

}  // namespace usbprint

UsbprintPort::UsbprintPort(Timeouts timeouts)
    : DevicePort(timeouts), keeper_(std::make_shared<usbprint::Keeper>()) {}

std::shared_ptr<OpenDevice> UsbprintPort::open(const Selection& selection) {
    std::string error;
    const auto entries = usbprint::devicesOfKind(selection, error);
    if (!error.empty()) {
        failures_->record("cannot list the USB printers: " + error);
        return nullptr;
    }
    // The first printer, or the one selected wherever it is in the list.
    const auto chosen =
        std::find_if(entries.begin(), entries.end(), [&](const usbprint::Entry& entry) {
            return !selection.only || selection.only->names(entry.identity);
        });
    if (chosen == entries.end()) {
        failures_->record(selection.notAttached());
        return nullptr;
    }
    const std::string where = selection.name() + " at " + chosen->identity.portPath;
    if (!chosen->serialRead) {
        failures_->record("cannot read the serial number of " + where);
        return nullptr;
    }
    usbprint::Outcome failure;
    auto file = keeper_->take(chosen->itf.path);
    if (!file)
        file = usbprint::printerClass().open(chosen->itf.path, failure);
    if (!file) {
        std::string text = "cannot open " + where + ": " + usbprint::describe(failure);
        if (failure.status == usbprint::Status::Busy)
            failures_->recordBusy(std::move(text));
        else
            failures_->record(std::move(text));
        return nullptr;
    }
    return std::make_shared<usbprint::OpenPrinter>(std::move(file), chosen->identity, where,
                                                   failures_, keeper_, chosen->itf.path);
}

void UsbprintPort::KeepDriversDetached(bool keep) {
    keeper_->keep(keep);
}

std::vector<DeviceIdentity> UsbprintPort::list(const Selection& selection) {
    std::vector<DeviceIdentity> found;
    std::string error;
    for (auto& entry : usbprint::devicesOfKind(selection, error))
        found.push_back(std::move(entry.identity));
    if (!error.empty())
        failures_->record("cannot list the USB printers: " + error);
    return found;
}

}  // namespace usbport

#ifdef _WIN32
namespace usbport {

Port& systemPort() {
    static UsbprintPort port;
    return port;
}

}  // namespace usbport
#endif
