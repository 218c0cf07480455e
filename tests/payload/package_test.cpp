#include "payload/package.h"

#include <gtest/gtest.h>

#include <random>

#include "package_builder.h"
#include "support/package_reference.h"

namespace pv::payload {
namespace {

using test::Bytes;
using test::PackageBuilder;

bool check(const Bytes& bytes) {
    return checkPackage(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool checkByteByByte(const Bytes& bytes) {
    return pv::testing::checkPackageByteByByte(bytes.data(), bytes.size());
}

Bytes twoRecordPackage() {
    return PackageBuilder().record(0x0C0000, {1, 2, 3}).record(0x0C0010, {0xFF, 0x80}).finish();
}

TEST(CheckPackageTest, RefusesNullAndEmptyInput) {
    const std::uint8_t byte = 'S';
    EXPECT_FALSE(checkPackage(nullptr, 0));
    EXPECT_FALSE(checkPackage(nullptr, 6));
    EXPECT_FALSE(checkPackage(&byte, 0));
}

TEST(CheckPackageTest, SumRecordAloneIsAWholePackage) {
    EXPECT_TRUE(check({'S', 0, 0, 0, 0, 'E'}));
    EXPECT_FALSE(check({'S', 0, 0, 0, 1, 'E'}));
    EXPECT_FALSE(check({'S', 0, 0, 0, 0, 'X'}));
}

TEST(CheckPackageTest, SumCoversAddressLengthAndDataButNoMarkers) {
    // 0x0C + 0x03 + 1 + 2 + 3 + 0x0C + 0x10 + 0x02 + 0xFF + 0x80
    const Bytes package = twoRecordPackage();
    ASSERT_TRUE(check(package));
    EXPECT_EQ(PackageBuilder().record(0x0C0000, {1, 2, 3}).record(0x0C0010, {0xFF, 0x80}).sum(),
              0x0Cu + 3 + 1 + 2 + 3 + 0x0C + 0x10 + 2 + 0xFF + 0x80);
}

TEST(CheckPackageTest, EndMarkMustBeTheLastByte) {
    const Bytes sixteen(16, 0xA5);  // the common record size takes a shortcut in the check
    for (const Bytes& package :
         {twoRecordPackage(), PackageBuilder().record(0x800000, sixteen).finish()}) {
        ASSERT_TRUE(check(package));
        Bytes extra = package;
        extra.push_back('E');
        EXPECT_FALSE(check(extra));
        extra.back() = 0;
        EXPECT_FALSE(check(extra));
        // Every shorter prefix, the cut-off "E" first, is refused. Each prefix is its own
        // allocation, so that a read past its end is caught by the address sanitizer.
        for (std::size_t size = package.size() - 1; size > 0; --size) {
            const Bytes prefix(package.begin(), package.begin() + static_cast<long>(size));
            EXPECT_FALSE(check(prefix)) << "prefix of " << size << " bytes";
        }
    }
}

TEST(CheckPackageTest, StoredSumMustMatchInEveryBit) {
    const Bytes package = twoRecordPackage();
    const std::size_t sumAt = package.size() - 5;
    for (std::size_t bit = 0; bit < 32; ++bit) {
        Bytes damaged = package;
        damaged[sumAt + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(check(damaged)) << "sum bit " << bit;
    }
}

TEST(CheckPackageTest, RecordMustStartWithLoadOrSumMarker) {
    Bytes package = twoRecordPackage();
    for (std::uint8_t marker : Bytes{0x00, 0x45, 0x51, 0x70, 0x73, 0xFF}) {
        Bytes first = package;
        first[0] = marker;
        EXPECT_FALSE(check(first)) << "first byte " << int{marker};
        Bytes second = package;
        second[12] = marker;  // the second record's "P"
        EXPECT_FALSE(check(second)) << "second marker " << int{marker};
    }
}

TEST(CheckPackageTest, ZeroLengthRecordIsRefused) {
    EXPECT_FALSE(check(PackageBuilder().record(0x0C0000, {}).finish()));
    EXPECT_FALSE(check(PackageBuilder().record(0x0C0000, {1}).record(0x0C0010, {}).finish()));
}

TEST(CheckPackageTest, LengthsPastTheEndAreRefusedWithoutOverflow) {
    // Lengths near 2^32 would wrap a 32-bit position back into the buffer.
    for (std::uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF7u, 0xFFFFFFF6u, 0x80000000u, 7u}) {
        const Bytes package = PackageBuilder().recordWithLength(0x0C0000, length, {1, 2}).finish();
        EXPECT_FALSE(check(package)) << "length " << length;
    }
}

TEST(CheckPackageTest, SumIsComparedModulo2To32) {
    // 16,843,010 bytes of 0xFF add up to just over 2^32.
    const Bytes data(16'843'010, 0xFF);
    PackageBuilder builder;
    builder.record(0x800000, data);
    const std::uint64_t fullSum = 0x80 + 0x01 + 0x01 + 0x01 + 0x02 + 0xFFull * data.size();
    ASSERT_GT(fullSum, 0xFFFFFFFFull);
    EXPECT_TRUE(check(builder.finishWithSum(static_cast<std::uint32_t>(fullSum))));
    EXPECT_FALSE(check(builder.finishWithSum(static_cast<std::uint32_t>(fullSum) + 1)));
}

// Small random packages, whole and damaged in every way the check must notice, judged by the
// real check and by the byte-by-byte reading.
TEST(CheckPackageTest, AgreesWithByteByByteReadingOnRandomPackages) {
    std::mt19937 random(4410);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    int valid = 0;
    for (int round = 0; round < 20'000; ++round) {
        PackageBuilder builder;
        const std::uint32_t records = below(5);
        for (std::uint32_t r = 0; r < records; ++r) {
            Bytes data(1 + below(40));
            for (auto& byte : data)
                byte = static_cast<std::uint8_t>(random());
            builder.record(static_cast<std::uint32_t>(random()), data);
        }
        Bytes package = builder.finish();
        switch (below(8)) {
            case 0:
                break;  // whole
            case 1:
                package[below(static_cast<std::uint32_t>(package.size()))] ^=
                    static_cast<std::uint8_t>(1u << below(8));
                break;
            case 2:
                package.resize(below(static_cast<std::uint32_t>(package.size())));
                break;
            case 3:
                package.push_back(static_cast<std::uint8_t>(random()));
                break;
            case 4:
                package.insert(package.begin() + below(static_cast<std::uint32_t>(package.size())),
                               static_cast<std::uint8_t>(random()));
                break;
            case 5:  // a length field set to a small value, 0 included
                if (records > 0)
                    package[8] = static_cast<std::uint8_t>(below(3));
                break;
            default:
                package[below(static_cast<std::uint32_t>(package.size()))] =
                    static_cast<std::uint8_t>(random());
                break;
        }
        package.shrink_to_fit();  // a read past the end then leaves the allocation
        const bool expected = checkByteByByte(package);
        valid += expected ? 1 : 0;
        ASSERT_EQ(check(package), expected) << "round " << round;
    }
    EXPECT_GT(valid, 2'000);  // both verdicts are well exercised
}

}  // namespace
}  // namespace pv::payload
