#include "link/printer_link.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/usb_identity.h"
#include "platform/os/clock.h"
#include "platform/os/log.h"
#include "platform/usbport/usbport.h"

namespace pv::link {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint32_t kCommandSize = 4;
constexpr std::uint32_t kAreaCommandPauseMs = 100;

constexpr std::uint32_t kDeviceIdBufferSize = 256;
constexpr char kModelEntry[] = "MDL:PV4410S ;";
constexpr std::uint32_t kModelEntrySize = sizeof kModelEntry - 1;

constexpr std::array<std::uint8_t, 3> kReplyHeader = {0x23, 0x2E, 0x00};
constexpr std::size_t kMainVersionOffset = 6;
constexpr std::size_t kTableVersionOffset = 12;
constexpr std::size_t kVersionSize = 6;
constexpr std::size_t kMainChecksumOffset = 36;
constexpr std::size_t kTableChecksumOffset = 38;

bool releaseHandle(os::Handle& handle) {
    if (handle != os::kNoHandle && os::closeHandle(handle))
        handle = os::kNoHandle;
    return handle == os::kNoHandle;
}

std::uint32_t bigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 8 | bytes[1];
}

void storeVersion(char (&text)[7], const std::uint8_t* bytes) {
    std::memcpy(text, bytes, kVersionSize);
    text[kVersionSize] = '\0';
}

}  // namespace

PrinterLink::~PrinterLink() {
    close();
}

bool PrinterLink::open() {
    if (!close() || bulkOutHandle_ != os::kNoHandle || bulkInHandle_ != os::kNoHandle ||
        controlHandle_ != os::kNoHandle)
        return false;  // a handle that cannot be released must not be overwritten
    const UsbIdentity& identity = usbIdentity();
    if (!usbport::SetVenderID(identity.vendorId))
        return false;
    if (identity.productIdCount > 0)
        usbport::SetProductID(identity.productIds.get(), identity.productIdCount);
    controlHandle_ = usbport::UsbOpenCont(0, 0);
    bulkOutHandle_ = usbport::UsbOpenBulk("PIPE00", 0);
    bulkInHandle_ = usbport::UsbOpenBulk("PIPE01", 0);
    const bool opened = controlHandle_ != os::kNoHandle && bulkOutHandle_ != os::kNoHandle &&
                        bulkInHandle_ != os::kNoHandle;
    os::trace("link open: %s", opened ? "opened" : "not opened");
    return opened;
}

bool PrinterLink::close() {
    releaseHandle(bulkOutHandle_);
    releaseHandle(bulkInHandle_);
    releaseHandle(controlHandle_);
    return true;
}

std::uint32_t PrinterLink::read(void* buffer, std::uint32_t length) {
    return bulkInHandle_ == os::kNoHandle ? 0 : os::readFile(bulkInHandle_, buffer, length);
}

std::uint32_t PrinterLink::write(const void* buffer, std::uint32_t length) {
    return bulkOutHandle_ == os::kNoHandle ? 0 : os::writeFile(bulkOutHandle_, buffer, length);
}

bool PrinterLink::checkModel() {
    if (controlHandle_ == os::kNoHandle)
        return false;
    std::array<std::uint8_t, kDeviceIdBufferSize> deviceId{};
    std::uint32_t returned = 0;
    usbport::UsbDeviceIoControl(controlHandle_, usbport::kGetDeviceId, nullptr, 0, deviceId.data(),
                                kDeviceIdBufferSize, &returned);
    const std::uint32_t length = std::min(returned, kDeviceIdBufferSize);
    for (std::uint32_t offset = 0; offset < length; ++offset) {
        if (offset + kModelEntrySize > kDeviceIdBufferSize)
            break;
        // The entry holds no zero byte, so a zero in the buffer is a mismatch like any other.
        if (std::memcmp(deviceId.data() + offset, kModelEntry, kModelEntrySize) == 0)
            return true;
    }
    return false;
}

bool PrinterLink::identity(usbport::DeviceIdentity& printer) const {
    return controlHandle_ != os::kNoHandle && usbport::UsbGetIdentity(controlHandle_, printer);
}

bool PrinterLink::sendInitialise() {
    return sendCommand('f', 'g', 0x00);
}

bool PrinterLink::sendReset() {
    return sendCommand('f', 'r', 0x00);
}

bool PrinterLink::sendErase(std::uint16_t area) {
    return sendAreaCommand('e', area);
}

bool PrinterLink::sendTransfer(std::uint16_t area) {
    return sendAreaCommand('t', area);
}

bool PrinterLink::sendVersionRequest(std::uint8_t selector) {
    return sendCommand('V', selector, 0x00);
}

bool PrinterLink::setReadBackMode(int mode) {
    return mode == kReadBackModeOn ? sendCommand('S', 0x5A, 0x1E) : sendCommand('S', 0x00, 0x00);
}

bool PrinterLink::readVersionReply(char (&mainVersion)[7], std::uint32_t& mainChecksum,
                                   char (&tableVersion)[7], std::uint32_t& tableChecksum) {
    std::array<std::uint8_t, kVersionReplySize> reply{};
    const std::uint32_t got = read(reply.data(), kVersionReplySize);
    os::trace(
        "version reply: %u of %u bytes, header %02x %02x %02x, main \"%.6s\" %02x%02x, "
        "table \"%.6s\" %02x%02x",
        got, kVersionReplySize, reply[0], reply[1], reply[2],
        reinterpret_cast<const char*>(reply.data() + kMainVersionOffset),
        reply[kMainChecksumOffset], reply[kMainChecksumOffset + 1],
        reinterpret_cast<const char*>(reply.data() + kTableVersionOffset),
        reply[kTableChecksumOffset], reply[kTableChecksumOffset + 1]);
    if (got < kVersionReplySize)
        return false;
    if (!std::equal(kReplyHeader.begin(), kReplyHeader.end(), reply.begin())) {
        mainVersion[0] = '\0';
        tableVersion[0] = '\0';
        mainChecksum = 0;
        tableChecksum = 0;
        return false;
    }
    storeVersion(mainVersion, reply.data() + kMainVersionOffset);
    storeVersion(tableVersion, reply.data() + kTableVersionOffset);
    mainChecksum = bigEndian16(reply.data() + kMainChecksumOffset);
    tableChecksum = bigEndian16(reply.data() + kTableChecksumOffset);
    return true;
}

bool PrinterLink::sendCommand(std::uint8_t letter, std::uint8_t first, std::uint8_t second) {
    const std::array<std::uint8_t, kCommandSize> command = {kEsc, letter, first, second};
    const bool sent = write(command.data(), kCommandSize) == kCommandSize;
    os::trace("command ESC %c %02x %02x: %s", letter, first, second, sent ? "sent" : "not sent");
    return sent;
}

bool PrinterLink::sendAreaCommand(std::uint8_t action, std::uint16_t area) {
    static constexpr std::array<std::uint8_t, 3> kAreaLetters = {'p', 't', 'c'};
    if (area >= kAreaLetters.size())
        return false;
    if (!sendCommand('f', action, kAreaLetters[area]))
        return false;
    os::sleepMs(kAreaCommandPauseMs);
    return true;
}

}  // namespace pv::link
