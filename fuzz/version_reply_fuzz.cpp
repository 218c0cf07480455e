// readVersionReply on a bulk IN pipe that delivers arbitrary bytes of any length and may report
// any count for them. The outputs live in allocations of exactly their size, and every result is
// compared with what the reply format says it must be.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_port.h"
#include "link/printer_link.h"

namespace {

using pv::fuzz::fail;

constexpr char kUntouched = 'x';
constexpr std::uint32_t kUntouchedSum = 0xDEADBEEF;

struct Outputs {
    std::unique_ptr<char[][7]> mainVersion = std::make_unique<char[][7]>(1);
    std::unique_ptr<char[][7]> tableVersion = std::make_unique<char[][7]>(1);
    std::unique_ptr<std::uint32_t> mainChecksum = std::make_unique<std::uint32_t>(kUntouchedSum);
    std::unique_ptr<std::uint32_t> tableChecksum = std::make_unique<std::uint32_t>(kUntouchedSum);

    Outputs() {
        std::memset(mainVersion[0], kUntouched, 7);
        std::memset(tableVersion[0], kUntouched, 7);
    }
};

bool untouched(const char (&text)[7], std::size_t from) {
    return std::all_of(text + from, text + 7, [](char c) { return c == kUntouched; });
}

// The outputs of a parsed reply: both six-character versions, each followed by a zero byte,
// and the two big-endian checksums at offsets 36 and 38.
void expectParsed(const Outputs& out, const std::array<std::uint8_t, 48>& reply) {
    if (std::memcmp(out.mainVersion[0], reply.data() + 6, 6) != 0 || out.mainVersion[0][6] != 0)
        fail("main version text");
    if (std::memcmp(out.tableVersion[0], reply.data() + 12, 6) != 0 || out.tableVersion[0][6] != 0)
        fail("table version text");
    if (*out.mainChecksum != (std::uint32_t{reply[36]} << 8 | reply[37]))
        fail("main checksum");
    if (*out.tableChecksum != (std::uint32_t{reply[38]} << 8 | reply[39]))
        fail("table checksum");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t handlesBefore = os::openHandleCount();
    const pv::fuzz::FuzzInput input = pv::fuzz::splitInput(data, size);
    pv::fuzz::FuzzPort port;
    port.reply = input.answer;
    usbport::ScopedPort scoped(port);

    Outputs out;
    bool parsed = false;
    {
        pv::link::PrinterLink link;
        if (!link.open())
            fail("open through the fuzz port");
        parsed = link.readVersionReply(out.mainVersion[0], *out.mainChecksum, out.tableVersion[0],
                                       *out.tableChecksum);
    }
    if (os::openHandleCount() != handlesBefore)
        fail("a handle outlived its link");
    if (port.reads != 1 || port.lastReadLength != pv::link::kVersionReplySize)
        fail("the reply is read in one call of 48 bytes");

    // What the link's buffer holds: the delivered bytes, zeros after them.
    std::array<std::uint8_t, 48> reply{};
    const std::size_t delivered = std::min(reply.size(), input.answer.bytes.size());
    std::copy_n(input.answer.bytes.begin(), delivered, reply.begin());
    const std::uint32_t reported =
        input.answer.reportedCount.value_or(static_cast<std::uint32_t>(delivered));

    if (reported < 48) {
        if (parsed || !untouched(out.mainVersion[0], 0) || !untouched(out.tableVersion[0], 0) ||
            *out.mainChecksum != kUntouchedSum || *out.tableChecksum != kUntouchedSum)
            fail("a short reply must leave the outputs untouched");
    } else if (reply[0] != 0x23 || reply[1] != 0x2E || reply[2] != 0x00) {
        if (parsed || out.mainVersion[0][0] != 0 || out.tableVersion[0][0] != 0 ||
            *out.mainChecksum != 0 || *out.tableChecksum != 0)
            fail("a malformed reply must empty both texts and zero both checksums");
        if (!untouched(out.mainVersion[0], 1) || !untouched(out.tableVersion[0], 1))
            fail("a malformed reply writes only the first byte of each text");
    } else {
        if (!parsed)
            fail("a well-formed reply must be accepted");
        expectParsed(out, reply);
    }
    return 0;
}
