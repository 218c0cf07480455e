#pragma once
// Streaming one firmware image to the printer over the bulk OUT pipe of an open link.

#include <cstdint>

#include "link/printer_link.h"
#include "link/transmit_progress.h"
#include "platform/os/clock.h"

namespace pv::link {

// Size of every write of an image, and of the one staging buffer.
inline constexpr std::uint32_t kChunkSize = 4096;

// Result codes of transmitImage.
inline constexpr std::int32_t kTransmitOk = 0;
inline constexpr std::int32_t kTransmitTimedOut = 2;
inline constexpr std::int32_t kTransmitShortWrite = 101;

// Bytes written for a tail of `tail` bytes (1 to 4,095): the tail and zero bytes up to the next
// multiple of 64 above it.
constexpr std::uint32_t paddedTailLength(std::uint32_t tail) {
    return 64 * (tail / 64 + 1);
}

// Writes `data` in 4,096-byte chunks, then the padded tail. After each full chunk the time since
// the call is compared with `timeLimitMs` (the tail is never timed); after each write the
// progress position becomes the percentage of the download's scale, (now - progressStart) /
// msPerPercent, while that is below 100. Nothing is allocated while streaming.
// Returns true and code kTransmitOk when everything went out; false with kTransmitShortWrite
// when a write moved fewer bytes than asked, kTransmitTimedOut when the limit was exceeded. Once
// begun, an image is never cut short on request: a printer left with half an image has no
// firmware to start.
// `outCode` and `progress` may be null.
bool transmitImage(PrinterLink& link, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t timeLimitMs, TransmitProgress* progress, os::Tick progressStart,
                   std::uint32_t msPerPercent, std::int32_t* outCode);

}  // namespace pv::link
