#pragma once
// The text of a USB string descriptor, checked before any of its lengths is used: any device
// with the printer's IDs can send any bytes.

#include <cstdint>
#include <span>
#include <string>

namespace usbport {

// `received`: the bytes a GET_DESCRIPTOR(STRING) request brought. True, with `text` set to the
// UTF-8 of its UTF-16LE code units, when it is a string descriptor whose bLength covers its own
// 2-byte header and no more than arrived; false, with `text` untouched, otherwise. A surrogate
// without its partner becomes U+FFFD; an odd last byte is left out.
bool stringDescriptorText(std::span<const std::uint8_t> received, std::string& text);

}  // namespace usbport
