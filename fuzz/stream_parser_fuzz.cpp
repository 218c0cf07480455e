// The virtual printer's package stream parser on arbitrary streams cut into arbitrary chunks.
// Input: byte 0 picks the largest chunk, byte 1 seeds the chunk sizes, the rest is the stream.
// Checked: the verdict and every count are the same however the stream is cut, the data bytes
// reach the loader in order at their addresses, the flash memory holds what was loaded last at
// each address, and a stream the parser accepts is a package that checkPackage accepts.

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "model/flash.h"
#include "payload/package.h"

namespace {

using pv::fuzz::fail;
using vprinter::FlashMemory;
using vprinter::PackageParser;

// Every loaded byte with its address, in order, and folded into one hash.
struct Loaded {
    std::uint64_t hash = 0xCBF29CE484222325u;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> bytes;

    static void load(void* context, std::uint32_t address, std::span<const std::uint8_t> data) {
        auto* self = static_cast<Loaded*>(context);
        for (std::uint8_t b : data) {
            self->hash = (self->hash ^ (std::uint64_t{address} << 8 | b)) * 0x100000001B3u;
            self->bytes.emplace_back(address++, b);
        }
    }
};

struct FlashLoad {
    Loaded loaded;
    FlashMemory flash;

    static void load(void* context, std::uint32_t address, std::span<const std::uint8_t> data) {
        auto* self = static_cast<FlashLoad*>(context);
        Loaded::load(&self->loaded, address, data);
        self->flash.write(address, data);
    }
};

void expectSameRun(const PackageParser& a, const PackageParser& b) {
    if (a.state() != b.state() || a.failure() != b.failure() || a.ended() != b.ended())
        fail("verdict depends on how the stream is cut");
    if (a.packageBytes() != b.packageBytes() || a.paddingBytes() != b.paddingBytes() ||
        a.records() != b.records() || a.runningSum() != b.runningSum() ||
        a.storedSum() != b.storedSum())
        fail("counts depend on how the stream is cut");
}

// The flash holds, at each address, the byte loaded there last, and sums what it holds.
void expectFlashHolds(FlashLoad& f) {
    auto& bytes = f.loaded.bytes;
    std::stable_sort(bytes.begin(), bytes.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::uint64_t sum = 0;
    std::size_t addresses = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i + 1 < bytes.size() && bytes[i + 1].first == bytes[i].first)
            continue;  // overwritten by a later record
        if (f.flash.read(bytes[i].first) != bytes[i].second)
            fail("flash does not hold the byte loaded last");
        sum += bytes[i].second;
        ++addresses;
    }
    if (f.flash.bytesWritten() != addresses)
        fail("flash counts written bytes wrongly");
    if (f.flash.checksum() != static_cast<std::uint16_t>(sum & 0xFFFF))
        fail("flash checksum is not the sum of the bytes it holds");
}

// A parser that reached the end mark accepted the bytes before any padding as a package.
void expectAgreesWithCheck(const PackageParser& p, std::span<const std::uint8_t> stream) {
    const auto size = static_cast<std::uint32_t>(stream.size());
    const bool wholeIsPackage = pv::payload::checkPackage(stream.data(), size);
    if (p.done()) {
        if (p.packageBytes() + p.paddingBytes() != stream.size())
            fail("an accepted stream is not package plus padding");
        if (!pv::payload::checkPackage(stream.data(), static_cast<std::uint32_t>(p.packageBytes())))
            fail("the parser accepts a package that checkPackage refuses");
    } else if (wholeIsPackage) {
        fail("the parser refuses a package that checkPackage accepts");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > UINT32_MAX)
        return 0;
    const std::size_t largestChunk = 1 + data[0] * 16u;
    std::uint32_t random = 0x9E3779B9u ^ data[1];
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    PackageParser whole;
    FlashLoad wholeLoad;
    whole.feed(stream, &FlashLoad::load, &wholeLoad);

    PackageParser cut;
    Loaded cutLoad;
    for (std::size_t at = 0; at < stream.size();) {
        random = random * 1664525u + 1013904223u;
        const std::size_t n =
            std::min<std::size_t>(1 + (random >> 8) % largestChunk, stream.size() - at);
        cut.feed(stream.subspan(at, n), &Loaded::load, &cutLoad);
        at += n;
    }

    expectSameRun(whole, cut);
    if (wholeLoad.loaded.hash != cutLoad.hash ||
        wholeLoad.loaded.bytes.size() != cutLoad.bytes.size())
        fail("loaded data depends on how the stream is cut");
    expectFlashHolds(wholeLoad);
    expectAgreesWithCheck(whole, stream);
    return 0;
}
