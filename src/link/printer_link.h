#pragma once
// One connection to the printer: its control channel and its two bulk pipes, opened through the
// USB interface library with the process's USB identity, and the printer's command set on top.
// Every command is one 4-byte write (ESC, a letter, two parameter bytes) and counts as sent only
// when all four bytes went out. Nothing here throws or shows a message; failures are results.

#include <cstdint>

#include "platform/os/handles.h"
#include "platform/usbport/usbport.h"

namespace pv::link {

// Erase and transfer areas.
inline constexpr std::uint16_t kMainFirmwareArea = 0;
inline constexpr std::uint16_t kTableDataArea = 1;
inline constexpr std::uint16_t kThirdArea = 2;

// The selector of the version request, and the read-back mode that switches the mode on.
inline constexpr std::uint8_t kVersionSelector = '#';
inline constexpr int kReadBackModeOn = 3;

// Size of the printer's version reply.
inline constexpr std::uint32_t kVersionReplySize = 48;

class PrinterLink {
  public:
    PrinterLink() = default;
    // Closes whatever is open.
    ~PrinterLink();
    PrinterLink(const PrinterLink&) = delete;
    PrinterLink& operator=(const PrinterLink&) = delete;

    // Opens the control channel and both pipes; true only if all three are open. Handles that
    // opened stay in the link until close() even when the open as a whole failed. A link that
    // still holds handles is closed first; if one of them cannot be released the open fails.
    bool open();
    // Releases every open handle; one whose release fails keeps its value. Always true.
    bool close();

    // One synchronous transfer on the bulk IN / bulk OUT pipe; the byte count moved, 0 when the
    // pipe is not open or the transfer failed. No retry, no loop over partial transfers.
    std::uint32_t read(void* buffer, std::uint32_t length);
    std::uint32_t write(const void* buffer, std::uint32_t length);

    // True if the printer's device ID holds the model entry "MDL:PV4410S ;".
    bool checkModel();

    bool sendInitialise();
    bool sendReset();
    // Area 0, 1 or 2; any other is refused without writing. A sent command is followed by a
    // 100 ms pause.
    bool sendErase(std::uint16_t area);
    bool sendTransfer(std::uint16_t area);
    bool sendVersionRequest(std::uint8_t selector);
    // Mode kReadBackModeOn switches the read-back mode on, every other mode switches it off.
    bool setReadBackMode(int mode);

    // Reads one 48-byte version reply. On success the six-character versions and the 16-bit
    // checksums are stored (each version text is zero-terminated). A short read leaves the
    // outputs as they were; a reply with a wrong header empties both texts and zeroes both
    // checksums. True only for a complete, well-formed reply.
    bool readVersionReply(char (&mainVersion)[7], std::uint32_t& mainChecksum,
                          char (&tableVersion)[7], std::uint32_t& tableChecksum);

    // The serial number and port path of the printer the open link reaches; false when unknown.
    bool identity(usbport::DeviceIdentity& printer) const;

    os::Handle bulkOutHandle() const { return bulkOutHandle_; }
    os::Handle bulkInHandle() const { return bulkInHandle_; }
    os::Handle controlHandle() const { return controlHandle_; }

  private:
    bool sendCommand(std::uint8_t letter, std::uint8_t first, std::uint8_t second);
    bool sendAreaCommand(std::uint8_t action, std::uint16_t area);

    os::Handle bulkOutHandle_ = os::kNoHandle;
    os::Handle bulkInHandle_ = os::kNoHandle;
    os::Handle controlHandle_ = os::kNoHandle;
};

}  // namespace pv::link
