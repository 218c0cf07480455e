#include <gtest/gtest.h>

#include <memory>

#include "platform/os/clock.h"
#include "platform/os/handles.h"

namespace {

TEST(TickCount, DifferencesSurviveTheWrap) {
    EXPECT_EQ(os::ticksSince(0xFFFFFFF0u, 0x00000010u), 0x20u);
    os::VirtualClock clock(0xFFFFFFFFull - 5);
    os::ScopedClock scoped(clock);
    const os::Tick start = os::tickCount();
    os::sleepMs(20);
    EXPECT_LT(os::tickCount(), start);  // wrapped
    EXPECT_EQ(os::ticksSince(start, os::tickCount()), 20u);
}

TEST(VirtualClock, SleepAdvancesAtOnceAndTellsListeners) {
    os::VirtualClock clock(1000);
    std::uint64_t seen = 0;
    clock.onAdvance([&](std::uint64_t now) { seen = now; });
    os::ScopedClock scoped(clock);
    os::sleepMs(15000);
    EXPECT_EQ(clock.nowMs(), 16000u);
    EXPECT_EQ(seen, 16000u);
}

struct FakeObject : os::HandleObject {
    bool closeSucceeds = true;
    std::uint32_t read(void*, std::uint32_t length) override { return length / 2; }
    std::uint32_t write(const void*, std::uint32_t length) override { return length; }
    bool close() override { return closeSucceeds; }
};

TEST(Handles, TransfersReportTheTransportCountAndCloseMayFail) {
    auto object = std::make_unique<FakeObject>();
    FakeObject* raw = object.get();
    const std::size_t before = os::openHandleCount();
    const os::Handle h = os::openHandle(std::move(object));
    ASSERT_NE(h, os::kNoHandle);
    char buffer[8] = {};
    EXPECT_EQ(os::readFile(h, buffer, 8), 4u);
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);

    raw->closeSucceeds = false;
    EXPECT_FALSE(os::closeHandle(h));
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);  // still open
    raw->closeSucceeds = true;
    EXPECT_TRUE(os::closeHandle(h));
    EXPECT_EQ(os::openHandleCount(), before);

    EXPECT_EQ(os::writeFile(h, buffer, 8), 0u);
    EXPECT_EQ(os::readFile(os::kNoHandle, buffer, 8), 0u);
    EXPECT_FALSE(os::closeHandle(h));
}

}  // namespace
