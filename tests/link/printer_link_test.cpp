#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_port.h"
#include "link/printer_link.h"
#include "link/usb_identity.h"
#include "platform/os/clock.h"

namespace pv::link {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

constexpr std::uint16_t kProductIds[] = {0x0512};

class PrinterLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setUsbIdentity(kProductIds, 1, 0x7A3C);
        baseline = os::openHandleCount();
    }
    void TearDown() override { releaseUsbIdentity(); }

    // Opens `link` and forgets the calls made on the way.
    bool openQuietly(PrinterLink& link) {
        const bool opened = link.open();
        script.calls.clear();
        return opened;
    }

    std::uint64_t elapsed() { return clock.nowMs() - 1000; }

    testing::PortScript script;
    testing::FakePort port{script};
    usbport::ScopedPort scopedPort{port};
    os::VirtualClock clock{1000};
    os::ScopedClock scopedClock{clock};
    std::size_t baseline = 0;
};

// --- Opening and closing ---------------------------------------------------------------------

TEST_F(PrinterLinkTest, OpenHandsTheIdentityToTheLibraryAndCloseReleasesAllThree) {
    PrinterLink link;
    ASSERT_TRUE(link.open());
    EXPECT_EQ(script.calls, (Calls{"SetVenderID 7a3c", "SetProductID 0512", "open CONT",
                                   "open PIPE00", "open PIPE01"}));
    EXPECT_NE(link.controlHandle(), os::kNoHandle);
    EXPECT_NE(link.bulkOutHandle(), os::kNoHandle);
    EXPECT_NE(link.bulkInHandle(), os::kNoHandle);

    script.calls.clear();
    EXPECT_TRUE(link.close());
    EXPECT_EQ(script.calls, (Calls{"close PIPE00", "close PIPE01", "close CONT"}));
    EXPECT_EQ(link.bulkOutHandle(), os::kNoHandle);
    EXPECT_EQ(link.bulkInHandle(), os::kNoHandle);
    EXPECT_EQ(link.controlHandle(), os::kNoHandle);
    EXPECT_EQ(os::openHandleCount(), baseline);

    script.calls.clear();
    EXPECT_TRUE(link.close());  // nothing left: no platform call
    EXPECT_TRUE(script.calls.empty());
}

TEST_F(PrinterLinkTest, OpenSkipsProductIdsWhenThereAreNone) {
    setUsbIdentity(nullptr, 0, 0x7A3C);
    PrinterLink link;
    EXPECT_TRUE(link.open());
    EXPECT_EQ(script.calls, (Calls{"SetVenderID 7a3c", "open CONT", "open PIPE00", "open PIPE01"}));
}

TEST_F(PrinterLinkTest, RefusedVendorOpensNothing) {
    script.acceptVendor = false;
    PrinterLink link;
    EXPECT_FALSE(link.open());
    EXPECT_EQ(script.calls, (Calls{"SetVenderID 7a3c"}));
    EXPECT_EQ(link.controlHandle(), os::kNoHandle);
    EXPECT_EQ(os::openHandleCount(), baseline);
}

TEST_F(PrinterLinkTest, PartlyFailedOpenKeepsWhatOpenedAndReleasesItExactlyOnce) {
    for (const std::string failing : {"CONT", "PIPE00", "PIPE01"}) {
        SCOPED_TRACE(failing);
        script.calls.clear();
        script.failOpen = {failing};
        {
            PrinterLink link;
            EXPECT_FALSE(link.open());
            EXPECT_EQ(script.calls.size(), 5u);  // every open is attempted
            EXPECT_EQ(link.controlHandle() == os::kNoHandle, failing == "CONT");
            EXPECT_EQ(link.bulkOutHandle() == os::kNoHandle, failing == "PIPE00");
            EXPECT_EQ(link.bulkInHandle() == os::kNoHandle, failing == "PIPE01");
            EXPECT_EQ(os::openHandleCount(), baseline + 2);

            script.calls.clear();
            link.close();
            Calls expected;
            for (const std::string name : {"PIPE00", "PIPE01", "CONT"})
                if (name != failing)
                    expected.push_back("close " + name);
            EXPECT_EQ(script.calls, expected);
        }  // the destructor finds nothing more to close
        EXPECT_EQ(script.calls.size(), 2u);
        EXPECT_EQ(os::openHandleCount(), baseline);
    }
}

TEST_F(PrinterLinkTest, FailingCloseKeepsItsHandleUntilAClosingSucceeds) {
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    const os::Handle in = link.bulkInHandle();
    script.failClose = {"PIPE01"};
    EXPECT_TRUE(link.close());
    EXPECT_EQ(link.bulkInHandle(), in);
    EXPECT_EQ(link.bulkOutHandle(), os::kNoHandle);
    EXPECT_EQ(link.controlHandle(), os::kNoHandle);

    script.failClose.clear();
    script.calls.clear();
    EXPECT_TRUE(link.close());
    EXPECT_EQ(script.calls, (Calls{"close PIPE01"}));
    EXPECT_EQ(os::openHandleCount(), baseline);
}

TEST_F(PrinterLinkTest, DestructorClosesAndReopeningReleasesFirst) {
    {
        PrinterLink link;
        ASSERT_TRUE(link.open());
        ASSERT_TRUE(link.open());  // the handles of the first open are not lost
        EXPECT_EQ(os::openHandleCount(), baseline + 3);
    }
    EXPECT_EQ(os::openHandleCount(), baseline);
}

TEST_F(PrinterLinkTest, OpenRefusesToOverwriteAHandleThatCannotBeReleased) {
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    script.failClose = {"CONT"};
    EXPECT_FALSE(link.open());
    EXPECT_EQ(script.calls, (Calls{"close PIPE00", "close PIPE01", "close CONT"}));
    script.failClose.clear();
}

// --- Commands --------------------------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::function<bool(PrinterLink&)> send;
    Bytes bytes;
    std::uint64_t pauseMs;
};

TEST_F(PrinterLinkTest, EveryCommandIsOneWriteOfItsFourBytes) {
    const std::vector<CommandCase> cases = {
        {"initialise", [](PrinterLink& l) { return l.sendInitialise(); }, {0x1B, 'f', 'g', 0}, 0},
        {"reset", [](PrinterLink& l) { return l.sendReset(); }, {0x1B, 'f', 'r', 0}, 0},
        {"erase main", [](PrinterLink& l) { return l.sendErase(0); }, {0x1B, 'f', 'e', 'p'}, 100},
        {"erase table", [](PrinterLink& l) { return l.sendErase(1); }, {0x1B, 'f', 'e', 't'}, 100},
        {"erase 2", [](PrinterLink& l) { return l.sendErase(2); }, {0x1B, 'f', 'e', 'c'}, 100},
        {"transfer main",
         [](PrinterLink& l) { return l.sendTransfer(0); },
         {0x1B, 'f', 't', 'p'},
         100},
        {"transfer table",
         [](PrinterLink& l) { return l.sendTransfer(1); },
         {0x1B, 'f', 't', 't'},
         100},
        {"transfer 2",
         [](PrinterLink& l) { return l.sendTransfer(2); },
         {0x1B, 'f', 't', 'c'},
         100},
        {"version request",
         [](PrinterLink& l) { return l.sendVersionRequest('#'); },
         {0x1B, 'V', '#', 0},
         0},
        {"read-back on",
         [](PrinterLink& l) { return l.setReadBackMode(3); },
         {0x1B, 'S', 0x5A, 0x1E},
         0},
        {"read-back off",
         [](PrinterLink& l) { return l.setReadBackMode(0); },
         {0x1B, 'S', 0, 0},
         0},
        {"read-back mode 1",
         [](PrinterLink& l) { return l.setReadBackMode(1); },
         {0x1B, 'S', 0, 0},
         0},
    };
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script.writes.clear();
        const std::uint64_t before = clock.nowMs();
        EXPECT_TRUE(c.send(link));
        EXPECT_EQ(script.writes, std::vector<Bytes>{c.bytes});
        EXPECT_EQ(clock.nowMs() - before, c.pauseMs);
    }
}

TEST_F(PrinterLinkTest, ShortCommandWriteFailsWithoutPauseOrRetry) {
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    script.writeLimits = {3, 0, 3};
    EXPECT_FALSE(link.sendErase(0));
    EXPECT_FALSE(link.sendTransfer(1));
    EXPECT_FALSE(link.sendInitialise());
    EXPECT_EQ(script.writes.size(), 3u);
    EXPECT_EQ(elapsed(), 0u);
}

TEST_F(PrinterLinkTest, UnknownAreaWritesNothing) {
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    EXPECT_FALSE(link.sendErase(3));
    EXPECT_FALSE(link.sendTransfer(0xFFFF));
    EXPECT_TRUE(script.writes.empty());
    EXPECT_EQ(elapsed(), 0u);
}

TEST_F(PrinterLinkTest, ClosedLinkFailsEverythingWithoutAPlatformCall) {
    PrinterLink link;
    char main[7] = {};
    char table[7] = {};
    std::uint32_t mainSum = 7;
    std::uint32_t tableSum = 7;
    std::uint8_t buffer[8];
    EXPECT_FALSE(link.sendInitialise());
    EXPECT_FALSE(link.sendErase(0));
    EXPECT_FALSE(link.setReadBackMode(3));
    EXPECT_EQ(link.write(buffer, sizeof buffer), 0u);
    EXPECT_EQ(link.read(buffer, sizeof buffer), 0u);
    EXPECT_FALSE(link.checkModel());
    EXPECT_FALSE(link.readVersionReply(main, mainSum, table, tableSum));
    EXPECT_EQ(mainSum, 7u);
    EXPECT_TRUE(script.calls.empty());
    EXPECT_EQ(elapsed(), 0u);
}

TEST_F(PrinterLinkTest, ReadAndWriteReturnTheCountTheTransportReports) {
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    std::uint8_t data[100] = {};
    script.writeLimits = {37};
    EXPECT_EQ(link.write(data, sizeof data), 37u);
    script.reads = {Bytes(20, 0x55)};
    EXPECT_EQ(link.read(data, sizeof data), 20u);
    EXPECT_EQ(data[19], 0x55);
    EXPECT_EQ(script.writes.size(), 1u);  // no retry of the rest
}

// --- Model check -----------------------------------------------------------------------------

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes padded(std::size_t fill, const std::string& s) {
    Bytes bytes(fill, 'x');
    bytes.insert(bytes.end(), s.begin(), s.end());
    return bytes;
}

struct ModelCase {
    const char* name;
    Bytes deviceId;
    std::optional<std::uint32_t> reportedLength;
    bool ioctlResult;
    bool expected;
};

TEST_F(PrinterLinkTest, ModelCheckFindsTheExactEntryWithinTheReturnedLength) {
    const std::string entry = "MDL:PV4410S ;";
    const std::vector<ModelCase> cases = {
        {"at offset 0", text(entry), {}, true, true},
        {"after a length field",
         text(std::string("\x00\x24", 2) + "MFG:Maker;" + entry + "CMD:X;"),
         {},
         true,
         true},
        {"without the space", text("MDL:PV4410S;"), {}, true, false},
        {"other letter case", text("MDL:pv4410s ;"), {}, true, false},
        {"broken by a zero byte",
         text(std::string("MDL:PV44\0"
                          "10S ;",
                          13)),
         {},
         true,
         false},
        {"ending at the buffer's end", padded(243, entry), {}, true, true},
        {"length above 256", padded(243, entry), 1000, true, true},
        {"reaching past the buffer", padded(250, "MDL:PV"), 1000, true, false},
        {"starting at the last offset", padded(20, entry), 21, true, true},
        {"starting beyond the length", padded(20, entry), 20, true, false},
        {"length 0 though the call succeeded", text(entry), 0, true, false},
        {"call failed, length given", text(entry), {}, false, true},
    };
    PrinterLink link;
    ASSERT_TRUE(openQuietly(link));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script.calls.clear();
        script.deviceId = c.deviceId;
        script.deviceIdLength = c.reportedLength;
        script.ioctlResult = c.ioctlResult;
        EXPECT_EQ(link.checkModel(), c.expected);
        EXPECT_EQ(script.calls, (Calls{"ioctl 0 0 256"}));
    }
}

// --- Version reply ---------------------------------------------------------------------------

Bytes versionReply() {
    Bytes reply(48, 0xEE);
    reply[0] = 0x23;
    reply[1] = 0x2E;
    reply[2] = 0x00;
    std::memcpy(reply.data() + 6, "301F11", 6);
    std::memcpy(reply.data() + 12, "705B11", 6);
    reply[36] = 0x12;
    reply[37] = 0x34;
    reply[38] = 0xAB;
    reply[39] = 0xCD;
    return reply;
}

class VersionReplyTest : public PrinterLinkTest {
  protected:
    bool readReply(const Bytes& reply) {
        script.reads = {reply};
        return link.readVersionReply(main, mainSum, table, tableSum);
    }
    void SetUp() override {
        PrinterLinkTest::SetUp();
        ASSERT_TRUE(openQuietly(link));
    }
    void TearDown() override {
        link.close();
        PrinterLinkTest::TearDown();
    }

    PrinterLink link;
    char main[7] = "keepMe";
    char table[7] = "keepMe";
    std::uint32_t mainSum = 1;
    std::uint32_t tableSum = 2;
};

TEST_F(VersionReplyTest, WellFormedReplyGivesVersionsAndBigEndianChecksums) {
    EXPECT_TRUE(readReply(versionReply()));
    EXPECT_STREQ(main, "301F11");
    EXPECT_STREQ(table, "705B11");
    EXPECT_EQ(mainSum, 0x1234u);
    EXPECT_EQ(tableSum, 0xABCDu);
    EXPECT_EQ(script.calls, (Calls{"read PIPE01 48"}));
}

TEST_F(VersionReplyTest, ShortReplyLeavesTheOutputsAlone) {
    Bytes reply = versionReply();
    reply.resize(47);
    EXPECT_FALSE(readReply(reply));
    EXPECT_FALSE(readReply({}));
    EXPECT_STREQ(main, "keepMe");
    EXPECT_STREQ(table, "keepMe");
    EXPECT_EQ(mainSum, 1u);
    EXPECT_EQ(tableSum, 2u);
}

TEST_F(VersionReplyTest, WrongHeaderClearsTheOutputs) {
    for (std::size_t at : {0u, 1u, 2u}) {
        SCOPED_TRACE(at);
        Bytes reply = versionReply();
        reply[at] ^= 0x01;
        mainSum = tableSum = 5;
        EXPECT_FALSE(readReply(reply));
        EXPECT_STREQ(main, "");
        EXPECT_STREQ(table, "");
        EXPECT_EQ(mainSum, 0u);
        EXPECT_EQ(tableSum, 0u);
    }
}

// --- USB identity ----------------------------------------------------------------------------

TEST(UsbIdentity, KeepsItsOwnCopyAndReleasesIt) {
    std::uint16_t ids[] = {0x0512, 0x0513};
    setUsbIdentity(ids, 2, 0x7A3C);
    ids[0] = 0;
    const UsbIdentity& identity = usbIdentity();
    EXPECT_EQ(identity.vendorId, 0x7A3C);
    ASSERT_EQ(identity.productIdCount, 2);
    EXPECT_EQ(identity.productIds[0], 0x0512);
    EXPECT_EQ(identity.productIds[1], 0x0513);

    setUsbIdentity(ids, 0, 0x1234);
    EXPECT_EQ(identity.productIds, nullptr);

    releaseUsbIdentity();
    releaseUsbIdentity();
    EXPECT_EQ(identity.vendorId, 0);
    EXPECT_EQ(identity.productIdCount, 0);
    EXPECT_EQ(identity.productIds, nullptr);
}

}  // namespace
}  // namespace pv::link
