// Makes the five stand-in firmware packages that the program embeds when no images from the
// printer's maker are supplied, or checks a folder of supplied packages.
//
//   firmware-gen OUTPUT-FOLDER            write the five packages
//   firmware-gen --verify FOLDER          check sizes, stored sums and records of the five files
//
// The packages are the same on every run and every machine: all randomness comes from a fixed
// seed through a generator of our own, with no floating point. Each image has the exact size and
// stored sum of the image table, and load records shaped like the maker's: main images carry
// 1-16 data bytes per record (most 16) in address sections that are not in ascending order;
// the table image carries 5-16 bytes per record at ascending addresses. Every image holds its
// six-character version code as the first data bytes at the start of its area.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "payload/image_table.h"
#include "payload/package.h"

namespace {

using pv::payload::ImageInfo;
using pv::payload::kImages;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFullRecord = 16;  // data bytes of most records
constexpr std::uint32_t kVersionLength = 6;

// splitmix64: small, fast and fully specified, so the output never depends on the library.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // A number in 0..n-1 (n > 0).
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }

  private:
    std::uint64_t state_;
};

struct Record {
    std::uint32_t address;
    std::uint32_t length;
};

// How one image is laid out: its record count, its seed and whether it is the table image.
struct Recipe {
    std::size_t image;
    std::uint32_t recordCount;
    std::uint64_t seed;
};

constexpr Recipe kRecipes[] = {
    {0, 19'525, 0x3011'F11A}, {1, 19'588, 0x402B'11B4}, {2, 19'641, 0x503A'11C7},
    {3, 19'602, 0x604F'11D2}, {4, 49'536, 0x705B'11E9},
};

bool isTable(std::size_t image) {
    return image == pv::payload::kTableImage;
}

// Takes `shortfall` data bytes off records (never the first record of `order`, which carries the
// version code), leaving each at least `minLength` bytes.
void shortenRecords(std::vector<Record*>& order, std::uint32_t shortfall, std::uint32_t minLength,
                    Random& random) {
    const std::uint32_t maxCut = kFullRecord - minLength;
    const auto candidates = static_cast<std::uint32_t>(order.size() - 1);
    while (shortfall > 0) {
        Record& record = *order[1 + random.below(candidates)];
        if (record.length != kFullRecord)
            continue;
        const std::uint32_t cut = std::min(shortfall, 1 + random.below(maxCut));
        record.length -= cut;
        shortfall -= cut;
    }
}

// Main image: the code and data sections of a program, each a run of consecutive 16-byte slots,
// spread over the main area and written in shuffled section order. The first section starts
// with the version code; a last short record sits at the area's last address.
std::vector<Record> mainLayout(std::uint32_t recordCount, std::uint32_t shortfall, Random& random) {
    constexpr std::uint32_t kSections = 23;
    constexpr std::uint32_t kTailLength = 8;
    const std::uint32_t slots =
        (pv::payload::kMainAreaLastAddress - kFullRecord - pv::payload::kMainAreaStart) /
            kFullRecord +
        1;

    std::uint32_t weights[kSections];
    std::uint32_t weightSum = 0;
    for (auto& weight : weights)
        weightSum += weight = 50 + random.below(100);

    std::vector<std::vector<Record>> sections(kSections);
    const std::uint32_t sectionRecords = recordCount - 1;  // one record is the tail
    std::uint32_t placed = 0;
    for (std::uint32_t s = 0; s < kSections; ++s) {
        const std::uint32_t count = s + 1 == kSections
                                        ? sectionRecords - placed
                                        : static_cast<std::uint32_t>(std::uint64_t{sectionRecords} *
                                                                     weights[s] / weightSum);
        placed += count;
        const std::uint32_t regionStart = slots / kSections * s;
        const std::uint32_t regionSlots = slots / kSections;
        const std::uint32_t startSlot =
            s == 0 ? 0 : regionStart + random.below(regionSlots - count);
        for (std::uint32_t k = 0; k < count; ++k)
            sections[s].push_back(
                {pv::payload::kMainAreaStart + (startSlot + k) * kFullRecord, kFullRecord});
    }
    sections.push_back({{pv::payload::kMainAreaLastAddress, kTailLength}});

    std::vector<Record*> order;
    for (auto& section : sections)
        for (auto& record : section)
            order.push_back(&record);
    shortenRecords(order, shortfall - kTailLength, 1, random);

    // The sections are written in shuffled order, and never all ascending.
    for (std::size_t i = sections.size() - 1; i > 0; --i)
        std::swap(sections[i], sections[random.below(static_cast<std::uint32_t>(i + 1))]);
    if (sections.front().front().address < sections[1].front().address)
        std::swap(sections[0], sections[1]);

    std::vector<Record> records;
    for (const auto& section : sections)
        records.insert(records.end(), section.begin(), section.end());
    return records;
}

// Table image: ascending records in most of the 16-byte slots of the table area, from its first
// slot (the version code) to its last.
std::vector<Record> tableLayout(std::uint32_t recordCount, std::uint32_t shortfall,
                                Random& random) {
    const std::uint32_t slots =
        (pv::payload::kTableAreaLastAddress - pv::payload::kTableAreaStart) / kFullRecord + 1;
    std::vector<Record> records;
    records.reserve(recordCount);
    // Selection sampling: the first and last slot always, recordCount - 2 of the others.
    std::uint32_t needed = recordCount - 2;
    for (std::uint32_t slot = 0; slot < slots; ++slot) {
        const bool inner = slot != 0 && slot + 1 != slots;
        const std::uint32_t left = slots - 1 - slot;  // inner slots from this one on
        if (inner && random.below(left) >= needed)
            continue;
        if (inner)
            --needed;
        records.push_back({pv::payload::kTableAreaStart + slot * kFullRecord, kFullRecord});
    }
    std::vector<Record*> order;
    order.reserve(records.size());
    for (auto& record : records)
        order.push_back(&record);
    shortenRecords(order, shortfall, 5, random);
    return records;
}

void putBigEndian32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint64_t byteSum(std::uint32_t value) {
    return (value >> 24) + ((value >> 16) & 0xFF) + ((value >> 8) & 0xFF) + (value & 0xFF);
}

// A data byte: main images look like machine code (bytes spread evenly around `mean`), the table
// image like sampled curves (a slow triangle wave around `mean` with a little noise).
std::uint8_t dataByte(bool table, std::uint32_t address, std::uint32_t mean, Random& random) {
    const std::uint32_t spread = std::min(mean, 255 - mean);
    if (!table)
        return static_cast<std::uint8_t>(mean - spread + random.below(2 * spread + 1));
    const std::uint32_t amplitude = spread * 3 / 4;
    const std::uint32_t phase = (address >> 2) % (4 * amplitude + 1);
    const std::uint32_t wave = phase <= 2 * amplitude ? phase : 4 * amplitude - phase;
    const std::uint32_t noise = spread / 8;
    return static_cast<std::uint8_t>(mean - amplitude + wave - noise + random.below(2 * noise + 1));
}

// Nudges data bytes one step at a time, spread over the whole image, until the sum is exact.
bool tuneSum(Bytes& package, const std::vector<std::uint32_t>& adjustable, std::int64_t delta) {
    constexpr std::size_t kStride = 7;
    for (std::size_t pass = 0; delta != 0 && pass < 255 * kStride; ++pass) {
        for (std::size_t i = pass % kStride; delta != 0 && i < adjustable.size(); i += kStride) {
            std::uint8_t& byte = package[adjustable[i]];
            if (delta > 0 && byte < 255) {
                ++byte;
                --delta;
            } else if (delta < 0 && byte > 0) {
                --byte;
                ++delta;
            }
        }
    }
    return delta == 0;
}

bool buildPackage(const Recipe& recipe, Bytes& package) {
    const ImageInfo& info = kImages[recipe.image];
    const bool table = isTable(recipe.image);
    const std::uint32_t recordBytes = info.size - pv::payload::kTrailerSize;
    const std::uint32_t fullBytes =
        (pv::payload::kLoadHeaderSize + kFullRecord) * recipe.recordCount;
    Random random(recipe.seed);
    const std::uint32_t shortfall = fullBytes - recordBytes;
    const std::vector<Record> records = table ? tableLayout(recipe.recordCount, shortfall, random)
                                              : mainLayout(recipe.recordCount, shortfall, random);
    const std::uint32_t versionAddress =
        table ? pv::payload::kTableVersionAddress : pv::payload::kMainVersionAddress;

    // Headers and version code first, so the data can be drawn around the mean the sum needs.
    std::uint64_t fixedSum = 0;
    std::uint64_t adjustableCount = 0;
    for (const Record& record : records) {
        fixedSum += byteSum(record.address) + byteSum(record.length);
        adjustableCount += record.length;
    }
    for (std::uint32_t i = 0; i < kVersionLength; ++i)
        fixedSum += static_cast<std::uint8_t>(info.version[i]);
    adjustableCount -= kVersionLength;
    if (fixedSum > info.storedSum || adjustableCount == 0)
        return false;
    const auto mean = static_cast<std::uint32_t>((info.storedSum - fixedSum) / adjustableCount);

    package.clear();
    package.reserve(info.size);
    std::vector<std::uint32_t> adjustable;
    std::uint64_t sum = fixedSum;
    for (const Record& record : records) {
        package.push_back(pv::payload::kLoadRecordMarker);
        putBigEndian32(package, record.address);
        putBigEndian32(package, record.length);
        const bool carriesVersion = record.address == versionAddress;
        for (std::uint32_t i = 0; i < record.length; ++i) {
            if (carriesVersion && i < kVersionLength) {
                package.push_back(static_cast<std::uint8_t>(info.version[i]));
                continue;
            }
            adjustable.push_back(static_cast<std::uint32_t>(package.size()));
            package.push_back(dataByte(table, record.address + i, mean, random));
            sum += package.back();
        }
    }
    if (!tuneSum(package, adjustable,
                 std::int64_t{info.storedSum} - static_cast<std::int64_t>(sum)))
        return false;
    package.push_back(pv::payload::kSumRecordMarker);
    putBigEndian32(package, info.storedSum);
    package.push_back(pv::payload::kEndMark);
    return true;
}

std::uint32_t storedSumOf(const Bytes& package) {
    const std::uint8_t* p = package.data() + package.size() - 5;
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// Prints what is wrong with `package` as the image `info` and returns false, or returns true.
bool verifyPackage(const ImageInfo& info, const Bytes& package, const std::string& path) {
    if (package.size() != info.size) {
        std::fprintf(stderr, "firmware-gen: %s has %zu bytes, image %s must have %u\n",
                     path.c_str(), package.size(), info.version, info.size);
        return false;
    }
    if (storedSumOf(package) != info.storedSum) {
        std::fprintf(stderr, "firmware-gen: %s stores sum 0x%08X, image %s must store 0x%08X\n",
                     path.c_str(), storedSumOf(package), info.version, info.storedSum);
        return false;
    }
    if (!pv::payload::checkPackage(package.data(), static_cast<std::uint32_t>(package.size()))) {
        std::fprintf(stderr, "firmware-gen: %s is not a whole, correctly summed package\n",
                     path.c_str());
        return false;
    }
    return true;
}

bool readFile(const std::string& path, Bytes& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int generate(const std::string& folder) {
    for (const Recipe& recipe : kRecipes) {
        const ImageInfo& info = kImages[recipe.image];
        const std::string path = folder + "/" + info.fileName;
        Bytes package;
        if (!buildPackage(recipe, package) || !verifyPackage(info, package, path)) {
            std::fprintf(stderr, "firmware-gen: could not make %s\n", path.c_str());
            return 1;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(package.data()),
                  static_cast<std::streamsize>(package.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "firmware-gen: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

int verify(const std::string& folder) {
    bool ok = true;
    for (const ImageInfo& info : kImages) {
        const std::string path = folder + "/" + info.fileName;
        Bytes package;
        if (!readFile(path, package)) {
            std::fprintf(stderr, "firmware-gen: cannot read %s\n", path.c_str());
            ok = false;
        } else {
            ok = verifyPackage(info, package, path) && ok;
        }
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--verify") != 0)
        return generate(argv[1]);
    if (argc == 3 && std::strcmp(argv[1], "--verify") == 0)
        return verify(argv[2]);
    std::fprintf(stderr, "usage: firmware-gen OUTPUT-FOLDER | firmware-gen --verify FOLDER\n");
    return 2;
}
