// The printer link through the libusb port to the virtual printer on an emulated bus.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/printer_link.h"
#include "link/running_versions.h"
#include "link/transmit.h"
#include "link/usb_identity.h"
#include "platform/usbport/libusb/libusb_port.h"
#include "platform/usbport/libusb/print_jobs.h"
#include "support/virtual_printer.h"

namespace pv::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

std::string processName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

constexpr std::uint16_t kProductIds[] = {0x0512};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    return bytes;
}

// Whether the kernel's driver holds the printer interface, as a separate libusb client sees it.
bool kernelDriverBound() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0)
        return false;
    bool bound = false;
    if (libusb_device_handle* h = libusb_open_device_with_vid_pid(context, 0x7A3C, 0x0512)) {
        bound = libusb_kernel_driver_active(h, 0) == 1;
        libusb_close(h);
    }
    libusb_exit(context);
    return bound;
}

struct VersionReply {
    char mainVersion[7] = {};
    char tableVersion[7] = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
    bool ok = false;
};

class LinkUsbTest : public pvtest::VirtualPrinterTest {
  protected:
    void SetUp() override {
        VirtualPrinterTest::SetUp();
        setUsbIdentity(kProductIds, 1, 0x7A3C);
        baseline = os::openHandleCount();
    }
    void TearDown() override {
        releaseUsbIdentity();
        VirtualPrinterTest::TearDown();
    }

    Names commands() {
        Names names;
        for (const auto& event : printer().trace("command"))
            names.push_back(event.field("name"));
        return names;
    }

    VersionReply requestVersions(PrinterLink& link) {
        VersionReply reply;
        if (link.sendVersionRequest(kVersionSelector)) {
            os::sleepMs(5000);
            reply.ok = link.readVersionReply(reply.mainVersion, reply.mainChecksum,
                                             reply.tableVersion, reply.tableChecksum);
        }
        return reply;
    }

    // Initialises the printer, erases the area, waits for the erase to finish and starts the
    // transfer.
    void prepareStream(PrinterLink& link, std::uint16_t area) {
        ASSERT_TRUE(link.sendInitialise());
        ASSERT_TRUE(link.sendErase(area));
        os::sleepMs(30'000);
        ASSERT_TRUE(link.sendTransfer(area));
    }

    std::int32_t transmit(PrinterLink& link, const Bytes& data, std::uint32_t limitMs) {
        std::int32_t code = -1;
        transmitImage(link, data.data(), static_cast<std::uint32_t>(data.size()), limitMs, nullptr,
                      0, 1, &code);
        return code;
    }

    std::size_t baseline = 0;
};

TEST_F(LinkUsbTest, OpensThePrinterAndFindsItsModel) {
    startPrinter();
    ASSERT_TRUE(kernelDriverBound());
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_FALSE(kernelDriverBound());  // detached while the link holds the printer
    EXPECT_TRUE(link.checkModel());
    link.close();
    EXPECT_EQ(os::openHandleCount(), baseline);
    EXPECT_TRUE(kernelDriverBound());  // given back with the last handle
}

TEST_F(LinkUsbTest, SpoiltDeviceIdFailsTheModelCheck) {
    using vprinter::DeviceIdFault;
    for (auto fault : {DeviceIdFault::ModelCase, DeviceIdFault::ModelSpacing,
                       DeviceIdFault::NoModel, DeviceIdFault::Empty}) {
        SCOPED_TRACE(static_cast<int>(fault));
        vprinter::Options options;
        options.faults.deviceId = fault;
        startPrinter(options);
        PrinterLink link;
        ASSERT_TRUE(link.open());
        EXPECT_FALSE(link.checkModel());
    }
}

TEST_F(LinkUsbTest, MissingPrinterOpensNothing) {
    vprinter::Options options;
    options.faults.absent = true;
    startPrinter(options);
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(link.controlHandle(), os::kNoHandle);
    EXPECT_EQ(link.bulkOutHandle(), os::kNoHandle);
    EXPECT_EQ(link.bulkInHandle(), os::kNoHandle);
    EXPECT_EQ(os::openHandleCount(), baseline);
}

TEST_F(LinkUsbTest, PrinterWithoutBulkInIsOnlyPartlyOpened) {
    vprinter::Options options;
    options.faults.noBulkIn = true;
    startPrinter(options);
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_NE(link.controlHandle(), os::kNoHandle);
    EXPECT_NE(link.bulkOutHandle(), os::kNoHandle);
    EXPECT_EQ(link.bulkInHandle(), os::kNoHandle);
    link.close();
    EXPECT_EQ(os::openHandleCount(), baseline);
    // The device was let go with its last handle: a second client can claim it.
    EXPECT_FALSE(link.open());
    EXPECT_NE(link.bulkOutHandle(), os::kNoHandle);
}

// A real endpoint stays halted after a stall until the host clears it; the port clears it at
// once, so the next command reaches the printer. An overlong reply is no reply at all.
TEST_F(LinkUsbTest, StallIsClearedAndAnOverlongReplyIsRefused) {
    vprinter::Options options;
    ASSERT_EQ(vprinter::applyFault("refuse=initialise", options.faults), "");
    ASSERT_EQ(vprinter::applyFault("long-reply=64", options.faults), "");
    startPrinter(options);
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_FALSE(link.sendInitialise());
    EXPECT_NE(usbport::TakeFailure().find("(LIBUSB_ERROR_PIPE); halt cleared"), std::string::npos);
    RunningVersions versions;
    EXPECT_FALSE(readRunningVersions(link, versions));
    EXPECT_NE(usbport::TakeFailure().find("(LIBUSB_ERROR_OVERFLOW)"), std::string::npos);
    EXPECT_EQ(commands(), (Names{"readback-on", "version-request", "readback-off"}));
}

// Among several printers of the model, a selected one is found by its serial wherever it sits;
// without a selection the first one opens.
TEST_F(LinkUsbTest, SelectedPrinterOpensAmongOthers) {
    startPrinters({{}, {}});
    usbport::DeviceIdentity found;
    PrinterLink link;
    const usbport::DeviceIdentity second{"VIRTUAL-0002", ""};
    usbport::SelectDevice(&second);
    ASSERT_TRUE(link.open());
    EXPECT_EQ(usbport::ListDevices().size(), 2u);
    ASSERT_TRUE(link.identity(found));
    EXPECT_EQ(found.serial, "VIRTUAL-0002");
    EXPECT_EQ(found.portPath, "1-2");
    link.close();
    const usbport::DeviceIdentity absent{"VIRTUAL-0003", ""};
    usbport::SelectDevice(&absent);
    EXPECT_FALSE(link.open());
    EXPECT_NE(usbport::TakeFailure().find("VIRTUAL-0003 is not attached"), std::string::npos);
    link.close();
    usbport::SelectDevice(nullptr);
    ASSERT_TRUE(link.open());
    ASSERT_TRUE(link.identity(found));
    EXPECT_EQ(found.serial, "VIRTUAL-0001");
}

TEST_F(LinkUsbTest, EveryCommandReachesThePrinterAndTheReplyIsParsed) {
    auto& vp = startPrinter();
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(link.setReadBackMode(kReadBackModeOn));
    EXPECT_TRUE(link.setReadBackMode(0));
    EXPECT_TRUE(link.sendInitialise());
    const VersionReply reply = requestVersions(link);
    ASSERT_TRUE(reply.ok);
    EXPECT_STREQ(reply.mainVersion, "301B10");
    EXPECT_STREQ(reply.tableVersion, "705A10");
    vp.withPrinter([&](vprinter::Printer& p) {
        EXPECT_EQ(reply.mainChecksum, p.mainChecksum());
        EXPECT_EQ(reply.tableChecksum, p.tableChecksum());
    });
    EXPECT_TRUE(link.sendErase(kThirdArea));
    EXPECT_TRUE(link.sendTransfer(kThirdArea));
    EXPECT_TRUE(link.sendReset());
    EXPECT_EQ(commands(), (Names{"readback-on", "readback-off", "initialise", "version-request",
                                 "erase c", "transfer c", "reset"}));
}

TEST_F(LinkUsbTest, TableImageIsAcceptedAndReportedAfterTheReset) {
    const Bytes image = readFile(PV4410S_FIRMWARE_DIR "/table-705B11.pkg");
    ASSERT_EQ(image.size(), 1'238'348u);
    startPrinter();
    {
        PrinterLink link;
        ASSERT_TRUE(link.open());
        prepareStream(link, kTableDataArea);
        EXPECT_EQ(transmit(link, image, 60'000), kTransmitOk);
        EXPECT_TRUE(link.sendReset());
    }
    const auto verdicts = printer().trace("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("result"), "valid") << verdicts[0].readable();

    os::sleepMs(1000);  // rebooting: off the bus
    PrinterLink link;
    EXPECT_FALSE(link.open());
    link.close();
    os::sleepMs(8000);  // back
    ASSERT_TRUE(link.open());
    EXPECT_TRUE(link.setReadBackMode(kReadBackModeOn));
    const VersionReply reply = requestVersions(link);
    EXPECT_TRUE(link.setReadBackMode(0));
    ASSERT_TRUE(reply.ok);
    EXPECT_STREQ(reply.tableVersion, "705B11");
}

TEST_F(LinkUsbTest, ThrottledPrinterRunsOutOfTime) {
    vprinter::Options options;
    options.faults.throttleBytesPerSecond = 20'000;  // about 205 ms a chunk
    startPrinter(options);
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_EQ(transmit(link, pattern(std::size_t{16} * kChunkSize), 1000), kTransmitTimedOut);
    EXPECT_EQ(printer().trace("data").size(), 5u);  // 1,025 ms after the fifth
}

TEST_F(LinkUsbTest, ShortWriteEndsTheStream) {
    vprinter::Options options;
    options.faults.shortStreamWrite = 2;
    startPrinter(options);
    PrinterLink link;
    ASSERT_TRUE(link.open());
    prepareStream(link, kMainFirmwareArea);
    EXPECT_EQ(transmit(link, pattern(std::size_t{8} * kChunkSize), 35'000), kTransmitShortWrite);
    EXPECT_EQ(printer().trace("fault").size(), 1u);
}

TEST_F(LinkUsbTest, StalledPrinterEndsWithinTheBoundedTimeOut) {
    usbport::LibusbPort quickPort({.controlMs = 300, .bulkOutMs = 300, .bulkInMs = 300});
    usbport::ScopedPort scopedPort(quickPort);
    vprinter::Options options;
    options.faults.stallWrite = 2;
    options.faults.stallRead = true;
    startPrinter(options);
    PrinterLink link;
    ASSERT_TRUE(link.open());

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(transmit(link, pattern(std::size_t{4} * kChunkSize), 35'000), kTransmitShortWrite);
    VersionReply reply;
    EXPECT_FALSE(link.readVersionReply(reply.mainVersion, reply.mainChecksum, reply.tableVersion,
                                       reply.tableChecksum));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(3));

    EXPECT_TRUE(link.sendInitialise());  // the printer still listens after the time-outs
}

// A process that holds the printer driver's node is printing: it is found and named, so that
// the driver is not taken from its job.
TEST(PrintJobs, AHolderOfTheNodeIsFoundAndNamed) {
    const std::string node = ::testing::TempDir() + "pv4410s-lp0";
    std::ofstream(node) << "";
    EXPECT_EQ(usbport::processesHolding(node), "") << "open nowhere";
    std::ifstream job(node);
    EXPECT_EQ(usbport::processesHolding(node),
              "process " + std::to_string(::getpid()) + " (" + processName() + ")");
    EXPECT_EQ(usbport::processesHolding(node + "-missing"), "");
    EXPECT_EQ(usbport::printJobOn("9-9", 0), "") << "no such device: no job";
}

}  // namespace
}  // namespace pv::link
