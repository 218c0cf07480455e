#include <gtest/gtest.h>

#include <vector>

#include "allocation_counter.h"
#include "fake_port.h"
#include "link/printer_link.h"
#include "link/transmit.h"
#include "link/usb_identity.h"
#include "platform/os/clock.h"

namespace pv::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Sizes = std::vector<std::size_t>;

constexpr std::uint16_t kProductIds[] = {0x0512};
constexpr std::uint64_t kClockStart = 1000;

struct RecordingProgress : TransmitProgress {
    void SetPos(std::int32_t position) override { positions.push_back(position); }
    void PumpMessages() override { ++pumps; }
    std::vector<std::int32_t> positions;
    int pumps = 0;
};

Bytes image(std::uint32_t length) {
    Bytes bytes(length);
    for (std::uint32_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 251 + 1);  // never zero
    return bytes;
}

class TransmitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setUsbIdentity(kProductIds, 1, 0x7A3C);
        ASSERT_TRUE(link.open());
        script.onWrite = [this](std::size_t) { clock.advance(msPerWrite); };
    }
    void TearDown() override {
        link.close();
        releaseUsbIdentity();
    }

    bool send(const Bytes& data, std::uint32_t limitMs = 35'000) {
        return transmitImage(link, data.data(), static_cast<std::uint32_t>(data.size()), limitMs,
                             &progress, progressStart, msPerPercent, &code);
    }

    Sizes writeSizes() const {
        Sizes sizes;
        for (const auto& w : script.writes)
            sizes.push_back(w.size());
        return sizes;
    }

    testing::PortScript script;
    testing::FakePort port{script};
    usbport::ScopedPort scopedPort{port};
    os::VirtualClock clock{kClockStart};
    os::ScopedClock scopedClock{clock};
    PrinterLink link;
    RecordingProgress progress;
    std::uint64_t msPerWrite = 0;
    os::Tick progressStart = static_cast<os::Tick>(kClockStart);
    std::uint32_t msPerPercent = 1000;
    std::int32_t code = -1;
};

// --- The shape of the stream -----------------------------------------------------------------

struct ShapeCase {
    std::uint32_t length;
    Sizes writes;
};

TEST_F(TransmitTest, ImageGoesOutInFullChunksAndAZeroPaddedTail) {
    const std::vector<ShapeCase> cases = {
        {0, {}},
        {1, {64}},
        {63, {64}},
        {64, {128}},
        {100, {128}},
        {4032, {4096}},
        {4095, {4096}},
        {4096, {4096}},
        {4160, {4096, 128}},
        {8192, {4096, 4096}},
        {3 * 4096 + 4095, {4096, 4096, 4096, 4096}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        script.writes.clear();
        progress.positions.clear();
        const Bytes data = image(c.length);
        EXPECT_TRUE(send(data));
        EXPECT_EQ(code, kTransmitOk);
        ASSERT_EQ(writeSizes(), c.writes);
        EXPECT_EQ(progress.positions.size(), c.writes.size());  // one report per write

        Bytes sent;
        for (const auto& w : script.writes)
            sent.insert(sent.end(), w.begin(), w.end());
        Bytes expected = data;
        expected.resize(sent.size(), 0);  // the image, then zero bytes only
        EXPECT_EQ(sent, expected);
    }
}

// --- Short writes ----------------------------------------------------------------------------

TEST_F(TransmitTest, ShortWriteEndsTheStreamAtOnce) {
    script.writeLimits = {4096, 4095};
    EXPECT_FALSE(send(image(3 * 4096 + 100)));
    EXPECT_EQ(code, kTransmitShortWrite);
    EXPECT_EQ(script.writes.size(), 2u);
    EXPECT_EQ(progress.positions.size(), 1u);  // none for the short chunk

    script.writes.clear();
    progress.positions.clear();
    script.writeLimits = {4096, 127};
    EXPECT_FALSE(send(image(4160)));
    EXPECT_EQ(code, kTransmitShortWrite);
    EXPECT_EQ(progress.positions.size(), 1u);
}

TEST_F(TransmitTest, ClosedPipeIsAShortWrite) {
    link.close();
    EXPECT_FALSE(send(image(100)));
    EXPECT_EQ(code, kTransmitShortWrite);
    EXPECT_TRUE(script.writes.empty());
}

// --- The time limit --------------------------------------------------------------------------

TEST_F(TransmitTest, LimitIsCheckedAfterEveryFullChunk) {
    msPerWrite = 1000;
    EXPECT_FALSE(send(image(3 * 4096), 999));
    EXPECT_EQ(code, kTransmitTimedOut);
    EXPECT_EQ(script.writes.size(), 1u);
    EXPECT_TRUE(progress.positions.empty());

    script.writes.clear();
    EXPECT_FALSE(send(image(3 * 4096), 1000));  // exactly the limit is still in time
    EXPECT_EQ(code, kTransmitTimedOut);
    EXPECT_EQ(script.writes.size(), 2u);
}

TEST_F(TransmitTest, LastFullChunkOverTheLimitFailsEvenWithNothingLeft) {
    msPerWrite = 1000;
    EXPECT_FALSE(send(image(8192), 1500));
    EXPECT_EQ(code, kTransmitTimedOut);
    EXPECT_EQ(script.writes.size(), 2u);
}

TEST_F(TransmitTest, TailIsNeverTimed) {
    msPerWrite = 100'000;
    EXPECT_TRUE(send(image(100), 0));
    EXPECT_EQ(code, kTransmitOk);

    msPerWrite = 1000;
    EXPECT_TRUE(send(image(4096 + 100), 1000));
    EXPECT_EQ(code, kTransmitOk);
}

TEST_F(TransmitTest, LimitHoldsAcrossTheTickCountWrap) {
    clock.advance(0xFFFFFFFFull - 500 - kClockStart);
    msPerWrite = 1000;
    EXPECT_FALSE(send(image(3 * 4096), 1500));
    EXPECT_EQ(code, kTransmitTimedOut);
    EXPECT_EQ(script.writes.size(), 2u);
}

// --- Progress --------------------------------------------------------------------------------

TEST_F(TransmitTest, ProgressIsThePercentOfTheDownloadScaleBelow100) {
    msPerWrite = 100;
    msPerPercent = 100;
    progressStart = static_cast<os::Tick>(kClockStart - 250);
    EXPECT_TRUE(send(image(2 * 4096 + 1)));
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{3, 4, 5}));
    EXPECT_EQ(progress.pumps, 0);

    progress.positions.clear();
    progressStart = static_cast<os::Tick>(clock.nowMs() - 9850);
    EXPECT_TRUE(send(image(3 * 4096)));
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{99}));  // 100 and 101 left out
    EXPECT_EQ(progress.pumps, 2);  // but the windows still answer at 100 and 101
}

TEST_F(TransmitTest, OptionalOutputsMayBeLeftOut) {
    const Bytes data = image(4160);
    EXPECT_TRUE(transmitImage(link, data.data(), 4160, 35'000, nullptr, 0, 1, nullptr));
    script.writeLimits = {10};
    EXPECT_FALSE(transmitImage(link, data.data(), 4160, 35'000, nullptr, 0, 0, nullptr));
    EXPECT_EQ(script.writes.size(), 3u);
}

TEST_F(TransmitTest, StreamingAllocatesNothing) {
    script.keepWrites = false;
    script.onWrite = nullptr;
    const Bytes data = image(16 * 4096 + 100);
    testing::startCountingAllocations();
    const bool ok = transmitImage(link, data.data(), static_cast<std::uint32_t>(data.size()),
                                  35'000, nullptr, 0, 1, &code);
    const std::size_t allocations = testing::stopCountingAllocations();
    EXPECT_TRUE(ok);
    EXPECT_EQ(script.writeCount, 17u);
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace pv::link
