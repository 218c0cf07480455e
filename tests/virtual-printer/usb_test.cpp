// The virtual printer as an unmodified libusb program sees it.
#include <libusb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
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
    bool open() {
        handle_ = libusb_open_device_with_vid_pid(ctx_, vprinter::kVendorId, vprinter::kProductId);
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
            libusb_attach_kernel_driver(handle_, 0);
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
    int read(std::vector<std::uint8_t>& out, unsigned timeoutMs = 1000) {
        out.assign(512, 0);
        int done = 0;
        const int rc = libusb_bulk_transfer(handle_, vprinter::kBulkInEndpoint, out.data(), 512,
                                            &done, timeoutMs);
        out.resize(static_cast<std::size_t>(done));
        return rc == 0 ? done : rc;
    }
    // Writes `stream` in 4,096-byte pieces, the last padded with zeros to the next 64 above it.
    bool writeStream(const std::vector<std::uint8_t>& stream) {
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t n = std::min<std::size_t>(4096, stream.size() - at);
            std::vector<std::uint8_t> chunk(stream.begin() + static_cast<long>(at),
                                            stream.begin() + static_cast<long>(at + n));
            if (n < 4096)
                chunk.resize(64 * (n / 64 + 1), 0);
            if (write(chunk) != static_cast<int>(chunk.size()))
                return false;
        }
        return true;
    }
    libusb_context* context() { return ctx_; }

  private:
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool detached_ = false;
};

[[maybe_unused]] bool visible() {
    Client c;
    libusb_device_handle* h =
        libusb_open_device_with_vid_pid(c.context(), vprinter::kVendorId, vprinter::kProductId);
    if (h)
        libusb_close(h);
    return h != nullptr;
}

const std::vector<std::uint8_t> kVersionRequest = {0x1B, 'V', '#', 0};
const std::vector<std::uint8_t> kReset = {0x1B, 'f', 'r', 0};

class UsbTest : public pvtest::VirtualPrinterTest {};

TEST_F(UsbTest, OpensDetachesClaimsAndAnswersDeviceIdAndVersion) {
    startPrinter();
    Client c;
    ASSERT_TRUE(c.open());
    const auto id = c.deviceId();
    ASSERT_GE(id.size(), 2u);
    EXPECT_EQ(id[0] * 256 + id[1], static_cast<int>(id.size()));
    EXPECT_NE(std::string(id.begin(), id.end()).find("MDL:PV4410S ;"), std::string::npos);
    ASSERT_EQ(c.write(kVersionRequest), 4);
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(c.read(reply), 48);
    EXPECT_EQ(std::string(reply.begin() + 6, reply.begin() + 18), "301B10705A10");
}

}  // namespace
