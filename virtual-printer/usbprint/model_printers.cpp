#include "usbprint/model_printers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "model/identity.h"

namespace vprinter {

using usbport::usbprint::Interface;
using usbport::usbprint::Outcome;
using usbport::usbprint::PrinterFile;
using Status = Outcome::Status;

namespace {

constexpr char kUsbprintInterfaceClass[] = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr char kHardwareId[] = "USB\\VID_7A3C&PID_0512";

Outcome gone() {
    return {Status::Gone, 0, "ERROR_DEVICE_NOT_CONNECTED"};
}

}  // namespace

struct ModelBus::Slot {
    std::mutex mutex;
    Printer* printer = nullptr;  // null once its ModelPrinter is gone
    unsigned port = 0;
    ModelPrinter::Listing listing;
    int openFiles = 0;
    std::vector<std::uint8_t> rest;  // of a bulk IN answer, for the next read
    std::uint32_t restAppearance = 0;

    // Whether the printer is on the bus now (under `mutex`).
    bool present() {
        if (printer == nullptr)
            return false;
        printer->update();
        return printer->onBus();
    }
    std::uint32_t appearance() const { return printer->boots(); }
    std::string portPath() const { return "1-" + std::to_string(port); }

    // The last part of the device's own instance id: its serial, or one made up from the port.
    std::string idLast() const {
        return listing.serialInId ? printer->serial() : "6&1d2c3b4a&0&" + std::to_string(port);
    }
    // Unique on the system, as Windows keeps every interface path, even for printers that share
    // a serial number: the port and the appearance make it so.
    std::string path() const {
        return R"(\\?\usb#vid_7a3c&pid_0512#)" + idLast() + "&" + std::to_string(port) + "&" +
               std::to_string(appearance()) + "#" + kUsbprintInterfaceClass;
    }
    Interface itf() const {
        Interface i;
        i.path = path();
        const std::string device = std::string(kHardwareId) + "\\" + idLast();
        if (listing.composite) {
            i.instanceId = std::string(kHardwareId) + "&MI_00\\7&2e3f4a5b&0&0000";
            i.parentInstanceId = listing.parentReadable ? device : "";
        } else {
            i.instanceId = device;
        }
        if (!listing.instanceIdReadable)
            i.instanceId.clear();
        i.location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(" + std::to_string(port) + ")";
        if (listing.composite)
            i.location += "#USBMI(0)";
        if (!listing.locationPath)
            i.location = "Port_#000" + std::to_string(port) + ".Hub_#0001";
        return i;
    }
    void record(const char* name, const std::string& path = "") {
        TraceBuilder b(printer->traceTimeMs(), name);
        if (!path.empty())
            b.text("path", path);
        printer->trace().add(b.done());
    }
};

namespace {

class ModelFile final : public PrinterFile {
  public:
    ModelFile(std::shared_ptr<ModelBus::Slot> slot, std::uint32_t appearance)
        : slot_(std::move(slot)), appearance_(appearance) {}
    ~ModelFile() override {
        std::lock_guard lock(slot_->mutex);
        --slot_->openFiles;
        if (slot_->printer != nullptr)
            slot_->record("closed");
    }
    ModelFile(const ModelFile&) = delete;
    ModelFile& operator=(const ModelFile&) = delete;

    Outcome write(const void* data, std::uint32_t length, std::uint32_t timeoutMs) override {
        WriteResult r;
        Clock* clock = nullptr;
        {
            std::lock_guard lock(slot_->mutex);
            if (!here())
                return gone();
            r = slot_->printer->write({static_cast<const std::uint8_t*>(data), length});
            clock = &slot_->printer->clock();
        }
        switch (r.kind) {
            case WriteResult::Kind::Accepted:
                if (r.takesMs > 0) {
                    // The printer takes its time beside the host, which waits for it.
                    std::thread([clock, ms = r.takesMs] { clock->advance(ms); }).join();
                }
                return {Status::Done, static_cast<std::uint32_t>(r.accepted), ""};
            case WriteResult::Kind::Refused:
                return {Status::Failed, 0, "ERROR_GEN_FAILURE"};
            case WriteResult::Kind::Stalled:
                return timedOut(*clock, timeoutMs);
            case WriteResult::Kind::Disconnected:
                break;
        }
        return gone();
    }

    Outcome read(void* buffer, std::uint32_t length, std::uint32_t timeoutMs) override {
        std::uint64_t deadline = 0;
        for (bool first = true;; first = false) {
            Clock* clock = nullptr;
            {
                std::lock_guard lock(slot_->mutex);
                if (!here())
                    return gone();
                auto& s = *slot_;
                if (s.printer->options().faults.noBulkIn)
                    return {Status::Failed, 0, "ERROR_INVALID_FUNCTION"};
                if (s.restAppearance != appearance_)
                    s.rest.clear();
                s.restAppearance = appearance_;
                if (s.rest.empty())
                    s.rest = s.printer->read().value_or(std::vector<std::uint8_t>{});
                if (!s.rest.empty())
                    return take(s.rest, buffer, length);
                clock = &s.printer->clock();
            }
            // Nothing to read: in virtual time nothing comes unless the host lets time pass.
            if (clock->isVirtual())
                return timedOut(*clock, timeoutMs);
            if (first)
                deadline = clock->nowMs() + timeoutMs;
            if (clock->nowMs() >= deadline)
                return {Status::TimedOut, 0, "ERROR_TIMEOUT"};
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    Outcome deviceId(void* buffer, std::uint32_t length, std::uint32_t) override {
        std::lock_guard lock(slot_->mutex);
        if (!here())
            return gone();
        const auto answer = slot_->printer->deviceId();
        const auto n = std::min<std::size_t>(answer.size(), length);
        if (n > 0)  // an empty answer may have no data at all
            std::memcpy(buffer, answer.data(), n);
        return {Status::Done, static_cast<std::uint32_t>(n), ""};
    }

  private:
    // Whether the printer opened is still there (under the slot's mutex).
    bool here() { return slot_->present() && slot_->appearance() == appearance_; }

    static Outcome timedOut(Clock& clock, std::uint32_t timeoutMs) {
        if (!clock.isVirtual())
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return {Status::TimedOut, 0, "ERROR_TIMEOUT"};
    }

    // As much of the pending answer as fits; more than fits in a read that is not a whole number
    // of packets is babble, which spoils the whole answer.
    static Outcome take(std::vector<std::uint8_t>& rest, void* buffer, std::uint32_t length) {
        const std::size_t n = std::min<std::size_t>(rest.size(), length);
        const bool babble = rest.size() > length && length % kMaxPacket != 0;
        if (n > 0)  // an empty answer may have no data at all
            std::memcpy(buffer, rest.data(), n);
        rest.erase(rest.begin(),
                   babble ? rest.end() : rest.begin() + static_cast<std::ptrdiff_t>(n));
        if (babble)
            return {Status::Overflow, 0, "ERROR_MORE_DATA"};
        return {Status::Done, static_cast<std::uint32_t>(n), ""};
    }

    std::shared_ptr<ModelBus::Slot> slot_;
    std::uint32_t appearance_;
};

}  // namespace

ModelBus::ModelBus() {
    usbport::usbprint::installPrinterClass(this);
}

ModelBus::~ModelBus() {
    usbport::usbprint::installPrinterClass(nullptr);
}

void ModelBus::failListing(std::string error) {
    std::lock_guard lock(mutex_);
    listingError_ = std::move(error);
}

std::vector<Interface> ModelBus::list(std::string& error) {
    std::lock_guard lock(mutex_);
    std::vector<Interface> found;
    error = listingError_;
    if (!error.empty())
        return found;
    for (const auto& slot : slots_) {
        std::lock_guard slotLock(slot->mutex);
        if (slot->present())
            found.push_back(slot->itf());
    }
    // Listed last port first: putting them in order is the port's business.
    std::reverse(found.begin(), found.end());
    return found;
}

std::unique_ptr<PrinterFile> ModelBus::open(const std::string& path, Outcome& failure) {
    std::lock_guard lock(mutex_);
    for (const auto& slot : slots_) {
        std::lock_guard slotLock(slot->mutex);
        if (!slot->present() || slot->path() != path)
            continue;
        if (slot->openFiles > 0 || slot->printer->options().faults.busy ||
            slot->printer->options().faults.printJob) {
            failure = {Status::Busy, 0, "ERROR_SHARING_VIOLATION"};
            return nullptr;
        }
        ++slot->openFiles;
        slot->record("opened", path);
        return std::make_unique<ModelFile>(slot, slot->appearance());
    }
    failure = {Status::Gone, 0, "ERROR_FILE_NOT_FOUND"};
    return nullptr;
}

ModelPrinter::ModelPrinter(Printer& printer) : ownBus_(std::make_unique<ModelBus>()) {
    init(*ownBus_, printer);
}

ModelPrinter::ModelPrinter(ModelBus& bus, Printer& printer) {
    init(bus, printer);
}

void ModelPrinter::init(ModelBus& bus, Printer& printer) {
    slot_ = std::make_shared<ModelBus::Slot>();
    slot_->printer = &printer;
    std::lock_guard lock(bus.mutex_);
    slot_->port = static_cast<unsigned>(bus.slots_.size()) + 1;
    bus.slots_.push_back(slot_);
}

ModelPrinter::~ModelPrinter() {
    std::lock_guard lock(slot_->mutex);
    slot_->printer = nullptr;
}

void ModelPrinter::showAs(const Listing& listing) {
    std::lock_guard lock(slot_->mutex);
    slot_->listing = listing;
}

bool ModelPrinter::attached() {
    std::lock_guard lock(slot_->mutex);
    return slot_->present();
}

std::string ModelPrinter::portPath() const {
    return slot_->portPath();
}

unsigned ModelPrinter::devnum() {
    std::lock_guard lock(slot_->mutex);
    return slot_->appearance() + 2;
}

std::string ModelPrinter::devicePath() {
    std::lock_guard lock(slot_->mutex);
    return slot_->path();
}

std::mutex& ModelPrinter::mutex() {
    return slot_->mutex;
}

Printer& ModelPrinter::printer() {
    return *slot_->printer;
}

}  // namespace vprinter
