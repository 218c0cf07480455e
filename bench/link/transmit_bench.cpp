// Streaming the table image to the virtual printer: transmitImage through the libusb port against
// a bare libusb bulk-transfer loop writing the same chunks to the same device. Prints the ratio of
// the two medians of the repetitions at the end (target: at most 1.10).
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "link/printer_link.h"
#include "link/transmit.h"
#include "link/usb_identity.h"
#include "platform/usbport/libusb/libusb_port.h"
#include "support/virtual_printer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVendorId = 0x7A3C;
constexpr std::uint16_t kProductIds[] = {0x0512};
constexpr std::uint8_t kBulkOut = 0x01;
constexpr std::uint32_t kImageSize = 1'238'348;
constexpr std::uint32_t kEraseWaitMs = 30'000;

const Bytes& tableImage() {
    static const Bytes image = [] {
        std::ifstream in(PV4410S_FIRMWARE_DIR "/table-705B11.pkg", std::ios::binary);
        Bytes bytes(std::istreambuf_iterator<char>(in), {});
        if (bytes.empty()) {  // no generated images: any buffer of the same size will do
            bytes.resize(kImageSize);
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
        }
        return bytes;
    }();
    return image;
}

// --- Through the printer link ----------------------------------------------------------------

void TransmitImage(benchmark::State& state) {
    const Bytes& image = tableImage();
    pv::link::PrinterLink link;
    if (!link.open()) {
        state.SkipWithError("cannot open the printer link");
        return;
    }
    for ([[maybe_unused]] auto _ : state) {
        state.PauseTiming();
        link.sendErase(pv::link::kTableDataArea);
        os::sleepMs(kEraseWaitMs);
        link.sendTransfer(pv::link::kTableDataArea);
        state.ResumeTiming();
        std::int32_t code = -1;
        pv::link::transmitImage(link, image.data(), static_cast<std::uint32_t>(image.size()),
                                60'000, nullptr, 0, 1, &code);
        if (code != pv::link::kTransmitOk)
            state.SkipWithError("transmission failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}

// --- Bare libusb -----------------------------------------------------------------------------

class BareDevice {
  public:
    BareDevice() {
        if (libusb_init(&context_) != 0)
            return;
        handle_ = libusb_open_device_with_vid_pid(context_, kVendorId, kProductIds[0]);
        if (handle_ == nullptr)
            return;
        detached_ = libusb_kernel_driver_active(handle_, 0) == 1 &&
                    libusb_detach_kernel_driver(handle_, 0) == 0;
        claimed_ = libusb_claim_interface(handle_, 0) == 0;
    }
    ~BareDevice() {
        if (claimed_)
            libusb_release_interface(handle_, 0);
        if (detached_)
            libusb_attach_kernel_driver(handle_, 0);
        if (handle_ != nullptr)
            libusb_close(handle_);
        if (context_ != nullptr)
            libusb_exit(context_);
    }
    BareDevice(const BareDevice&) = delete;
    BareDevice& operator=(const BareDevice&) = delete;

    bool ready() const { return claimed_; }

    bool write(const std::uint8_t* data, std::uint32_t length) {
        int moved = 0;
        libusb_bulk_transfer(handle_, kBulkOut, const_cast<std::uint8_t*>(data),
                             static_cast<int>(length), &moved, usbport::Timeouts{}.bulkOutMs);
        return moved == static_cast<int>(length);
    }

    bool command(std::uint8_t letter, std::uint8_t first, std::uint8_t second) {
        const std::array<std::uint8_t, 4> frame = {0x1B, letter, first, second};
        return write(frame.data(), 4);
    }

  private:
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool detached_ = false;
    bool claimed_ = false;
};

void BareLibusbLoop(benchmark::State& state) {
    const Bytes& image = tableImage();
    BareDevice device;
    if (!device.ready()) {
        state.SkipWithError("cannot open the device");
        return;
    }
    const auto length = static_cast<std::uint32_t>(image.size());
    std::array<std::uint8_t, pv::link::kChunkSize> staging{};
    for ([[maybe_unused]] auto _ : state) {
        state.PauseTiming();
        device.command('f', 'e', 't');
        os::sleepMs(kEraseWaitMs);
        device.command('f', 't', 't');
        state.ResumeTiming();
        bool ok = true;
        std::uint32_t at = 0;
        for (; ok && length - at >= pv::link::kChunkSize; at += pv::link::kChunkSize) {
            std::memcpy(staging.data(), image.data() + at, pv::link::kChunkSize);
            ok = device.write(staging.data(), pv::link::kChunkSize);
        }
        if (ok && at < length) {
            staging.fill(0);
            std::memcpy(staging.data(), image.data() + at, length - at);
            ok = device.write(staging.data(), pv::link::paddedTailLength(length - at));
        }
        if (!ok)
            state.SkipWithError("bulk transfer failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}

BENCHMARK(TransmitImage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);
BENCHMARK(BareLibusbLoop)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);

// Prints as usual and keeps the median real time of each benchmark's repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    MedianReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    double median(const std::string& name) const {
        const auto found = medians.find(name);
        return found == medians.end() ? 0 : found->second;
    }

  private:
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    pvtest::requireUmockdevPreload(argc, argv);
    // The two loops take turns, so that a busy spell of the machine does not fall on one alone.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    pv::link::setUsbIdentity(kProductIds, 1, kVendorId);
    int status = 0;
    {
        vprinter::Options options;
        pvtest::VirtualPrinter printer(options);
        MedianReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        const double ours = reporter.median("TransmitImage");
        const double bare = reporter.median("BareLibusbLoop");
        if (ours > 0 && bare > 0) {
            const double ratio = ours / bare;
            std::printf("transmitImage / bare libusb loop (medians): %.3f (target <= 1.10)\n",
                        ratio);
            status = ratio <= 1.10 ? 0 : 2;
        }
    }
    pv::link::releaseUsbIdentity();
    benchmark::Shutdown();
    return status;
}
