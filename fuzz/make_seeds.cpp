// Writes the seed corpora of the fuzz targets: small packages reshaped from the head and the tail
// of the five firmware images, hand-made packages, the virtual printer's version replies and
// device-ID answers. Usage: fuzz-make-seeds <firmware folder> <corpus folder>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "model/clock.h"
#include "model/identity.h"
#include "model/printer.h"
#include "payload/image_table.h"
#include "payload/package.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSeedRecordBytes = 2048;

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void appendBigEndian32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Closes a run of load records with its sum record and end mark.
Bytes closePackage(Bytes records) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < records.size();) {
        const std::uint32_t length = bigEndian32(&records[at + 5]);
        for (std::size_t i = at + 1; i < at + pv::payload::kLoadHeaderSize + length; ++i)
            sum += records[i];
        at += pv::payload::kLoadHeaderSize + length;
    }
    records.push_back(pv::payload::kSumRecordMarker);
    appendBigEndian32(records, sum);
    records.push_back(pv::payload::kEndMark);
    return records;
}

Bytes record(std::uint32_t address, const Bytes& data) {
    Bytes r = {pv::payload::kLoadRecordMarker};
    appendBigEndian32(r, address);
    appendBigEndian32(r, static_cast<std::uint32_t>(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// Offsets of the load records of a whole package.
std::vector<std::size_t> recordOffsets(const Bytes& package) {
    std::vector<std::size_t> offsets;
    for (std::size_t at = 0; package[at] == pv::payload::kLoadRecordMarker;) {
        offsets.push_back(at);
        at += pv::payload::kLoadHeaderSize + bigEndian32(&package[at + 5]);
    }
    return offsets;
}

// Packages made of the first and of the last records of an image, about 2 KB of records each.
std::vector<std::pair<std::string, Bytes>> reshapedImages(const fs::path& firmwareDir) {
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (const auto& image : pv::payload::kImages) {
        const Bytes package = readFile(firmwareDir / image.fileName);
        if (!pv::payload::checkPackage(package.data(),
                                       static_cast<std::uint32_t>(package.size()))) {
            std::fprintf(stderr, "%s is not a whole package\n", image.fileName);
            std::exit(1);
        }
        const auto offsets = recordOffsets(package);
        const std::size_t recordsEnd = package.size() - pv::payload::kTrailerSize;
        std::size_t headEnd = recordsEnd;
        for (std::size_t offset : offsets)
            if (offset >= kSeedRecordBytes) {
                headEnd = offset;
                break;
            }
        std::size_t tailStart = offsets.back();
        for (auto it = offsets.rbegin();
             it != offsets.rend() && recordsEnd - *it <= kSeedRecordBytes; ++it)
            tailStart = *it;
        const std::string stem = fs::path(image.fileName).stem().string();
        seeds.emplace_back(
            stem + "-head",
            closePackage(Bytes(package.begin(), package.begin() + static_cast<long>(headEnd))));
        seeds.emplace_back(stem + "-tail",
                           closePackage(Bytes(package.begin() + static_cast<long>(tailStart),
                                              package.begin() + static_cast<long>(recordsEnd))));
    }
    return seeds;
}

std::vector<std::pair<std::string, Bytes>> handMadePackages() {
    Bytes mixed = record(0x0C0000, {'3', '0', '1', 'F', '1', '1'});
    for (const Bytes& r : {record(0x917C78, Bytes(16, 0xFF)), record(0x0C0010, Bytes(1, 0x80)),
                           record(0x100000, Bytes(300, 0xA5)), record(0xFFFFFFF8, Bytes(17, 0x01))})
        mixed.insert(mixed.end(), r.begin(), r.end());
    Bytes extraByte = closePackage(record(0x800000, Bytes(16, 0x11)));
    extraByte.push_back(pv::payload::kEndMark);
    Bytes cutShort = closePackage(record(0x800000, Bytes(5, 0x22)));
    cutShort.pop_back();
    Bytes wrongSum = closePackage(record(0x800000, Bytes(16, 0x33)));
    wrongSum[wrongSum.size() - 2] ^= 0x01;
    return {
        {"sum-record-only", closePackage({})},
        {"one-byte-record", closePackage(record(0x0C0000, {0x42}))},
        {"mixed-lengths", closePackage(mixed)},
        {"zero-length-record", closePackage(record(0x0C0000, {}))},
        {"extra-byte-after-end", extraByte},
        {"end-mark-cut-off", cutShort},
        {"wrong-sum", wrongSum},
    };
}

// The package as it goes down the pipe: its last write is filled with zeros up to the next
// multiple of 64 above the tail.
Bytes padded(Bytes package) {
    const std::size_t tail = package.size() % 4096;
    if (tail != 0)
        package.resize(package.size() - tail + 64 * (tail / 64 + 1), 0);
    return package;
}

void writeSeeds(const fs::path& firmwareDir, const fs::path& corpus) {
    auto packages = reshapedImages(firmwareDir);
    for (auto& seed : handMadePackages())
        packages.push_back(std::move(seed));

    std::uint8_t chunking = 0;
    for (const auto& [name, package] : packages) {
        writeFile(corpus / "check_package" / name, package);
        // Stream seeds: largest chunk, chunk seed, then the stream as the printer receives it.
        Bytes stream = {static_cast<std::uint8_t>(chunking * 37), chunking};
        const Bytes sent = padded(package);
        stream.insert(stream.end(), sent.begin(), sent.end());
        writeFile(corpus / "stream_parser" / name, stream);
        ++chunking;
    }
    Bytes dirtyPadding = {255, 1};
    const Bytes sent = padded(closePackage(record(0x800000, Bytes(7, 0x44))));
    dirtyPadding.insert(dirtyPadding.end(), sent.begin(), sent.end());
    dirtyPadding.back() = 0x01;
    writeFile(corpus / "stream_parser" / "nonzero-padding", dirtyPadding);

    // Port seeds: flags, 4-byte little-endian reported count, then the bytes delivered.
    auto portSeed = [](std::uint8_t flags, std::uint32_t count, const Bytes& bytes) {
        Bytes seed = {flags};
        for (int shift = 0; shift < 32; shift += 8)
            seed.push_back(static_cast<std::uint8_t>(count >> shift));
        seed.insert(seed.end(), bytes.begin(), bytes.end());
        return seed;
    };
    auto reply = [](const std::string& mainVersion, const std::string& tableVersion,
                    void (*spoil)(vprinter::Faults&)) {
        vprinter::ManualClock clock;
        vprinter::Options options;
        options.mainVersion = mainVersion;
        options.tableVersion = tableVersion;
        if (spoil != nullptr)
            spoil(options.faults);
        return vprinter::Printer(options, clock).versionReply();
    };
    const fs::path replies = corpus / "version_reply";
    for (const auto& image : pv::payload::kImages)
        if (&image - pv::payload::kImages.data() < 4)
            writeFile(replies / (std::string("reply-") + image.version),
                      portSeed(0, 0, reply(image.version, "705B11", nullptr)));
    const Bytes good = reply("301B10", "705A10", nullptr);
    writeFile(replies / "reply-installed", portSeed(0, 0, good));
    writeFile(
        replies / "bad-header",
        portSeed(0, 0, reply("301B10", "705A10", [](vprinter::Faults& f) { f.badHeader = true; })));
    writeFile(
        replies / "short-47",
        portSeed(0, 0, reply("301B10", "705A10", [](vprinter::Faults& f) { f.replyLength = 47; })));
    Bytes longer = good;
    longer.resize(64, 0x5A);
    writeFile(replies / "longer-64", portSeed(0, 0, longer));
    writeFile(replies / "claims-48-delivers-20",
              portSeed(1, 48, Bytes(good.begin(), good.begin() + 20)));
    writeFile(replies / "claims-huge", portSeed(1, 0xFFFFFFFF, good));

    const fs::path ids = corpus / "check_model";
    using vprinter::DeviceIdFault;
    const Bytes real = vprinter::deviceIdAnswer(DeviceIdFault::None);
    writeFile(ids / "real", portSeed(0, 0, real));
    writeFile(ids / "no-model", portSeed(0, 0, vprinter::deviceIdAnswer(DeviceIdFault::NoModel)));
    writeFile(ids / "model-case",
              portSeed(0, 0, vprinter::deviceIdAnswer(DeviceIdFault::ModelCase)));
    writeFile(ids / "model-spacing",
              portSeed(0, 0, vprinter::deviceIdAnswer(DeviceIdFault::ModelSpacing)));
    writeFile(ids / "empty", portSeed(0, 0, {}));
    writeFile(ids / "real-claims-0", portSeed(1, 0, real));
    writeFile(ids / "real-claims-300", portSeed(1, 300, real));
    writeFile(ids / "real-request-fails", portSeed(2, 0, real));
    const std::string entry = "MDL:PV4410S ;";
    writeFile(ids / "entry-at-0", portSeed(0, 0, Bytes(entry.begin(), entry.end())));
    // 300 bytes with the entry ending exactly at the buffer's end, then one byte further on.
    for (std::size_t at : {std::size_t{243}, std::size_t{244}}) {
        Bytes longId(300, 'x');
        std::copy(entry.begin(), entry.end(), longId.begin() + static_cast<long>(at));
        writeFile(ids / ("long-entry-at-" + std::to_string(at)), portSeed(1, 300, longId));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <firmware folder> <corpus folder>\n", argv[0]);
        return 2;
    }
    writeSeeds(argv[1], argv[2]);
    return 0;
}
