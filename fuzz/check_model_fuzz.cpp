// checkModel over device-ID answers of any content and length, with any reported length (also
// far above the 256-byte buffer), against a plain search for the model entry.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "fuzz_port.h"
#include "link/printer_link.h"

namespace {

constexpr std::size_t kBufferSize = 256;
constexpr std::string_view kModelEntry = "MDL:PV4410S ;";

// The entry must start below the reported length (at most 256) and lie wholly in the buffer.
bool modelExpected(const pv::fuzz::PortAnswer& answer) {
    std::array<char, kBufferSize> buffer{};
    const std::size_t delivered = std::min(buffer.size(), answer.bytes.size());
    std::copy_n(answer.bytes.begin(), delivered, buffer.begin());
    const std::size_t length = std::min<std::size_t>(
        answer.reportedCount.value_or(static_cast<std::uint32_t>(delivered)), kBufferSize);
    if (length == 0)
        return false;
    const std::size_t searched = std::min(kBufferSize, length + kModelEntry.size() - 1);
    return std::string_view(buffer.data(), searched).find(kModelEntry) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t handlesBefore = os::openHandleCount();
    const pv::fuzz::FuzzInput input = pv::fuzz::splitInput(data, size);
    pv::fuzz::FuzzPort port;
    port.deviceId = input.answer;
    port.ioctlResult = !input.requestFails;
    usbport::ScopedPort scoped(port);

    bool found = false;
    {
        pv::link::PrinterLink link;
        if (!link.open())
            pv::fuzz::fail("open through the fuzz port");
        found = link.checkModel();
    }
    if (os::openHandleCount() != handlesBefore)
        pv::fuzz::fail("a handle outlived its link");
    if (port.ioctlOutputSize != kBufferSize)
        pv::fuzz::fail("the device ID is requested into 256 bytes");
    if (found != modelExpected(input.answer))
        pv::fuzz::fail(found ? "model found where it is not" : "model entry missed");
    return 0;
}
