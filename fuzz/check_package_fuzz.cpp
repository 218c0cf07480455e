// checkPackage on arbitrary bytes, against the byte-by-byte reading of the format. libFuzzer
// hands each input over in an allocation of exactly its size, so a read past the end is caught.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "payload/package.h"
#include "support/package_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > UINT32_MAX)
        return 0;
    const bool fast = pv::payload::checkPackage(data, static_cast<std::uint32_t>(size));
    const bool plain = pv::testing::checkPackageByteByByte(data, size);
    if (fast != plain) {
        std::fprintf(stderr, "checkPackage says %d, the byte-by-byte reading %d (%zu bytes)\n",
                     fast, plain, size);
        std::abort();
    }
    return 0;
}
