#include "payload/package.h"

#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pv::payload {
namespace {

std::uint32_t readBigEndian32(const std::uint8_t* p) {
    std::uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::little)
        value = __builtin_bswap32(value);
    return value;
}

constexpr std::uint32_t kCommonLength = 16;

// Sum of `count` bytes as unsigned values. The total of a 32-bit sized buffer fits in 64 bits.
std::uint64_t sumBytes(const std::uint8_t* p, std::size_t count) {
    std::uint64_t total = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // psadbw against zero adds 8 bytes into each 64-bit lane, so the lanes never overflow.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero;
    __m128i acc1 = zero;
    for (; i + 32 <= count; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(b, zero));
    }
    std::uint64_t lanes[4];
    std::memcpy(lanes, &acc0, sizeof acc0);
    std::memcpy(lanes + 2, &acc1, sizeof acc1);
    total = lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i < count; ++i)
        total += p[i];
    return total;
}

}  // namespace

// The package is checked in two passes that give the same verdict as a byte-by-byte reading:
// first the record chain is followed from header to header up to the sum record (this also proves
// that every load record is whole), then the bytes before the sum record are added in one fast
// sweep, and the "P" markers, which that sweep includes but the package sum leaves out, are
// taken off again.
bool checkPackage(const std::uint8_t* data, std::uint32_t size) {
    if (data == nullptr || size == 0)
        return false;

    std::uint32_t pos = 0;
    std::uint32_t loadRecords = 0;
    while (data[pos] == kLoadRecordMarker) {
        const std::uint32_t remaining = size - pos;
        if (remaining < kLoadHeaderSize)
            return false;
        const std::uint32_t length = readBigEndian32(data + pos + 5);
        // Most records carry 16 bytes. Stepping by a constant on that (well predicted) branch
        // lets the processor run ahead instead of waiting for each length to load.
        if (length == kCommonLength && remaining > kLoadHeaderSize + kCommonLength) {
            pos += kLoadHeaderSize + kCommonLength;
            ++loadRecords;
            continue;
        }
        // A zero length never ends its data phase; a length past the end runs off the buffer.
        // Either way no sum record follows. Compared against what remains, so no overflow.
        if (length == 0 || length > remaining - kLoadHeaderSize)
            return false;
        pos += kLoadHeaderSize + length;
        ++loadRecords;
        if (pos == size)
            return false;
    }

    if (data[pos] != kSumRecordMarker || size - pos != kTrailerSize || data[size - 1] != kEndMark)
        return false;

    const std::uint64_t markers = std::uint64_t{kLoadRecordMarker} * loadRecords;
    const auto runningSum = static_cast<std::uint32_t>(sumBytes(data, pos) - markers);
    return readBigEndian32(data + pos + 1) == runningSum;
}

}  // namespace pv::payload
