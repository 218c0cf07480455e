#pragma once
// The record package every firmware image is stored and sent as: load records ("P", 4-byte
// address, 4-byte length N, N data bytes), then one sum record ("S", 4-byte sum) and the end mark
// "E" as the very last byte. Numbers are big-endian. The sum covers every byte of every load
// record except its "P" marker, modulo 2^32.

#include <cstdint>

namespace pv::payload {

inline constexpr std::uint8_t kLoadRecordMarker = 0x50;  // "P"
inline constexpr std::uint8_t kSumRecordMarker = 0x53;   // "S"
inline constexpr std::uint8_t kEndMark = 0x45;           // "E"

// Bytes of a load record before its data: marker, address, length.
inline constexpr std::uint32_t kLoadHeaderSize = 9;
// Bytes of the closing sum record and end mark.
inline constexpr std::uint32_t kTrailerSize = 6;

// True when the `size` bytes at `data` form one whole, correctly summed package and nothing
// follows its end mark. Reads only the given bytes, never writes, never allocates. A null
// pointer or a size of 0 is refused, as is a load record of length 0.
bool checkPackage(const std::uint8_t* data, std::uint32_t size);

}  // namespace pv::payload
