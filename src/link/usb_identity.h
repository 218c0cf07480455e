#pragma once
// The USB vendor ID and product IDs that every printer link hands to the USB interface library
// when it opens. Set once at start-up, released at shutdown.

#include <cstdint>
#include <memory>

namespace pv::link {

struct UsbIdentity {
    std::uint16_t vendorId = 0;                   // 0 when not set
    std::uint16_t productIdCount = 0;             // entries in productIds
    std::unique_ptr<std::uint16_t[]> productIds;  // null when the count is 0
};

// Stores the vendor ID and a copy of the `count` product IDs (the caller's list is not kept).
// A list held from an earlier call is freed first.
void setUsbIdentity(const std::uint16_t* productIds, std::uint16_t count, std::uint16_t vendorId);

// Zeroes the vendor ID and the count and frees the list; a second call finds nothing to free.
void releaseUsbIdentity();

const UsbIdentity& usbIdentity();

}  // namespace pv::link
