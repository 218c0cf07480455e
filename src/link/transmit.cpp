#include "link/transmit.h"

#include <array>
#include <cstring>

#include "platform/os/log.h"

namespace pv::link {
namespace {

constexpr std::uint32_t kFullScale = 100;

bool finish(std::int32_t* outCode, std::int32_t code) {
    os::trace("image stream ends with code %d", static_cast<int>(code));
    if (outCode != nullptr)
        *outCode = code;
    return code == kTransmitOk;
}

void reportProgress(TransmitProgress* progress, os::Tick progressStart,
                    std::uint32_t msPerPercent) {
    if (progress == nullptr)
        return;
    const std::uint32_t percent = os::ticksSince(progressStart, os::tickCount()) / msPerPercent;
    // Past the end of the scale the bar stays put, but the windows still answer.
    if (percent < kFullScale)
        progress->SetPos(static_cast<std::int32_t>(percent));
    else
        progress->PumpMessages();
}

}  // namespace

bool transmitImage(PrinterLink& link, const std::uint8_t* data, std::uint32_t length,
                   std::uint32_t timeLimitMs, TransmitProgress* progress, os::Tick progressStart,
                   std::uint32_t msPerPercent, std::int32_t* outCode) {
    const os::Tick start = os::tickCount();
    if (data == nullptr && length > 0)
        return finish(outCode, kTransmitShortWrite);  // nothing that could be sent
    if (msPerPercent == 0)
        msPerPercent = 1;

    std::array<std::uint8_t, kChunkSize> staging{};
    const std::uint32_t fullChunks = length / kChunkSize;
    const std::uint32_t tail = length % kChunkSize;

    for (std::uint32_t i = 0; i < fullChunks; ++i) {
        std::memcpy(staging.data(), data + std::size_t{i} * kChunkSize, kChunkSize);
        if (link.write(staging.data(), kChunkSize) < kChunkSize)
            return finish(outCode, kTransmitShortWrite);
        if (os::ticksSince(start, os::tickCount()) > timeLimitMs)
            return finish(outCode, kTransmitTimedOut);
        reportProgress(progress, progressStart, msPerPercent);
    }

    if (tail > 0) {
        staging.fill(0);
        std::memcpy(staging.data(), data + std::size_t{fullChunks} * kChunkSize, tail);
        const std::uint32_t writeLength = paddedTailLength(tail);
        if (link.write(staging.data(), writeLength) < writeLength)
            return finish(outCode, kTransmitShortWrite);
        reportProgress(progress, progressStart, msPerPercent);
    }
    return finish(outCode, kTransmitOk);
}

}  // namespace pv::link
