#include "support/virtual_printer.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>

#ifdef PV_VPRINTER_MODEL_BUS
#include "platform/usbport/usbprint/usbprint_port.h"
#else
#include <unistd.h>

#include "usb/preload.h"
#endif

namespace pvtest {

namespace {

// Printer lock files and download history of this test process only: test processes running
// side by side use the same virtual serials, and the user's own history is left alone.
void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void privateStateFolder() {
    static const std::string folder = [] {
        std::random_device random;
        std::filesystem::path path;
        do {
            path = std::filesystem::temp_directory_path() /
                   ("pv4410s-test-state-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(path));
        return path.string();
    }();
    setEnvironment("PV4410S_LOCK_DIR", folder);
    setEnvironment("XDG_STATE_HOME", folder);
#ifdef _WIN32
    setEnvironment("LOCALAPPDATA", folder);
#endif
}

// The printer's view of an os::VirtualClock.
class SharedClock final : public vprinter::Clock {
  public:
    explicit SharedClock(os::VirtualClock& c) : clock_(c) {}
    std::uint64_t nowMs() override { return clock_.nowMs(); }
    void advance(std::uint64_t ms) override { clock_.advance(ms); }
    bool isVirtual() const override { return true; }

  private:
    os::VirtualClock& clock_;
};

}  // namespace

// Listeners cannot be taken off an os::VirtualClock, so the one we add reaches the bus through
// this link, which the VirtualPrinter cuts before it goes.
struct VirtualPrinter::Link {
    std::mutex mutex;
    Presentation* usb = nullptr;
};

void requireUmockdevPreload(int argc, char** argv) {
    (void)argc;
#ifdef PV_VPRINTER_MODEL_BUS
    (void)argv;  // the printers are presented without a preload library
#else
    if (vprinter::umockdevPreloaded())
        return;
    if (std::getenv("PV_TEST_PRELOAD_TRIED") == nullptr) {
        const std::string preload = vprinter::preloadFor("/proc/self/exe");
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("PV_TEST_PRELOAD_TRIED", "1", 1);
        execv("/proc/self/exe", argv);
        std::perror("re-executing the test with the umockdev preload library");
    }
    std::fprintf(stderr,
                 "FATAL: %s is not loaded, so libusb cannot see the virtual printer.\n"
                 "Is the Debian package 'umockdev' installed? LD_PRELOAD=%s\n",
                 vprinter::kPreloadLibrary,
                 std::getenv("LD_PRELOAD") ? std::getenv("LD_PRELOAD") : "");
    std::exit(1);
#endif
}

VirtualPrinter::VirtualPrinter(vprinter::Options options)
    : ownClock_(std::make_unique<os::VirtualClock>()), clock_(ownClock_.get()) {
    installed_ = std::make_unique<os::ScopedClock>(*clock_);
    start(std::move(options));
}

VirtualPrinter::VirtualPrinter(vprinter::Options options, os::VirtualClock& clock)
    : clock_(&clock) {
    start(std::move(options));
}

VirtualPrinter::VirtualPrinter(vprinter::Options options, os::VirtualClock& clock, Bus& bus)
    : clock_(&clock) {
    start(std::move(options), &bus);
}

void VirtualPrinter::start(vprinter::Options options, Bus* bus) {
    printerClock_ = std::make_unique<SharedClock>(*clock_);
    printer_ = std::make_unique<vprinter::Printer>(std::move(options), *printerClock_);
    if (!bus) {
        ownBus_ = std::make_unique<Bus>();
        bus = ownBus_.get();
    }
    usb_ = std::make_unique<Presentation>(*bus, *printer_);
    link_ = std::make_shared<Link>();
    link_->usb = usb_.get();
    clock_->onAdvance([link = link_](std::uint64_t) {
        std::lock_guard lock(link->mutex);
        if (link->usb)
            link->usb->sync();
    });
}

VirtualPrinter::~VirtualPrinter() {
    {
        std::lock_guard lock(link_->mutex);
        link_->usb = nullptr;
    }
    usb_.reset();
    printer_.reset();
    installed_.reset();
}

bool VirtualPrinter::onBus() {
    usb_->sync();
    return usb_->attached();
}

std::string VirtualPrinter::serial() {
    return usb_->withPrinter([](vprinter::Printer& p) { return p.serial(); });
}

std::string VirtualPrinter::portPath() const {
    return usb_->portPath();
}

unsigned VirtualPrinter::devnum() {
    usb_->sync();
    return usb_->devnum();
}

std::string VirtualPrinter::devicePath() {
    usb_->sync();
    return usb_->devicePath();
}

std::vector<vprinter::TraceEvent> VirtualPrinter::trace(const std::string& name) {
    return usb_->withPrinter([&](vprinter::Printer& p) {
        p.update();
        return name.empty() ? p.trace().events() : p.trace().named(name);
    });
}

void VirtualPrinterTest::SetUp() {
#ifndef PV_VPRINTER_MODEL_BUS
    ASSERT_TRUE(vprinter::umockdevPreloaded())
        << vprinter::kPreloadLibrary
        << " is not loaded: link the test with pv_test_support_main or call "
           "pvtest::requireUmockdevPreload() first in main()";
#endif
#if defined(PV_VPRINTER_MODEL_BUS) && !defined(_WIN32)
    // Where the system's port is not the usbprint one, the tests' is.
    static usbport::UsbprintPort port;
    usbport::installPort(&port);
#endif
    privateStateFolder();
}

VirtualBus::VirtualBus(std::vector<vprinter::Options> printers)
    : installed_(std::make_unique<os::ScopedClock>(clock_)), bus_(std::make_unique<Bus>()) {
    const vprinter::Options defaults;
    for (std::size_t i = 0; i < printers.size(); ++i) {
        auto& o = printers[i];
        if (o.serial == defaults.serial) {
            char serial[32];
            std::snprintf(serial, sizeof serial, "VIRTUAL-%04zu", i + 1);
            o.serial = serial;
        }
        o.namedInTrace = o.namedInTrace || printers.size() > 1;
        printers_.push_back(std::make_unique<VirtualPrinter>(std::move(o), clock_, *bus_));
    }
}

VirtualBus::~VirtualBus() {
    printers_.clear();
    bus_.reset();
    installed_.reset();
}

void VirtualPrinterTest::TearDown() {
    printer_.reset();
    bus_.reset();
#if defined(PV_VPRINTER_MODEL_BUS) && !defined(_WIN32)
    usbport::installPort(nullptr);
#endif
}

VirtualPrinter& VirtualPrinterTest::startPrinter(vprinter::Options options) {
    printer_.reset();
    bus_.reset();
    printer_ = std::make_unique<VirtualPrinter>(std::move(options));
    return *printer_;
}

std::vector<VirtualPrinter*> VirtualPrinterTest::startPrinters(
    std::vector<vprinter::Options> options) {
    printer_.reset();
    bus_.reset();
    bus_ = std::make_unique<VirtualBus>(std::move(options));
    std::vector<VirtualPrinter*> out;
    for (std::size_t i = 0; i < bus_->size(); ++i)
        out.push_back(&bus_->printer(i));
    return out;
}

}  // namespace pvtest
