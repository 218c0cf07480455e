#pragma once
// One flash area of the printer: a sparse byte memory addressed like the load records of a
// package. Bytes never written since the last erase read as 0xFF.

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vprinter {

class FlashMemory {
  public:
    void erase();
    void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::uint8_t read(std::uint32_t address) const;
    // `count` bytes from `address` as text (unwritten bytes are 0xFF).
    std::string readText(std::uint32_t address, std::size_t count) const;
    // 16-bit sum of every byte written (the checksum the printer reports for the area).
    std::uint16_t checksum() const { return static_cast<std::uint16_t>(sum_ & 0xFFFF); }
    std::uint64_t bytesWritten() const { return written_; }

    // Every written byte as runs: 4-byte big-endian address, 4-byte big-endian length, the bytes.
    void save(std::string& out) const;
    // Erases the memory and writes the runs of save() back; false (erased) when `in` is cut.
    bool load(std::string_view in);

  private:
    static constexpr std::uint32_t kPageSize = 4096;
    struct Page {
        std::array<std::uint8_t, kPageSize> data{};
        std::bitset<kPageSize> used;
    };
    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
    std::uint64_t sum_ = 0;
    std::uint64_t written_ = 0;
};

// Reads a package as it streams in, one chunk at a time: "P" + 4-byte big-endian address +
// 4-byte big-endian length N (>= 1) + N data bytes, repeated; then "S" + 4-byte big-endian sum of
// every load-record byte except the "P" markers; then "E". Zero bytes after the "E" are padding.
class PackageParser {
  public:
    enum class State { Marker, Address, Length, Data, Sum, End, Done, Failed };
    using Loader = void (*)(void* context, std::uint32_t address,
                            std::span<const std::uint8_t> bytes);

    // Feeds the next chunk; data bytes of load records go to loader(context, address, bytes).
    void feed(std::span<const std::uint8_t> chunk, Loader loader, void* context);

    State state() const { return state_; }
    bool done() const { return state_ == State::Done; }
    bool failed() const { return state_ == State::Failed; }
    // The end of the package was reached (whether or not it was whole and correctly summed).
    bool ended() const { return ended_; }
    const std::string& failure() const { return failure_; }
    std::uint64_t packageBytes() const { return packageBytes_; }  // up to and including "E"
    std::uint64_t paddingBytes() const { return paddingBytes_; }
    std::uint64_t records() const { return records_; }
    std::uint32_t runningSum() const { return sum_; }
    std::uint32_t storedSum() const { return stored_; }

  private:
    void fail(std::string why);
    void byte(std::uint8_t b);

    State state_ = State::Marker;
    bool ended_ = false;
    std::string failure_;
    std::uint32_t field_ = 0;
    int fieldBytes_ = 0;
    std::uint32_t address_ = 0;
    std::uint32_t remaining_ = 0;
    std::uint32_t sum_ = 0;
    std::uint32_t stored_ = 0;
    std::uint64_t packageBytes_ = 0;
    std::uint64_t paddingBytes_ = 0;
    std::uint64_t records_ = 0;
};

}  // namespace vprinter
