#pragma once
// How the PV4410S presents itself on USB: descriptors, string descriptors and the IEEE 1284
// device ID answered to the printer-class GET_DEVICE_ID request.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/faults.h"

namespace vprinter {

inline constexpr std::uint16_t kVendorId = 0x7A3C;
inline constexpr std::uint16_t kProductId = 0x0512;
inline constexpr std::uint8_t kInterfaceClass = 7;  // printer
inline constexpr std::uint8_t kInterfaceSubclass = 1;
inline constexpr std::uint8_t kInterfaceProtocol = 2;  // bidirectional
inline constexpr std::uint8_t kBulkOutEndpoint = 0x01;
inline constexpr std::uint8_t kBulkInEndpoint = 0x82;
inline constexpr std::uint16_t kMaxPacket = 512;  // high speed

// The 18-byte device descriptor followed by the whole configuration (as sysfs "descriptors").
std::vector<std::uint8_t> descriptors(const Faults& faults);

// The string descriptors' indices in the device descriptor.
inline constexpr std::uint8_t kManufacturerString = 1;
inline constexpr std::uint8_t kProductString = 2;
inline constexpr std::uint8_t kSerialString = 3;
inline constexpr char kManufacturer[] = "PV";
inline constexpr char kProduct[] = "PV4410S";

// String descriptor `index` (0 = language list, US English only; the others in UTF-16LE);
// nullopt for an index the device does not have.
std::optional<std::vector<std::uint8_t>> stringDescriptor(std::uint8_t index,
                                                          const std::string& serial);

// The GET_DEVICE_ID answer: 2-byte big-endian length (counting itself) and the ID text, spoilt
// as the fault says; empty for DeviceIdFault::Empty.
std::vector<std::uint8_t> deviceIdAnswer(DeviceIdFault fault);

}  // namespace vprinter
