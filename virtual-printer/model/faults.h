#pragma once
// Faults the virtual printer can be told to show, each by name (the executable's --fault option,
// the test fixture's options). Every fault changes what a USB client sees; see faultHelp().

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vprinter {

// How the device-ID answer is spoilt.
enum class DeviceIdFault {
    None,
    NoModel,       // no "MDL:" entry at all
    ModelCase,     // "MDL:pv4410s ;"
    ModelSpacing,  // "MDL:PV4410S;" (no space before the semicolon)
    Empty,         // the control request transfers 0 bytes
};

struct Faults {
    bool absent = false;  // never on the bus
    DeviceIdFault deviceId = DeviceIdFault::None;
    bool noBulkIn = false;  // the printer interface has only its bulk OUT endpoint
    // Write numbers count from 1. "Stream writes" restart at every transfer command; the other
    // counters count every bulk OUT write since the printer was created (see the trace's "write").
    std::uint32_t shortStreamWrite = 0;        // that stream write is accepted only half
    std::uint32_t disconnectAtStream = 0;      // leaves the bus for good during that stream write
    std::uint32_t stallWrite = 0;              // that write is never accepted
    std::uint32_t failWrite = 0;               // that write is refused (endpoint stall)
    std::set<std::string> refusedCommands;     // command names refused (endpoint stall)
    std::uint32_t throttleBytesPerSecond = 0;  // 0 = as fast as the host sends
    std::optional<std::uint32_t> replyLength;  // the version reply cut (< 48) or padded (> 48)
    bool badHeader = false;                    // version reply header 0x23 0x2E 0x01
    bool stallRead = false;                    // bulk IN reads are never answered
    bool noReturn = false;                     // stays off the bus after a reset
    std::string returnMainVersion;             // after a reset, reports this main version instead
    std::string returnTableVersion;            // after a reset, reports this table version instead
    std::string serial;                  // the USB serial number string instead of Options::serial
    std::uint32_t serialUnreadable = 0;  // the first N requests for the serial string stall
    std::optional<std::uint32_t> serialLength;  // the serial descriptor's bLength, as broken
    bool busy = false;                          // another program has claimed the printer interface
    bool printJob = false;                      // the printer driver's node is open: a print job

    bool any() const;
};

// Names of the commands, as used in the trace and by the "refuse" fault.
inline constexpr std::string_view kCommandNames[] = {
    "initialise", "reset", "erase", "transfer", "version-request", "readback-on", "readback-off"};

// A string descriptor holds at most 126 UTF-16 code units.
inline constexpr std::size_t kMaxSerialLength = 126;
// Whether `text` can be a serial number here: UTF-8 of 1..126 UTF-16 code units, its ASCII
// characters A-Z a-z 0-9 . _ - : / and no control characters (no spaces or escapes, so that it
// fits a sysfs attribute and a comma-separated option list as it is).
bool validSerial(std::string_view text);
// `text` (valid UTF-8) as UTF-16 code units; nullopt when it is not valid UTF-8.
std::optional<std::u16string> utf16(std::string_view text);

// Applies one fault given as "name" or "name=value". Returns an error text, empty on success.
std::string applyFault(std::string_view text, Faults& faults);

// One line per fault: "name[=VALUE]  what a USB client sees".
std::string faultHelp();

}  // namespace vprinter
