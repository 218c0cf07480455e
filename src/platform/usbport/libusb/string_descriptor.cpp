#include "platform/usbport/libusb/string_descriptor.h"

namespace usbport {

namespace {

constexpr std::uint8_t kStringDescriptorType = 3;

// Appends code point `c` to `out` as UTF-8.
void appendUtf8(std::string& out, char32_t c) {
    auto byte = [&](char32_t v) { out += static_cast<char>(static_cast<unsigned char>(v)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | c >> 6);
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | c >> 12);
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | c >> 18);
        byte(0x80 | (c >> 12 & 0x3F));
        byte(0x80 | (c >> 6 & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

// The UTF-16LE text of a string descriptor (after its 2-byte header) as UTF-8; a surrogate
// without its partner becomes U+FFFD.
std::string utf8FromUtf16(const unsigned char* units, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<char16_t>(units[2 * i] | units[2 * i + 1] << 8);
        char32_t c = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const auto low = static_cast<char16_t>(units[2 * i + 2] | units[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace

bool stringDescriptorText(std::span<const std::uint8_t> received, std::string& text) {
    if (received.size() < 2 || received[1] != kStringDescriptorType || received[0] < 2 ||
        received[0] > received.size())
        return false;
    text = utf8FromUtf16(received.data() + 2, static_cast<std::size_t>(received[0] - 2) / 2);
    return true;
}

}  // namespace usbport
