// The printer link through the usbprint port to virtual printers presented as the USB printer
// class driver: what that driver shows differently from libusb (ids, locations, exclusive opens).
// Transfers and faults run through the whole fault matrix (download_usbprint_test).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/printer_link.h"
#include "link/usb_identity.h"
#include "platform/usbport/usbprint/printer_class.h"
#include "platform/usbport/usbprint/usbprint_port.h"
#include "usbprint/model_printers.h"

namespace pv::link {
namespace {

constexpr std::uint16_t kProductIds[] = {0x0512};
using Listing = vprinter::ModelPrinter::Listing;

class UsbprintPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setUsbIdentity(kProductIds, 1, 0x7A3C);
        port.SetVenderID(0x7A3C);
        port.SetProductID(kProductIds, 1);
    }
    void TearDown() override { releaseUsbIdentity(); }

    // Printers at ports 1-1, 1-2, ... shown as `listings` say, with these serials.
    void attach(const std::vector<Listing>& listings, std::vector<std::string> serials = {}) {
        for (std::size_t i = 0; i < listings.size(); ++i) {
            vprinter::Options options;
            options.serial =
                i < serials.size() ? serials[i] : "VIRTUAL-000" + std::to_string(i + 1);
            printers.push_back(std::make_unique<vprinter::Printer>(options, clock));
            presented.push_back(std::make_unique<vprinter::ModelPrinter>(bus, *printers.back()));
            presented.back()->showAs(listings[i]);
        }
    }
    // Opens the link on the printer `wanted` (nullptr: the first one); its identity, or the
    // port's failure in words.
    std::string openOn(const usbport::DeviceIdentity* wanted) {
        usbport::SelectDevice(wanted);
        usbport::DeviceIdentity found;
        const bool opened = link.open() && link.identity(found);
        return opened ? found.serial + "@" + found.portPath : usbport::TakeFailure();
    }

    usbport::UsbprintPort port{{500, 500, 500}};
    usbport::ScopedPort installed{port};
    vprinter::ManualClock clock;
    vprinter::ModelBus bus;
    std::vector<std::unique_ptr<vprinter::Printer>> printers;
    std::vector<std::unique_ptr<vprinter::ModelPrinter>> presented;
    PrinterLink link;
};

// The system lists them in any order; the port orders them by port. The serial is the last part
// of the instance id, or of the parent's for a composite device; an id made up from the port
// holds none.
TEST_F(UsbprintPortTest, PrintersAreListedByPortWithTheSerialsTheirIdsCarry) {
    Listing noSerial;
    noSerial.serialInId = false;
    noSerial.locationPath = false;
    Listing composite;
    composite.composite = true;
    attach({{}, noSerial, composite});
    std::vector<std::string> listed;
    for (const auto& d : usbport::ListDevices())
        listed.push_back(d.serial + "@" + d.portPath);
    EXPECT_EQ(listed,
              (std::vector<std::string>{"VIRTUAL-0001@1-1", "@hub1-2", "VIRTUAL-0003@1-3"}));
    EXPECT_EQ(openOn(nullptr), "VIRTUAL-0001@1-1");
    const usbport::DeviceIdentity byPort{"", "hub1-2"};
    EXPECT_EQ(openOn(&byPort), "@hub1-2");
    EXPECT_TRUE(link.checkModel());
}

// Printers sharing a serial are told apart by port; a printer whose serial cannot be read does
// not open.
TEST_F(UsbprintPortTest, TwinsAreToldApartByPortAndUnreadableSerialsRefused) {
    Listing unreadableParent;
    unreadableParent.composite = true;
    unreadableParent.parentReadable = false;
    Listing unreadable;
    unreadable.instanceIdReadable = false;
    attach({{}, {}, unreadableParent, unreadable}, {"TWIN", "TWIN", "C", "D"});
    const auto listed = usbport::ListDevices();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_TRUE(listed[0].sharedSerial && listed[1].sharedSerial && !listed[2].sharedSerial);
    EXPECT_EQ(openOn(&listed[1]), "TWIN@1-2");
    usbport::DeviceIdentity bound;
    ASSERT_TRUE(link.identity(bound));
    EXPECT_TRUE(bound.sharedSerial);
    link.close();
    presented.erase(presented.begin() + 1);  // the second twin leaves
    EXPECT_EQ(openOn(&bound), "the printer TWIN at 1-2 is not attached");
    // A run of its own takes a new port: the same kind, nothing selected, no failure of this one.
    const auto own = port.newPort();
    EXPECT_EQ(own->TakeFailure(), "");
    const os::Handle control = own->UsbOpenCont(0, 0);
    usbport::DeviceIdentity first;
    EXPECT_TRUE(own->UsbGetIdentity(control, first) && first.portPath == "1-1") << first.portPath;
    os::closeHandle(control);
    presented.erase(presented.begin());
    EXPECT_EQ(openOn(nullptr), "cannot read the serial number of 7a3c:0512 at 1-3");
    presented.erase(presented.begin());
    EXPECT_EQ(openOn(nullptr), "cannot read the serial number of 7a3c:0512 at 1-4");
    bus.failListing("ERROR_NOT_ENOUGH_MEMORY");
    EXPECT_EQ(openOn(nullptr), "cannot list the USB printers: ERROR_NOT_ENOUGH_MEMORY");
}

// The link holds the printer exclusively: another program cannot open it meanwhile. After a reset
// the printer comes back under another interface path; the file of before is gone, and the next
// open finds the printer again.
TEST_F(UsbprintPortTest, TheLinkHoldsThePrinterAloneAndFindsItAgainAfterAReset) {
    attach({{}});
    ASSERT_EQ(openOn(nullptr), "VIRTUAL-0001@1-1");
    usbport::UsbprintPort otherProgram;
    otherProgram.SetVenderID(0x7A3C);
    otherProgram.SetProductID(kProductIds, 1);
    EXPECT_EQ(otherProgram.UsbOpenCont(0, 0), os::kNoHandle);
    EXPECT_TRUE(otherProgram.Busy()) << "a printer held elsewhere is busy, not missing";
    EXPECT_EQ(otherProgram.TakeFailure(),
              "cannot open 7a3c:0512 at 1-1: in use by another program (ERROR_SHARING_VIOLATION); "
              "see \"Troubleshooting\" in the README");
    const std::string before = presented[0]->devicePath();
    ASSERT_TRUE(link.sendInitialise());
    ASSERT_TRUE(link.sendReset());
    clock.advance(10'000);
    EXPECT_FALSE(link.sendInitialise());
    EXPECT_EQ(usbport::TakeFailure(),
              "write to 7a3c:0512 at 1-1: the device is gone (ERROR_DEVICE_NOT_CONNECTED)");
    link.close();
    EXPECT_NE(presented[0]->devicePath(), before);
    const usbport::DeviceIdentity same{"VIRTUAL-0001", "1-1"};
    EXPECT_EQ(openOn(&same), "VIRTUAL-0001@1-1");
    EXPECT_TRUE(link.sendInitialise());
}

// While a run keeps the printer, its file stays open between the run's steps: the spooler (any
// other program) cannot open it in the gap. A reset lets the kept file go; letting go of the
// printer closes it.
TEST_F(UsbprintPortTest, AKeptPrinterStaysClosedToOthersBetweenSteps) {
    attach({{}});
    usbport::UsbprintPort spooler;
    spooler.SetVenderID(0x7A3C);
    spooler.SetProductID(kProductIds, 1);
    usbport::KeepDriversDetached(true);
    ASSERT_EQ(openOn(nullptr), "VIRTUAL-0001@1-1");
    link.close();
    EXPECT_EQ(spooler.UsbOpenCont(0, 0), os::kNoHandle) << "closed between two steps";
    EXPECT_TRUE(spooler.Busy());
    ASSERT_EQ(openOn(nullptr), "VIRTUAL-0001@1-1") << "the next step takes the kept file";
    ASSERT_TRUE(link.sendInitialise());
    ASSERT_TRUE(link.sendReset());
    link.close();
    clock.advance(10'000);
    EXPECT_EQ(openOn(nullptr), "VIRTUAL-0001@1-1") << "back after the reset, opened afresh";
    EXPECT_TRUE(link.sendInitialise());
    link.close();
    usbport::KeepDriversDetached(false);
    const os::Handle control = spooler.UsbOpenCont(0, 0);
    EXPECT_NE(control, os::kNoHandle) << "free once the run lets go";
    os::closeHandle(control);
}

#ifdef _WIN32
// The system's own layer answers cleanly where there is no such printer (always under Wine,
// which has no printer class driver).
TEST(Win32PrinterClass, AnswersCleanlyWithoutThePrinter) {
    auto& system = usbport::usbprint::systemPrinterClass();
    std::string error;
    for (const auto& itf : system.list(error))
        EXPECT_NE(itf.path, "");
    EXPECT_EQ(error, "");
    usbport::usbprint::Outcome failure;
    EXPECT_EQ(
        system.open("\\\\?\\usb#vid_7a3c&pid_0512#none#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                    failure),
        nullptr);
    EXPECT_EQ(failure.status, usbport::usbprint::Outcome::Status::Gone) << failure.error;
}
#endif

}  // namespace
}  // namespace pv::link
