#include "model/faults.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vprinter {

namespace {

struct FaultInfo {
    std::string_view name;
    std::string_view argument;  // empty: the fault takes no value
    std::string_view help;
};

constexpr FaultInfo kFaults[] = {
    {"absent", "", "no printer on the bus"},
    {"id-no-model", "", "device ID without the model entry"},
    {"id-model-case", "", "device ID with the model entry in lower case"},
    {"id-model-spacing", "", "device ID with the model entry lacking the space before ';'"},
    {"id-empty", "", "device-ID request answers 0 bytes"},
    {"no-bulk-in", "", "printer interface without its bulk IN endpoint"},
    {"short-write", "N", "the Nth write of every image stream is accepted only half"},
    {"disconnect-at", "N", "leaves the bus for good during the Nth write of an image stream"},
    {"stall-write", "N", "the Nth bulk OUT write is never accepted (host times out)"},
    {"fail-write", "N", "the Nth bulk OUT write is refused with an endpoint stall"},
    {"refuse", "COMMAND",
     "refuses COMMAND with an endpoint stall (repeatable); COMMAND is one of\n"
     "initialise, reset, erase, transfer, version-request, readback-on, readback-off"},
    {"throttle", "BYTES_PER_S", "bulk OUT accepts at most that many bytes per second"},
    {"short-reply", "N", "version reply cut to N bytes (0..47)"},
    {"long-reply", "N",
     "version reply of N bytes (49..65535): a 48-byte read ends in an overflow (babble)"},
    {"bad-header", "", "version reply header 0x23 0x2E 0x01 instead of 0x23 0x2E 0x00"},
    {"stall-read", "", "bulk IN reads are never answered (host times out)"},
    {"no-return", "", "never returns to the bus after a reset"},
    {"return-version", "MAIN[:TABLE]",
     "after a reset, reports these versions instead of the ones installed"},
    {"serial", "TEXT",
     "USB serial number TEXT (UTF-8, 1..126 UTF-16 units; its ASCII A-Z a-z 0-9 . _ - :\n"
     "/); one that does not begin with VIRTUAL- stands for a real printer"},
    {"serial-unreadable", "N", "the first N requests for the serial number string stall"},
    {"serial-length", "N",
     "the serial number's string descriptor says its length is N bytes (0..255), whatever\n"
     "it holds: a broken descriptor"},
    {"busy", "",
     "another program has claimed the printer interface: the kernel names its driver\n"
     "usbfs and claiming answers EBUSY"},
    {"print-job", "",
     "a print job goes through the kernel's printer driver: its device node /dev/usb/lp0 is\n"
     "held open by the virtual printer"},
};

bool parseNumber(std::string_view text, std::uint32_t& out) {
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool isVersionCode(std::string_view s) {
    return s.size() == 6;
}

std::string replyLength(std::string_view name, std::optional<std::uint32_t> n, Faults& f) {
    const bool isShort = name == "short-reply";
    if (!n || (isShort ? *n >= 48 : *n <= 48 || *n > 65535))
        return isShort ? "fault 'short-reply' needs a length from 0 to 47"
                       : "fault 'long-reply' needs a length from 49 to 65535";
    f.replyLength = *n;
    return {};
}

std::string serialLength(std::string_view value, Faults& f) {
    std::uint32_t n = 0;
    if (!parseNumber(value, n) || n > 255)
        return "fault 'serial-length' needs a length from 0 to 255";
    f.serialLength = n;
    return {};
}

std::string applyValue(std::string_view name, std::string_view value, Faults& f) {
    std::uint32_t n = 0;
    const bool numeric = parseNumber(value, n);
    auto needPositive = [&](std::uint32_t& field) -> std::string {
        if (!numeric || n == 0)
            return "fault '" + std::string(name) + "' needs a number >= 1";
        field = n;
        return {};
    };
    if (name == "short-write")
        return needPositive(f.shortStreamWrite);
    if (name == "disconnect-at")
        return needPositive(f.disconnectAtStream);
    if (name == "stall-write")
        return needPositive(f.stallWrite);
    if (name == "fail-write")
        return needPositive(f.failWrite);
    if (name == "serial-unreadable")
        return needPositive(f.serialUnreadable);
    if (name == "throttle")
        return needPositive(f.throttleBytesPerSecond);
    if (name == "serial-length")
        return serialLength(value, f);
    if (name == "short-reply" || name == "long-reply")
        return replyLength(name, numeric ? std::optional<std::uint32_t>(n) : std::nullopt, f);
    if (name == "serial") {
        if (!validSerial(value))
            return "fault 'serial' needs 1 to 126 UTF-16 units, its ASCII of A-Z a-z 0-9 . _ - : /";
        f.serial = std::string(value);
        return {};
    }
    if (name == "refuse") {
        if (std::find(std::begin(kCommandNames), std::end(kCommandNames), value) ==
            std::end(kCommandNames))
            return "fault 'refuse' needs a command name, not '" + std::string(value) + "'";
        f.refusedCommands.insert(std::string(value));
        return {};
    }
    // return-version=MAIN[:TABLE]
    const auto colon = value.find(':');
    const auto main = value.substr(0, colon);
    const auto table =
        colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
    if (!isVersionCode(main) || (colon != std::string_view::npos && !isVersionCode(table)))
        return "fault 'return-version' needs six-character version codes";
    f.returnMainVersion = std::string(main);
    f.returnTableVersion = std::string(table);
    return {};
}

void applyFlag(std::string_view name, Faults& f) {
    if (name == "absent")
        f.absent = true;
    if (name == "id-no-model")
        f.deviceId = DeviceIdFault::NoModel;
    if (name == "id-model-case")
        f.deviceId = DeviceIdFault::ModelCase;
    if (name == "id-model-spacing")
        f.deviceId = DeviceIdFault::ModelSpacing;
    if (name == "id-empty")
        f.deviceId = DeviceIdFault::Empty;
    if (name == "no-bulk-in")
        f.noBulkIn = true;
    if (name == "bad-header")
        f.badHeader = true;
    if (name == "stall-read")
        f.stallRead = true;
    if (name == "no-return")
        f.noReturn = true;
    if (name == "busy")
        f.busy = true;
    if (name == "print-job")
        f.printJob = true;
}

}  // namespace

namespace {

// The code point of the UTF-8 sequence at the start of `text` and its length; 0 when it is not a
// valid one (cut, overlong, beyond Unicode, a surrogate).
std::size_t decodeUtf8(std::string_view text, char32_t& c) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80       ? 1
                               : lead >> 5 == 6  ? 2
                               : lead >> 4 == 14 ? 3
                               : lead >> 3 == 30 ? 4
                                                 : 0;
    if (length == 0 || length > text.size())
        return 0;
    c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[k]);
        if (next >> 6 != 2)
            return 0;
        c = c << 6 | (next & 0x3Fu);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::optional<std::u16string> utf16(std::string_view text) {
    std::u16string units;
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = decodeUtf8(text.substr(i), c);
        if (length == 0)
            return std::nullopt;
        if (c >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        i += length;
    }
    return units;
}

bool validSerial(std::string_view text) {
    constexpr std::string_view kPunctuation = "._-:/";
    const auto units = utf16(text);
    return units && !units->empty() && units->size() <= kMaxSerialLength &&
           std::all_of(units->begin(), units->end(), [&](char16_t c) {
               if (c >= 0x80)
                   return c >= 0xA0;  // no C1 control characters
               return std::isalnum(c) != 0 ||
                      kPunctuation.find(static_cast<char>(c)) != std::string_view::npos;
           });
}

bool Faults::any() const {
    return absent || deviceId != DeviceIdFault::None || noBulkIn || shortStreamWrite ||
           disconnectAtStream || stallWrite || failWrite || !refusedCommands.empty() ||
           throttleBytesPerSecond || replyLength || badHeader || stallRead || noReturn ||
           !returnMainVersion.empty() || !returnTableVersion.empty() || !serial.empty() ||
           serialUnreadable || serialLength || busy || printJob;
}

std::string applyFault(std::string_view text, Faults& faults) {
    const auto eq = text.find('=');
    const auto name = text.substr(0, eq);
    const auto* info = std::find_if(std::begin(kFaults), std::end(kFaults),
                                    [&](const FaultInfo& i) { return i.name == name; });
    if (info == std::end(kFaults))
        return "unknown fault '" + std::string(name) + "'";
    const bool hasValue = eq != std::string_view::npos;
    if (info->argument.empty()) {
        if (hasValue)
            return "fault '" + std::string(name) + "' takes no value";
        applyFlag(name, faults);
        return {};
    }
    if (!hasValue)
        return "fault '" + std::string(name) + "' needs a value: " + std::string(name) + "=" +
               std::string(info->argument);
    return applyValue(name, text.substr(eq + 1), faults);
}

std::string faultHelp() {
    constexpr std::size_t kColumn = 32;
    std::string out;
    for (const auto& i : kFaults) {
        std::string line = "    " + std::string(i.name);
        if (!i.argument.empty())
            line += "=" + std::string(i.argument);
        line.resize(std::max(line.size() + 2, kColumn), ' ');
        for (char c : i.help)
            line += c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, c);
        out += line + "\n";
    }
    return out;
}

}  // namespace vprinter
