#include "platform/usbport/pcap_writer.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace usbport {
namespace {

constexpr std::uint32_t kSnapLength = 0x40000;
constexpr std::int32_t kInProgress = -115;  // -EINPROGRESS as Linux numbers it, on every system

// Little-endian fields, whatever the host: usbmon's header is in the capturing host's order, and
// the file header's magic number tells readers which that is.
template <typename T>
void put(std::uint8_t* at, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        at[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
}

}  // namespace

PcapWriter::~PcapWriter() {
    if (file_ != nullptr)
        std::fclose(file_);
}

bool PcapWriter::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        failure_ = "cannot create the capture " + path + ": " + std::strerror(errno);
        failed_ = told_ = true;
        return false;
    }
    std::array<std::uint8_t, 24> header{};
    put<std::uint32_t>(header.data(), 0xa1b2c3d4);  // microsecond time stamps
    put<std::uint16_t>(&header[4], 2);
    put<std::uint16_t>(&header[6], 4);
    put<std::uint32_t>(&header[16], kSnapLength);
    put<std::uint32_t>(&header[20], kUsbmonLinkType);
    if (std::fwrite(header.data(), header.size(), 1, file_) != 1 || std::fflush(file_) != 0) {
        fail("cannot write the capture " + path + ": " + std::strerror(errno));
        told_ = true;
        return false;
    }
    return true;
}

std::uint64_t PcapWriter::nextId() {
    std::lock_guard lock(mutex_);
    return ++ids_;
}

void PcapWriter::write(const UrbEvent& event) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const bool submit = event.kind == UrbEvent::Kind::Submit;
    const auto captured =
        static_cast<std::uint32_t>(std::min<std::size_t>(event.data.size(), kSnapLength - 64));

    std::array<std::uint8_t, 16 + kUsbmonHeaderSize> record{};
    put<std::uint32_t>(record.data(), static_cast<std::uint32_t>(usec / 1'000'000));
    put<std::uint32_t>(&record[4], static_cast<std::uint32_t>(usec % 1'000'000));
    put<std::uint32_t>(&record[8], kUsbmonHeaderSize + captured);
    put<std::uint32_t>(&record[12], kUsbmonHeaderSize + captured);
    std::uint8_t* urb = &record[16];
    put<std::uint64_t>(&urb[0], event.id);
    urb[8] = static_cast<std::uint8_t>(event.kind);
    urb[9] = static_cast<std::uint8_t>(event.transfer);
    urb[10] = event.endpoint;
    urb[11] = event.address.device;
    put<std::uint16_t>(&urb[12], event.address.bus);
    urb[14] = event.setup != nullptr ? 0 : '-';  // setup packet present
    const bool in = (event.endpoint & 0x80) != 0;
    urb[15] = captured > 0 ? 0 : (in ? '<' : '>');  // data present, or its direction
    put<std::int64_t>(&urb[16], usec / 1'000'000);
    put<std::int32_t>(&urb[24], static_cast<std::int32_t>(usec % 1'000'000));
    put<std::int32_t>(&urb[28], submit ? kInProgress : event.status);
    put<std::uint32_t>(&urb[32], event.length);
    put<std::uint32_t>(&urb[36], captured);
    if (event.setup != nullptr)
        std::memcpy(&urb[40], event.setup, 8);

    std::lock_guard lock(mutex_);
    if (file_ == nullptr || failed_)
        return;
    if (std::fwrite(record.data(), record.size(), 1, file_) != 1 ||
        (captured > 0 && std::fwrite(event.data.data(), captured, 1, file_) != 1) ||
        std::fflush(file_) != 0)
        fail("cannot write the capture " + path_ + ": " + std::strerror(errno));
}

void PcapWriter::fail(const std::string& what) {
    failed_ = true;
    failure_ = what;
    std::fclose(file_);
    file_ = nullptr;
}

std::string PcapWriter::takeFailure() {
    std::lock_guard lock(mutex_);
    if (!failed_ || told_)
        return {};
    told_ = true;
    return failure_;
}

std::string PcapWriter::failure() {
    std::lock_guard lock(mutex_);
    return failure_;
}

}  // namespace usbport
