// The serial number's string descriptor as any device may send it: whatever its bLength says,
// the text is read from the bytes that arrived and nowhere else, and a refused descriptor leaves
// the text as it was.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/usbport/libusb/string_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text = "unchanged";
    const bool read = usbport::stringDescriptorText({data, size}, text);
    if (!read && text != "unchanged")
        std::abort();
    // Each UTF-16 unit gives at most 3 bytes of UTF-8 (a pair: 4 for 2 units).
    if (read && (size < 2 || text.size() > 3 * (static_cast<std::size_t>(data[0]) / 2)))
        std::abort();
    return 0;
}
