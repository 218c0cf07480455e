#pragma once
// A capture file of USB traffic as Linux's usbmon shows it: pcap, link type 220 (the memory-
// mapped usbmon header, 64 bytes per URB event, then the data). Wireshark and tshark open it on
// every system. Each transfer is two events, its submission and its completion, as usbmon records
// them. The writer knows nothing of what the bytes mean.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace usbport {

inline constexpr std::uint32_t kUsbmonLinkType = 220;  // LINKTYPE_USB_LINUX_MMAPPED
inline constexpr std::size_t kUsbmonHeaderSize = 64;

// Where on the bus a transfer goes.
struct UsbAddress {
    std::uint16_t bus = 1;
    std::uint8_t device = 1;
};

// One URB event. Control transfers carry their 8-byte setup packet on submission; `data` is what
// the event carries (OUT data on submission, IN data on completion), `length` the URB's length
// (asked for on submission, moved on completion).
struct UrbEvent {
    enum class Kind : std::uint8_t { Submit = 'S', Complete = 'C' };
    enum class Transfer : std::uint8_t { Control = 2, Bulk = 3 };
    std::uint64_t id = 0;  // the same for a submission and its completion
    Kind kind = Kind::Submit;
    Transfer transfer = Transfer::Bulk;
    std::uint8_t endpoint = 0;  // bit 7: IN
    UsbAddress address;
    const std::uint8_t* setup = nullptr;  // 8 bytes, control submissions only
    std::int32_t status = 0;              // 0 or a negative errno; submissions: -EINPROGRESS
    std::uint32_t length = 0;
    std::span<const std::uint8_t> data;
};

class PcapWriter {
  public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates `path` (replacing it) and writes the file header; false, with failure() saying why,
    // when it cannot.
    bool open(const std::string& path);
    // Appends one event, time-stamped now. After a failed write nothing more is written; the
    // first failure is returned once by takeFailure().
    void write(const UrbEvent& event);
    // Why writing stopped, once; empty while all went well.
    std::string takeFailure();
    std::string failure();
    // A fresh URB id.
    std::uint64_t nextId();

  private:
    void fail(const std::string& what);  // under mutex_

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string failure_;
    bool failed_ = false;
    bool told_ = false;
    std::uint64_t ids_ = 0;
};

}  // namespace usbport
