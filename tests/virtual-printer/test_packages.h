#pragma once
// Small firmware packages for the virtual printer's tests, and the generated images when built.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vptest {

struct Record {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

inline void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// Load records, "S" with the sum of every load-record byte except the "P" markers, "E".
inline std::vector<std::uint8_t> package(const std::vector<Record>& records) {
    std::vector<std::uint8_t> out;
    std::uint32_t sum = 0;
    for (const auto& r : records) {
        out.push_back('P');
        const auto start = out.size();
        putBe32(out, r.address);
        putBe32(out, static_cast<std::uint32_t>(r.data.size()));
        out.insert(out.end(), r.data.begin(), r.data.end());
        for (auto i = start; i < out.size(); ++i)
            sum += out[i];
    }
    out.push_back('S');
    putBe32(out, sum);
    out.push_back('E');
    return out;
}

// A package that installs `version` at `versionAddress`, with `filler` further 16-byte records
// at descending addresses above it. Returns also the 16-bit sum of its data bytes.
inline std::vector<std::uint8_t> image(const std::string& version, std::uint32_t versionAddress,
                                       unsigned filler = 600, std::uint16_t* dataSum = nullptr) {
    std::vector<Record> records;
    records.push_back({versionAddress, {version.begin(), version.end()}});
    for (unsigned i = filler; i > 0; --i) {
        Record r{versionAddress + 0x100 + 16 * i, {}};
        for (unsigned b = 0; b < 16; ++b)
            r.data.push_back(static_cast<std::uint8_t>(i * 7 + b));
        records.push_back(r);
    }
    if (dataSum) {
        unsigned sum = 0;
        for (const auto& r : records)
            for (auto b : r.data)
                sum += b;
        *dataSum = static_cast<std::uint16_t>(sum & 0xFFFF);
    }
    return package(records);
}

// The stream as the updater sends it: 4,096-byte writes, the last one padded with zeros to the
// next multiple of 64 above its length.
inline std::vector<std::vector<std::uint8_t>> chunks(const std::vector<std::uint8_t>& stream) {
    std::vector<std::vector<std::uint8_t>> out;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, stream.size() - at);
        out.emplace_back(stream.begin() + static_cast<long>(at),
                         stream.begin() + static_cast<long>(at + n));
        if (n < 4096)
            out.back().resize(64 * (n / 64 + 1), 0);
    }
    return out;
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The generated firmware package `name` ("main-301F11.pkg"), empty if not built.
inline std::vector<std::uint8_t> firmwareImage(const std::string& name) {
#ifdef PV4410S_FIRMWARE_DIR
    return readFile(std::string(PV4410S_FIRMWARE_DIR) + "/" + name);
#else
    (void)name;
    return {};
#endif
}

}  // namespace vptest
