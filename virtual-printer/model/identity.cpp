#include "model/identity.h"

#include <string>

namespace vprinter {

namespace {

std::uint8_t lo(unsigned v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t hi(unsigned v) {
    return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

}  // namespace

std::vector<std::uint8_t> descriptors(const Faults& faults) {
    const std::uint8_t endpoints = faults.noBulkIn ? 1 : 2;
    const unsigned total = 9 + 9 + 7u * endpoints;
    std::vector<std::uint8_t> d = {
        // device: USB 2.0, class from interface, EP0 64 bytes, VID, PID, bcdDevice 1.00,
        // manufacturer, product and serial number strings, one configuration
        18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(kVendorId), hi(kVendorId), lo(kProductId),
        hi(kProductId), 0x00, 0x01, kManufacturerString, kProductString, kSerialString, 1,
        // configuration 1: self-powered, 2 mA
        9, 2, lo(total), hi(total), 1, 1, 0, 0xC0, 1,
        // interface 0, alternate 0, printer class
        9, 4, 0, 0, endpoints, kInterfaceClass, kInterfaceSubclass, kInterfaceProtocol, 0,
        // bulk OUT
        7, 5, kBulkOutEndpoint, 2, lo(kMaxPacket), hi(kMaxPacket), 0};
    if (!faults.noBulkIn)
        for (std::uint8_t b : {std::uint8_t{7}, std::uint8_t{5}, kBulkInEndpoint, std::uint8_t{2},
                               lo(kMaxPacket), hi(kMaxPacket), std::uint8_t{0}})
            d.push_back(b);
    return d;
}

std::optional<std::vector<std::uint8_t>> stringDescriptor(std::uint8_t index,
                                                          const std::string& serial) {
    if (index == 0)
        return std::vector<std::uint8_t>{4, 3, 0x09, 0x04};  // English (US)
    std::u16string text;
    if (index == kManufacturerString)
        text = utf16(kManufacturer).value_or(u"");
    else if (index == kProductString)
        text = utf16(kProduct).value_or(u"");
    else if (index == kSerialString)
        text = utf16(serial).value_or(u"").substr(0, kMaxSerialLength);
    else
        return std::nullopt;
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (const char16_t unit : text) {
        d.push_back(lo(unit));
        d.push_back(hi(unit));
    }
    return d;
}

std::vector<std::uint8_t> deviceIdAnswer(DeviceIdFault fault) {
    std::string model = "MDL:PV4410S ;";
    if (fault == DeviceIdFault::Empty)
        return {};
    if (fault == DeviceIdFault::NoModel)
        model.clear();
    if (fault == DeviceIdFault::ModelCase)
        model = "MDL:pv4410s ;";
    if (fault == DeviceIdFault::ModelSpacing)
        model = "MDL:PV4410S;";
    const std::string text = "MFG:PV;CMD:PVESC;" + model + "CLS:PRINTER;DES:PV4410S;";
    const auto length = static_cast<unsigned>(text.size() + 2);
    std::vector<std::uint8_t> answer = {hi(length), lo(length)};
    answer.insert(answer.end(), text.begin(), text.end());
    return answer;
}

}  // namespace vprinter
