// The system's sleep inhibitor, as both programs install it, against a real dbus-daemon: with
// logind the download's lock is taken with the right what/who/why/mode and logind sees it go when
// it is released (its descriptor closed, ours and every copy); without logind or without a bus,
// one log line and the run goes on. (cli_test checks that `pv4410s-update update` holds it.)

#include <gtest/gtest.h>

#include "download/sleep_inhibitor.h"
#include "platform/os/log.h"
#include "support/logind_mock.h"

namespace {

using pv::test::LogindMock;

TEST(SleepInhibitor, TheDownloadsLockIsHeldUntilReleased) {
    LogindMock logind;
    ASSERT_TRUE(logind.ready()) << logind.error();
    pv::download::SystemSleepInhibitor inhibitor;
    pv::download::installSleepInhibitor(&inhibitor);
    {
        const pv::download::SleepInhibition inhibition;
        EXPECT_TRUE(inhibition.held());
        EXPECT_EQ(logind.waitForInhibitors(1),
                  std::vector<std::string>{
                      "sleep:shutdown:idle|pv4410s-updater|Updating the printer's firmware|block"});
        EXPECT_TRUE(inhibitor.acquire());  // a second download: kept, not taken twice
        inhibitor.release();               // ...and still held for the first
        EXPECT_TRUE(inhibitor.held());
    }
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(logind.waitForInhibitors(0).empty()) << "the lock's descriptor is still open";
    pv::download::installSleepInhibitor(nullptr);
}

TEST(SleepInhibitor, WithoutLogindOrABusOneLineAndNoLock) {
    for (const auto mode : {LogindMock::Mode::BusWithoutLogind, LogindMock::Mode::NoBus}) {
        LogindMock bus(mode);
        ASSERT_TRUE(bus.ready()) << bus.error();
        os::CapturedLog log;
        pv::download::SystemSleepInhibitor inhibitor;
        EXPECT_FALSE(inhibitor.acquire());
        inhibitor.release();
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("pv4410s-updater: no sleep inhibitor taken: "))
            << lines[0];
    }
}

}  // namespace
