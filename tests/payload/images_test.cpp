// The five embedded images: exact sizes and stored sums, valid packages, refused when damaged;
// and, for the generated stand-ins, load records shaped like the maker's images.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload/embedded_images.h"
#include "payload/image_table.h"
#include "payload/package.h"

namespace pv::payload {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

bool check(const Bytes& bytes) {
    return checkPackage(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

Bytes copyOf(std::size_t index) {
    const auto stored = embeddedImages().image(index);
    return Bytes(stored.begin(), stored.end());
}

TEST(EmbeddedImagesTest, HaveTheSizesAndStoredSumsOfTheImageTable) {
    for (std::size_t i = 0; i < kImageCount; ++i) {
        const auto image = embeddedImages().image(i);
        SCOPED_TRACE(kImages[i].fileName);
        ASSERT_EQ(image.size(), kImages[i].size);
        EXPECT_EQ(bigEndian32(image.data() + image.size() - 5), kImages[i].storedSum);
        EXPECT_TRUE(checkPackage(image.data(), static_cast<std::uint32_t>(image.size())));
    }
    EXPECT_TRUE(embeddedImages().image(kImageCount).empty());
}

TEST(EmbeddedImagesTest, DamagedCopiesAreRefused) {
    for (std::size_t i : {std::size_t{0}, kTableImage}) {
        const Bytes whole = copyOf(i);
        SCOPED_TRACE(kImages[i].fileName);
        // Every bit of the first record's marker, address and length, and of the trailer.
        std::vector<std::size_t> positions;
        for (std::size_t at = 0; at < kLoadHeaderSize; ++at)
            positions.push_back(at);
        for (std::size_t at = whole.size() - kTrailerSize; at < whole.size(); ++at)
            positions.push_back(at);
        for (std::size_t at : positions) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes damaged = whole;
                damaged[at] ^= static_cast<std::uint8_t>(1u << bit);
                EXPECT_FALSE(check(damaged)) << "byte " << at << " bit " << bit;
            }
        }
        // One bit at places spread over the whole image, whatever field they hit.
        for (std::size_t at = 13; at < whole.size(); at += 7'919) {
            Bytes damaged = whole;
            damaged[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
            EXPECT_FALSE(check(damaged)) << "byte " << at;
        }
        Bytes cut = whole;
        cut.pop_back();
        EXPECT_FALSE(check(cut));
        Bytes longer = whole;
        longer.push_back(0);
        EXPECT_FALSE(check(longer));
    }
}

// ---- the stand-ins made by firmware-gen ----

struct Record {
    std::uint32_t address;
    std::uint32_t length;
    std::size_t dataOffset;
};

std::vector<Record> recordsOf(std::span<const std::uint8_t> package) {
    std::vector<Record> records;
    std::size_t at = 0;
    while (package[at] == kLoadRecordMarker) {
        const std::uint32_t length = bigEndian32(&package[at + 5]);
        records.push_back({bigEndian32(&package[at + 1]), length, at + kLoadHeaderSize});
        at += kLoadHeaderSize + length;
    }
    return records;
}

// The bytes the printer ends up holding at `address`..`address + count - 1`.
std::string loadedAt(std::span<const std::uint8_t> package, const std::vector<Record>& records,
                     std::uint32_t address, std::uint32_t count) {
    std::string loaded(count, '?');
    for (const Record& record : records)
        for (std::uint32_t i = 0; i < record.length; ++i)
            if (record.address + i >= address && record.address + i < address + count)
                loaded[record.address + i - address] =
                    static_cast<char>(package[record.dataOffset + i]);
    return loaded;
}

bool overlapFree(std::vector<Record> records) {
    std::sort(records.begin(), records.end(),
              [](const Record& a, const Record& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < records.size(); ++i)
        if (records[i - 1].address + records[i - 1].length > records[i].address)
            return false;
    return true;
}

class StandInImagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef PV_STANDIN_FIRMWARE
        GTEST_SKIP() << "the embedded images were supplied, not generated";
#endif
    }
};

TEST_F(StandInImagesTest, MainImagesHaveShortRecordsOutOfOrder) {
    for (std::size_t i = 0; i < kMainImageCount; ++i) {
        const auto package = embeddedImages().image(i);
        const auto records = recordsOf(package);
        SCOPED_TRACE(kImages[i].fileName);
        EXPECT_GE(records.size(), 19'525u);
        EXPECT_LE(records.size(), 49'536u);
        std::size_t full = 0;
        bool descends = false;
        for (std::size_t r = 0; r < records.size(); ++r) {
            ASSERT_GE(records[r].length, 1u);
            ASSERT_LE(records[r].length, 16u);
            ASSERT_GE(records[r].address, kMainAreaStart);
            ASSERT_LE(records[r].address, kMainAreaLastAddress);
            full += records[r].length == 16 ? 1u : 0u;
            descends = descends || (r > 0 && records[r].address < records[r - 1].address);
        }
        EXPECT_GT(full * 2, records.size()) << "most records carry 16 bytes";
        EXPECT_TRUE(descends);
        EXPECT_TRUE(overlapFree(records));
        EXPECT_EQ(loadedAt(package, records, kMainVersionAddress, 6), kImages[i].version);
    }
}

TEST_F(StandInImagesTest, TableImageHasAscendingRecordsOfFiveToSixteenBytes) {
    const auto package = embeddedImages().image(kTableImage);
    const auto records = recordsOf(package);
    EXPECT_GE(records.size(), 19'525u);
    EXPECT_LE(records.size(), 49'536u);
    for (std::size_t r = 0; r < records.size(); ++r) {
        ASSERT_GE(records[r].length, 5u);
        ASSERT_LE(records[r].length, 16u);
        ASSERT_GE(records[r].address, kTableAreaStart);
        ASSERT_LE(records[r].address, kTableAreaLastAddress);
        if (r > 0) {
            ASSERT_GT(records[r].address, records[r - 1].address);
        }
    }
    EXPECT_TRUE(overlapFree(records));
    EXPECT_EQ(loadedAt(package, records, kTableVersionAddress, 6), "705B11");
}

}  // namespace
}  // namespace pv::payload
