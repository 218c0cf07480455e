// The virtual printer as an unmodified libusb program sees it.
#include <libusb.h>

#include <gtest/gtest.h>

#include <array>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "model/identity.h"
#include "support/virtual_printer.h"
#include "test_packages.h"

namespace {

using vprinter::Options;

// A plain libusb client: open by VID/PID, detach the kernel driver, claim interface 0.
class Client {
  public:
    Client() { libusb_init(&ctx_); }
    ~Client() {
        close();
        libusb_exit(ctx_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    // The printer at `port` (1-1 is 1), or the first one found.
    bool open(int port = 0) {
        libusb_device** list = nullptr;
        const auto n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n && !handle_; ++i) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(list[i], &d);
            if (d.idVendor == vprinter::kVendorId &&
                (port == 0 || libusb_get_port_number(list[i]) == port))
                libusb_open(list[i], &handle_);
        }
        libusb_free_device_list(list, 1);
        if (!handle_)
            return false;
        if (libusb_kernel_driver_active(handle_, 0) == 1)
            detached_ = true;
        if (detached_ && libusb_detach_kernel_driver(handle_, 0) != 0)
            return false;
        return libusb_claim_interface(handle_, 0) == 0;
    }
    void close() {
        if (!handle_)
            return;
        libusb_release_interface(handle_, 0);
        if (detached_)
            attachResult_ = libusb_attach_kernel_driver(handle_, 0);
        libusb_close(handle_);
        handle_ = nullptr;
    }
    std::vector<std::uint8_t> deviceId() {
        std::vector<std::uint8_t> buf(256);
        const int n = libusb_control_transfer(handle_, 0xA1, 0, 0, 0, buf.data(), 256, 1000);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }
    // Bytes written, or a negative libusb error.
    int write(const std::vector<std::uint8_t>& data, unsigned timeoutMs = 2000) {
        int done = 0;
        const int rc = libusb_bulk_transfer(handle_, vprinter::kBulkOutEndpoint,
                                            const_cast<std::uint8_t*>(data.data()),
                                            static_cast<int>(data.size()), &done, timeoutMs);
        return rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && done > 0) ? done : rc;
    }
    int read(std::vector<std::uint8_t>& out, unsigned timeoutMs = 1000, int size = 512) {
        out.assign(static_cast<std::size_t>(size), 0);
        int done = 0;
        const int rc = libusb_bulk_transfer(handle_, vprinter::kBulkInEndpoint, out.data(), size,
                                            &done, timeoutMs);
        out.resize(static_cast<std::size_t>(done));
        return rc == 0 ? done : rc;
    }
    // Writes `stream` as the updater does; the result of the first write that is not whole.
    int writeStream(const std::vector<std::uint8_t>& stream) {
        for (const auto& chunk : vptest::chunks(stream))
            if (const int n = write(chunk); n != static_cast<int>(chunk.size()))
                return n;
        return 0;
    }
    std::string serial() {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(libusb_get_device(handle_), &d);
        unsigned char text[256] = {};
        const int n = libusb_get_string_descriptor_ascii(handle_, d.iSerialNumber, text, 256);
        return n < 0 ? "error" : std::string(reinterpret_cast<char*>(text));
    }
    libusb_context* context() { return ctx_; }
    libusb_device_handle* handle() { return handle_; }
    int attachResult() const { return attachResult_; }

  private:
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool detached_ = false;
    int attachResult_ = 1;
};

bool visible() {
    Client c;
    libusb_device_handle* h =
        libusb_open_device_with_vid_pid(c.context(), vprinter::kVendorId, vprinter::kProductId);
    if (h)
        libusb_close(h);
    return h != nullptr;
}

const std::vector<std::uint8_t> kInit = {0x1B, 'f', 'g', 0};
const std::vector<std::uint8_t> kVersionRequest = {0x1B, 'V', '#', 0};
const std::vector<std::uint8_t> kReset = {0x1B, 'f', 'r', 0};
const std::vector<std::uint8_t> kEraseMain = {0x1B, 'f', 'e', 'p'};
const std::vector<std::uint8_t> kTransferMain = {0x1B, 'f', 't', 'p'};
const std::vector<std::uint8_t> kReadBackOn = {0x1B, 'S', 0x5A, 0x1E};
const std::vector<std::uint8_t> kReadBackOff = {0x1B, 'S', 0, 0};

Options withFault(const char* fault) {
    Options o;
    EXPECT_EQ(vprinter::applyFault(fault, o.faults), "");
    return o;
}

std::string text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// A running printer's versions, asked in read-back mode.
std::string versions(Client& c) {
    std::vector<std::uint8_t> reply;
    const bool replied =
        c.write(kReadBackOn) == 4 && c.write(kVersionRequest) == 4 && c.read(reply) == 48;
    c.write(kReadBackOff);
    return replied ? text({reply.begin() + 6, reply.begin() + 18}) : "no reply";
}

std::vector<std::uint8_t> mainImage() {
    auto image = vptest::firmwareImage("main-301F11.pkg");
    return image.empty() ? vptest::image("301F11", vprinter::kMainVersionAddress, 3000) : image;
}

class UsbTest : public pvtest::VirtualPrinterTest {};

std::string sysfsSerial(pvtest::VirtualPrinter& p) {
    std::ifstream in("/sys/bus/usb/devices/" + p.portPath() + "/serial");
    std::string line;
    std::getline(in, line);
    return line;
}

TEST_F(UsbTest, SerialNumberStringMatchesSysfs) {
    for (const char* serial : {"VIRTUAL-0001", "PV4410-7731"}) {
        auto& printer = startPrinter(withFault((std::string("serial=") + serial).c_str()));
        Client c;
        ASSERT_TRUE(c.open());
        EXPECT_EQ(c.serial(), serial);
        EXPECT_EQ(sysfsSerial(printer), serial);
    }
}

// A serial beyond ASCII goes out as UTF-16 (a surrogate pair for a character beyond 16 bits),
// which libusb's ASCII form folds to '?'; the fault stalls the first requests for it.
TEST_F(UsbTest, SerialBeyondAsciiIsUtf16AndCanBeUnreadable) {
    Options o = withFault("serial=VIRTUAL-\u00c4\U0001F600");
    EXPECT_EQ(vprinter::applyFault("serial-unreadable=1", o.faults), "");
    auto& printer = startPrinter(o);
    Client c;
    ASSERT_TRUE(c.open());
    std::array<unsigned char, 64> raw{};
    EXPECT_EQ(libusb_get_string_descriptor(c.handle(), 3, 0x0409, raw.data(), 64),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(printer.trace("serial-refused").size(), 1u);
    ASSERT_EQ(libusb_get_string_descriptor(c.handle(), 3, 0x0409, raw.data(), 64), 2 + 2 * 11);
    std::vector<unsigned> units;
    for (std::size_t at = 18; at < 24; at += 2)
        units.push_back(raw[at] | static_cast<unsigned>(raw[at + 1]) << 8);
    EXPECT_EQ(units, (std::vector<unsigned>{0x00C4, 0xD83D, 0xDE00}));
    EXPECT_EQ(c.serial(), "VIRTUAL-???");
    EXPECT_EQ(sysfsSerial(printer), "VIRTUAL-\u00c4\U0001F600");
}

TEST_F(UsbTest, OpensDetachesClaimsAndAnswersDeviceIdAndVersion) {
    auto& printer = startPrinter();
    Client c;
    ASSERT_TRUE(c.open());
    const auto id = c.deviceId();
    ASSERT_GE(id.size(), 2u);
    EXPECT_EQ(id[0] * 256 + id[1], static_cast<int>(id.size()));
    EXPECT_NE(std::string(id.begin(), id.end()).find("MDL:PV4410S ;"), std::string::npos);
    ASSERT_EQ(c.write(kReadBackOn), 4);
    ASSERT_EQ(c.write(kVersionRequest), 4);
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(c.read(reply), 48);
    EXPECT_EQ(std::string(reply.begin() + 6, reply.begin() + 18), "301B10705A10");
    c.close();
    EXPECT_EQ(c.attachResult(), 0);
    EXPECT_EQ(printer.trace("driver-detach").size(), 1u);
    EXPECT_EQ(printer.trace("driver-attach").size(), 1u);
    EXPECT_EQ(printer.trace("reply").at(0).field("printer"), "") << "alone: not named";
}

TEST_F(UsbTest, SeveralPrintersShareTheBusEachAtItsPort) {
    Options second;
    second.mainVersion = "402B10";
    const auto printers = startPrinters({{}, second});
    Client a;
    Client b;
    ASSERT_TRUE(a.open(1));
    ASSERT_TRUE(b.open(2));
    EXPECT_EQ(a.serial(), "VIRTUAL-0001");
    EXPECT_EQ(b.serial(), "VIRTUAL-0002");
    EXPECT_EQ(versions(b), "402B10705A10");
    EXPECT_EQ(versions(a), "301B10705A10");
    EXPECT_NE(printers[0]->devnum(), printers[1]->devnum());
    const auto replies = printers[1]->trace("reply");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].field("printer"), "VIRTUAL-0002");

    ASSERT_EQ(a.write(kInit), 4);

    ASSERT_EQ(a.write(kReset), 4);
    os::sleepMs(vprinter::Options{}.rebootMs);
    EXPECT_EQ(printers[0]->devnum(), 4u) << "the next free address, not the other printer's";
    EXPECT_EQ(printers[1]->devnum(), 3u);
    EXPECT_EQ(versions(b), "402B10705A10") << "the other printer is not disturbed";
}

TEST_F(UsbTest, WholeImageIsAcceptedAndTheDeviceRebootsWithIt) {
    auto& printer = startPrinter();
    const unsigned devnum = printer.devnum();
    Client old;
    ASSERT_TRUE(old.open());
    libusb_release_interface(old.handle(), 0);  // open on the old address, claiming nothing
    {
        Client c;
        ASSERT_TRUE(c.open());
        ASSERT_EQ(c.write(kInit), 4);
        ASSERT_EQ(c.write(kEraseMain), 4);
        os::sleepMs(15000);
        ASSERT_EQ(c.write(kTransferMain), 4);
        EXPECT_EQ(c.writeStream(mainImage()), 0);
        ASSERT_EQ(c.write(kReset), 4);
    }
    EXPECT_EQ(printer.trace("verdict").at(0).field("result"), "valid");
    EXPECT_FALSE(visible()) << "gone right after the reset";
    os::sleepMs(vprinter::Options{}.rebootMs - 1);
    EXPECT_FALSE(visible());
    os::sleepMs(1);
    ASSERT_TRUE(visible()) << "back after the reboot time";
    Client c;
    ASSERT_TRUE(c.open()) << "the kernel driver holds it again and can be detached";
    EXPECT_EQ(versions(c), "301F11705A10");
    EXPECT_NE(libusb_get_device_address(libusb_get_device(c.handle())), devnum);
    EXPECT_EQ(libusb_get_port_number(libusb_get_device(c.handle())), 1);
    EXPECT_EQ(old.write(kVersionRequest), LIBUSB_ERROR_NO_DEVICE) << "the old address is gone";
}

TEST_F(UsbTest, StalledTransfersTimeOutAndTheDeviceStillAnswers) {
    startPrinter(withFault("stall-write=1"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.write(kVersionRequest, 200), LIBUSB_ERROR_TIMEOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
        EXPECT_EQ(versions(c), "301B10705A10");
    }

    startPrinter(withFault("stall-read"));
    Client r;
    ASSERT_TRUE(r.open());
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(r.write(kVersionRequest), 4);
    EXPECT_EQ(r.read(reply, 200), LIBUSB_ERROR_TIMEOUT);
}

TEST_F(UsbTest, AbsentPrinterIsNotFound) {
    startPrinter(withFault("absent"));
    EXPECT_FALSE(visible());
}

TEST_F(UsbTest, ClaimFailsWhileTheInterfaceIsHeld) {
    startPrinter();
    Client driverBound;
    libusb_device_handle* h = libusb_open_device_with_vid_pid(
        driverBound.context(), vprinter::kVendorId, vprinter::kProductId);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY) << "usblp holds it";
    std::uint8_t id[256];
    EXPECT_GT(libusb_control_transfer(h, 0xA1, 0, 0, 0, id, 256, 1000), 2)
        << "the device ID needs no claim";
    int done = 0;
    std::uint8_t frame[4] = {0x1B, 'V', '#', 0};
    EXPECT_LT(libusb_bulk_transfer(h, vprinter::kBulkOutEndpoint, frame, 4, &done, 1000), 0);
    libusb_close(h);

    startPrinter(withFault("busy"));
    Client c;
    EXPECT_FALSE(c.open());
    EXPECT_EQ(libusb_claim_interface(c.handle(), 0), LIBUSB_ERROR_BUSY);

    // Two programs cannot claim one interface, and the driver cannot be bound to a held one.
    startPrinter();
    Client first;
    Client second;
    ASSERT_TRUE(first.open());
    EXPECT_FALSE(second.open());
    EXPECT_EQ(libusb_kernel_driver_active(second.handle(), 0), 0) << "usbfs holds it";
    EXPECT_LT(second.write(kVersionRequest), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(first.handle(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(second.handle(), 0), LIBUSB_ERROR_NOT_FOUND)
        << "only the claimer releases";
    ASSERT_EQ(libusb_release_interface(first.handle(), 0), 0);
    EXPECT_EQ(libusb_claim_interface(second.handle(), 0), 0) << "free once released";
}

TEST_F(UsbTest, DeviceIdFaultsReachTheClient) {
    for (const char* fault : {"id-no-model", "id-model-case", "id-model-spacing"}) {
        startPrinter(withFault(fault));
        Client c;
        ASSERT_TRUE(c.open());
        const auto id = c.deviceId();
        EXPECT_GT(id.size(), 2u) << fault;
        EXPECT_EQ(text(id).find("MDL:PV4410S ;"), std::string::npos) << fault;
    }
    startPrinter(withFault("id-empty"));
    Client c;
    ASSERT_TRUE(c.open());
    EXPECT_TRUE(c.deviceId().empty());
}

TEST_F(UsbTest, MissingBulkInEndpointFailsReads) {
    startPrinter(withFault("no-bulk-in"));
    Client c;
    ASSERT_TRUE(c.open());
    ASSERT_EQ(c.write(kVersionRequest), 4);
    std::vector<std::uint8_t> reply;
    EXPECT_LT(c.read(reply), 0);
    EXPECT_NE(c.read(reply), LIBUSB_ERROR_TIMEOUT) << "refused at once, not left hanging";
}

TEST_F(UsbTest, ReplyFaultsReachTheClient) {
    std::vector<std::uint8_t> reply;
    startPrinter(withFault("short-reply=47"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        ASSERT_EQ(c.write(kReadBackOn), 4);
        ASSERT_EQ(c.write(kVersionRequest), 4);
        EXPECT_EQ(c.read(reply), 47);
    }

    startPrinter(withFault("long-reply=64"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        ASSERT_EQ(c.write(kReadBackOn), 4);
        ASSERT_EQ(c.write(kVersionRequest), 4);
        EXPECT_EQ(c.read(reply, 1000, 48), LIBUSB_ERROR_OVERFLOW);
    }

    startPrinter(withFault("bad-header"));
    Client h;
    ASSERT_TRUE(h.open());
    ASSERT_EQ(h.write(kReadBackOn), 4);
    ASSERT_EQ(h.write(kVersionRequest), 4);
    ASSERT_EQ(h.read(reply), 48);
    EXPECT_EQ(reply[2], 0x01);
}

TEST_F(UsbTest, RefusedCommandsAndWritesHaltTheEndpointUntilCleared) {
    startPrinter(withFault("fail-write=2"));
    {
        Client f;
        ASSERT_TRUE(f.open());
        EXPECT_EQ(f.write(kReadBackOn), 4);
        EXPECT_EQ(f.write(kReadBackOn), LIBUSB_ERROR_PIPE);
        EXPECT_EQ(f.write(kReadBackOn), LIBUSB_ERROR_PIPE) << "the endpoint stays halted";
    }

    auto& printer = startPrinter(withFault("refuse=initialise"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        EXPECT_EQ(c.write(kInit), LIBUSB_ERROR_PIPE);
    }
    Client c;
    ASSERT_TRUE(c.open());
    EXPECT_EQ(versions(c), "no reply") << "closing and claiming again leaves the halt";
    EXPECT_TRUE(printer.trace("command").empty()) << "nothing reached the printer";
    ASSERT_EQ(libusb_clear_halt(c.handle(), vprinter::kBulkOutEndpoint), 0);
    EXPECT_EQ(versions(c), "301B10705A10");
    EXPECT_EQ(c.write(kInit), LIBUSB_ERROR_PIPE);
    // CLEAR_FEATURE(ENDPOINT_HALT) sent as a control request clears it as well.
    ASSERT_EQ(libusb_control_transfer(c.handle(), 0x02, 1, 0, vprinter::kBulkOutEndpoint, nullptr,
                                      0, 1000),
              0);
    EXPECT_EQ(versions(c), "301B10705A10");
    EXPECT_EQ(printer.trace("halt").size(), 2u);
    EXPECT_EQ(printer.trace("clear-halt").size(), 2u);
}

TEST_F(UsbTest, StreamFaultsReachTheClient) {
    const auto image = mainImage();
    auto stream = [&](Client& c) {
        EXPECT_TRUE(c.open());
        c.write(kInit);
        c.write(kEraseMain);
        os::sleepMs(15000);
        c.write(kTransferMain);
        return c.writeStream(image);
    };
    startPrinter(withFault("short-write=3"));
    {
        Client c;
        EXPECT_EQ(stream(c), 2048);
    }
    auto& printer = startPrinter(withFault("throttle=4096"));
    {
        Client c;
        const auto before = printer.clock().nowMs();
        EXPECT_EQ(stream(c), 0);
        const auto took = printer.clock().nowMs() - before - 15000;
        EXPECT_GE(took, image.size() * 1000 / 4096) << "the printer let virtual time pass";
    }
    auto& gone = startPrinter(withFault("disconnect-at=2"));
    {
        Client c;
        EXPECT_EQ(stream(c), LIBUSB_ERROR_NO_DEVICE);
    }
    os::sleepMs(60000);
    EXPECT_FALSE(visible());
    EXPECT_EQ(gone.trace("verdict").at(0).field("reason"), "cut short by disconnect");
}

TEST_F(UsbTest, ResetFaultsChangeWhatComesBack) {
    startPrinter(withFault("no-return"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        ASSERT_EQ(c.write(kInit), 4);
        ASSERT_EQ(c.write(kReset), 4);
    }
    os::sleepMs(60000);
    EXPECT_FALSE(visible());

    startPrinter(withFault("return-version=604F11"));
    {
        Client c;
        ASSERT_TRUE(c.open());
        ASSERT_EQ(c.write(kInit), 4);
        ASSERT_EQ(c.write(kReset), 4);
    }
    os::sleepMs(10000);
    Client c;
    ASSERT_TRUE(c.open());
    EXPECT_EQ(versions(c), "604F11705A10");
}

// The executable's arrangement: a real clock, answers that take time complete later, and a
// background thread puts the device back on the bus after the reboot.
TEST(RealTimeUsb, ThrottledWritesTakeTheirTimeAndTheDeviceReturnsByItself) {
    vprinter::RealClock clock;
    Options o = withFault("throttle=40960");
    o.rebootMs = 300;
    vprinter::Printer printer(o, clock);
    vprinter::UsbPrinter usb(printer);
    usb.startRealTimeSync();
    {
        Client c;
        ASSERT_TRUE(c.open());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.write(std::vector<std::uint8_t>(4096, 0)), 4096);
        // 4,096 bytes at 40,960 bytes/s: 100 ms, less the printer clock's millisecond rounding.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
        ASSERT_EQ(c.write(kInit), 4);
        ASSERT_EQ(c.write(kReset), 4);
    }
    EXPECT_FALSE(visible());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(visible());
}

}  // namespace
