#pragma once
// Builds small firmware packages for tests: load records, then the sum record and end mark with
// the correct sum unless a test overrides it.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace pv::payload::test {

using Bytes = std::vector<std::uint8_t>;

class PackageBuilder {
  public:
    PackageBuilder& record(std::uint32_t address, const Bytes& data) {
        return recordWithLength(address, static_cast<std::uint32_t>(data.size()), data);
    }

    // A record whose length field says `length`, whatever data follows.
    PackageBuilder& recordWithLength(std::uint32_t address, std::uint32_t length,
                                     const Bytes& data) {
        bytes_.push_back('P');
        put32(address);
        put32(length);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        for (std::size_t i = recordStart_ + 1; i < bytes_.size(); ++i)
            sum_ += bytes_[i];
        recordStart_ = bytes_.size();
        return *this;
    }

    std::uint32_t sum() const { return sum_; }

    Bytes finish() { return finishWithSum(sum_); }

    Bytes finishWithSum(std::uint32_t storedSum) {
        Bytes out = bytes_;
        out.push_back('S');
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(storedSum >> shift));
        out.push_back('E');
        return out;
    }

  private:
    void put32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }

    Bytes bytes_;
    std::size_t recordStart_ = 0;
    std::uint32_t sum_ = 0;
};

}  // namespace pv::payload::test
