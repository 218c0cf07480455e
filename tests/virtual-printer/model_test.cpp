// The printer model's protocol, without USB: commands, replies, package streams, reset, faults.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "model/identity.h"
#include "model/printer.h"
#include "model/setup.h"
#include "test_packages.h"

namespace {

using vprinter::Printer;
using vprinter::WriteResult;
using Bytes = std::vector<std::uint8_t>;

const Bytes kInit = {0x1B, 'f', 'g', 0};
const Bytes kReset = {0x1B, 'f', 'r', 0};
const Bytes kEraseMain = {0x1B, 'f', 'e', 'p'};
const Bytes kTransferMain = {0x1B, 'f', 't', 'p'};
const Bytes kEraseTable = {0x1B, 'f', 'e', 't'};
const Bytes kTransferTable = {0x1B, 'f', 't', 't'};
const Bytes kVersionRequest = {0x1B, 'V', '#', 0};
const Bytes kReadBackOn = {0x1B, 'S', 0x5A, 0x1E};
const Bytes kReadBackOff = {0x1B, 'S', 0, 0};

class ModelTest : public ::testing::Test {
  public:
    // A printer as the updater finds it after its initialise command, unless `running`.
    void make(const vprinter::Options& o = {}, bool running = false) {
        options = o;
        printer = std::make_unique<Printer>(o, clock);
        if (!running)
            send(kInit);
    }
    WriteResult send(const Bytes& b) { return printer->write(b); }
    // A running printer is asked in read-back mode, an initialised one as it is.
    Bytes versionReply() {
        if (!printer->initialised() && !printer->readBackMode())
            send(kReadBackOn);
        EXPECT_EQ(send(kVersionRequest).kind, WriteResult::Kind::Accepted);
        auto r = printer->read();
        return r ? *r : Bytes{};
    }
    void stream(const Bytes& package) {
        for (const auto& c : vptest::chunks(package))
            send(c);
    }
    // Erase, wait for it, transfer, stream: the updater's order.
    void load(const Bytes& erase, const Bytes& transfer, const Bytes& package) {
        send(erase);
        clock.advance(options.eraseMs);
        send(transfer);
        stream(package);
    }
    void resetAndReboot() {
        if (!printer->initialised())
            send(kInit);
        send(kReset);
        clock.advance(options.rebootMs);
        ASSERT_TRUE(printer->onBus());
    }
    std::string lastVerdict() {
        auto v = printer->trace().named("verdict");
        return v.empty() ? "" : v.back().field("result") + " " + v.back().field("reason");
    }

    vprinter::ManualClock clock{1000};
    vprinter::Options options;
    std::unique_ptr<Printer> printer;
};

TEST_F(ModelTest, VersionReplyCarriesInstalledVersionsAndBigEndianChecksums) {
    make();
    EXPECT_FALSE(printer->read()) << "nothing to read before a version request";
    const Bytes r = versionReply();
    ASSERT_EQ(r.size(), 48u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 3), (Bytes{0x23, 0x2E, 0x00}));
    EXPECT_EQ(std::string(r.begin() + 6, r.begin() + 12), "301B10");
    EXPECT_EQ(std::string(r.begin() + 12, r.begin() + 18), "705A10");
    // The checksum is the 16-bit sum of the area's bytes: here only the version code.
    const unsigned mainSum = '3' + '0' + '1' + 'B' + '1' + '0';
    EXPECT_EQ(r[36] * 256 + r[37], static_cast<int>(mainSum));
    EXPECT_EQ(r[38] * 256 + r[39], printer->tableChecksum());
    EXPECT_FALSE(printer->read()) << "one reply per request";
}

TEST_F(ModelTest, CommandsAreTakenOnlyInTheirMode) {
    make({}, true);
    // Running: a version request is print data, loader commands are refused.
    EXPECT_EQ(send(kVersionRequest).kind, WriteResult::Kind::Accepted);
    EXPECT_FALSE(printer->read());
    EXPECT_EQ(printer->trace().named("print-data").size(), 1u);
    for (const auto& c : {kEraseMain, kTransferMain, kReset})
        EXPECT_EQ(send(c).kind, WriteResult::Kind::Refused);
    send(kReadBackOn);
    EXPECT_TRUE(printer->readBackMode());
    EXPECT_EQ(versionReply().size(), 48u);
    send(kReadBackOff);
    EXPECT_FALSE(printer->readBackMode());
    // Initialised: the loader's commands, no second initialise, no read-back mode.
    for (const auto& c : {kInit, kEraseTable})
        EXPECT_EQ(send(c).kind, WriteResult::Kind::Accepted);
    for (const auto& c : {kInit, kReadBackOn})
        EXPECT_EQ(send(c).kind, WriteResult::Kind::Refused);
    EXPECT_EQ(versionReply().size(), 48u);
    send({0x1B, 'Q', 1, 2});
    send({1, 2, 3});
    std::vector<std::string> names;
    for (const auto& e : printer->trace().named("command"))
        names.push_back(e.field("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"version-request", "readback-on", "version-request",
                                               "readback-off", "initialise", "erase t",
                                               "version-request", "unknown"}));
    EXPECT_EQ(printer->trace().named("refused").size(), 5u);
    EXPECT_EQ(printer->trace().named("data").size(), 1u);
    // A reset brings it back to running.
    resetAndReboot();
    EXPECT_FALSE(printer->initialised());
}

TEST_F(ModelTest, WholeStreamIsVerifiedAndRunsAfterReset) {
    make();
    std::uint16_t mainSum = 0;
    std::uint16_t tableSum = 0;
    const Bytes mainImage = vptest::image("301F11", vprinter::kMainVersionAddress, 600, &mainSum);
    const Bytes tableImage =
        vptest::image("705B11", vprinter::kTableVersionAddress, 300, &tableSum);
    ASSERT_NE(mainImage.size() % 64, 0u) << "the last write must carry padding";
    load(kEraseMain, kTransferMain, mainImage);
    EXPECT_EQ(lastVerdict(), "valid ");
    const auto verdict = printer->trace().named("verdict").back();
    EXPECT_EQ(verdict.field("package_bytes"), std::to_string(mainImage.size()));
    EXPECT_NE(verdict.field("padding"), "0");
    load(kEraseTable, kTransferTable, tableImage);
    EXPECT_EQ(lastVerdict(), "valid ");
    EXPECT_EQ(printer->mainVersion(), "301B10") << "runs the old firmware until reset";

    send(kReset);
    EXPECT_FALSE(printer->onBus());
    clock.advance(options.rebootMs - 1);
    EXPECT_FALSE(printer->onBus());
    clock.advance(1);
    EXPECT_TRUE(printer->onBus());
    const Bytes r = versionReply();
    EXPECT_EQ(std::string(r.begin() + 6, r.begin() + 18), "301F11705B11");
    EXPECT_EQ(r[36] * 256 + r[37], mainSum);
    EXPECT_EQ(r[38] * 256 + r[39], tableSum);
    EXPECT_EQ(printer->boots(), 1u);

    // Switched off and on again (--state): the same flash, the same versions and checksums; an
    // area being erased at the time comes back invalid, a damaged state leaves every area so.
    vprinter::Options again;
    again.flashState = printer->flashState();
    EXPECT_EQ(Printer(again, clock).versionReply(), printer->versionReply());
    send(kInit);
    send(kEraseTable);
    again.flashState = printer->flashState();
    const Printer erasing(again, clock);
    EXPECT_EQ(erasing.mainVersion() + erasing.tableVersion(), "301F11------");
    again.flashState.pop_back();
    EXPECT_EQ(Printer(again, clock).mainVersion(), "------");
}

TEST_F(ModelTest, GeneratedImagesAreAccepted) {
    const Bytes main = vptest::firmwareImage("main-402B11.pkg");
    const Bytes table = vptest::firmwareImage("table-705B11.pkg");
    if (main.empty() || table.empty())
        GTEST_SKIP() << "firmware images not built";
    make();
    load(kEraseMain, kTransferMain, main);
    EXPECT_EQ(lastVerdict(), "valid ");
    load(kEraseTable, kTransferTable, table);
    EXPECT_EQ(lastVerdict(), "valid ");
    resetAndReboot();
    EXPECT_EQ(printer->mainVersion(), "402B11");
    EXPECT_EQ(printer->tableVersion(), "705B11");
}

// Each way of spoiling a main-area load, and what the verdict says.
struct Damage {
    const char* name;
    std::function<void(ModelTest&, const Bytes& image)> run;
    const char* reason;
};

class DamagedStreamTest : public ModelTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedStreamTest, LeavesTheAreaInvalidAndReportedAsSuch) {
    make();
    const Bytes image = vptest::image("301F11", vprinter::kMainVersionAddress);
    GetParam().run(*this, image);
    resetAndReboot();
    EXPECT_EQ(lastVerdict(), std::string("invalid ") + GetParam().reason);
    const Bytes r = versionReply();
    EXPECT_EQ(std::string(r.begin() + 6, r.begin() + 18), "------705A10");
    EXPECT_EQ(r[36] * 256 + r[37], 0);
    EXPECT_NE(r[38] * 256 + r[39], 0) << "the table area is untouched";
}

Bytes with(Bytes b, std::size_t at, std::uint8_t value) {
    b.at(at) = value;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DamagedStreamTest,
    ::testing::Values(
        Damage{"BadSum",
               [](ModelTest& m, const Bytes& i) {
                   m.load(kEraseMain, kTransferMain, with(i, 12, i[12] ^ 0x01));
               },
               "sum mismatch"},
        Damage{"CutShortByReset",
               [](ModelTest& m, const Bytes& i) {
                   // Every write but the last.
                   m.load(kEraseMain, kTransferMain, Bytes(i.begin(), i.end() - i.size() % 4096));
               },
               "cut short by reset"},
        Damage{"NoErase",
               [](ModelTest& m, const Bytes& i) {
                   m.send(kTransferMain);
                   m.stream(i);
               },
               "area not erased before the transfer"},
        Damage{"EraseUnfinished",
               [](ModelTest& m, const Bytes& i) {
                   m.send(kEraseMain);
                   m.clock.advance(m.options.eraseMs - 1);
                   m.send(kTransferMain);
                   m.stream(i);
               },
               "area not erased before the transfer"},
        Damage{"BadMarker",
               [](ModelTest& m, const Bytes& i) {
                   m.load(kEraseMain, kTransferMain, with(i, 0, 'Q'));
               },
               "byte 81 where a record should start"},
        Damage{"ZeroLengthRecord",
               [](ModelTest& m, const Bytes&) {
                   m.load(kEraseMain, kTransferMain, {'P', 0, 0x0C, 0, 0, 0, 0, 0, 0, 'S'});
               },
               "load record of length 0"},
        Damage{"DataAfterEndMark",
               [](ModelTest& m, const Bytes& i) {
                   Bytes b = i;
                   b.push_back(7);
                   m.load(kEraseMain, kTransferMain, b);
               },
               "data after the end mark"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ModelTest, DeviceIdCountsItsLengthFieldAndCarriesTheModelEntry) {
    using vprinter::DeviceIdFault;
    auto text = [](DeviceIdFault f) {
        const Bytes id = vprinter::deviceIdAnswer(f);
        return std::string(id.begin() + (id.empty() ? 0 : 2), id.end());
    };
    const Bytes id = vprinter::deviceIdAnswer(DeviceIdFault::None);
    EXPECT_EQ(id[0] * 256 + id[1], static_cast<int>(id.size()));
    EXPECT_NE(text(DeviceIdFault::None).find("MDL:PV4410S ;"), std::string::npos);
    EXPECT_EQ(text(DeviceIdFault::NoModel).find("MDL:"), std::string::npos);
    EXPECT_NE(text(DeviceIdFault::ModelCase).find("MDL:pv4410s ;"), std::string::npos);
    EXPECT_NE(text(DeviceIdFault::ModelSpacing).find("MDL:PV4410S;"), std::string::npos);
    EXPECT_TRUE(vprinter::deviceIdAnswer(DeviceIdFault::Empty).empty());
}

TEST_F(ModelTest, DescriptorsNameThePrinterInterfaceAndItsEndpoints) {
    const Bytes d = vprinter::descriptors({});
    ASSERT_EQ(d.size(), 18u + 32u);
    EXPECT_EQ(d[8] | d[9] << 8, 0x7A3C);
    EXPECT_EQ(d[10] | d[11] << 8, 0x0512);
    EXPECT_EQ(Bytes(d.begin() + 18 + 9 + 4, d.begin() + 18 + 9 + 8), (Bytes{2, 7, 1, 2}));
    EXPECT_EQ(d[18 + 18 + 2], 0x01);
    EXPECT_EQ(d[18 + 25 + 2], 0x82);
    vprinter::Faults noIn;
    noIn.noBulkIn = true;
    const Bytes n = vprinter::descriptors(noIn);
    EXPECT_EQ(n.size(), 18u + 25u);
    EXPECT_EQ(n[18 + 2], 25);
    EXPECT_EQ(n[18 + 9 + 4], 1);
}

TEST_F(ModelTest, FaultsChangeWritesAndReplies) {
    vprinter::Options o;
    ASSERT_EQ(vprinter::applyFault("stall-write=2", o.faults), "");
    ASSERT_EQ(vprinter::applyFault("fail-write=3", o.faults), "");
    ASSERT_EQ(vprinter::applyFault("refuse=readback-on", o.faults), "");
    ASSERT_EQ(vprinter::applyFault("throttle=1000", o.faults), "");
    ASSERT_EQ(vprinter::applyFault("short-reply=47", o.faults), "");
    make(o, true);
    EXPECT_EQ(send(kInit).takesMs, 4u);
    EXPECT_EQ(send(kInit).kind, WriteResult::Kind::Stalled);
    EXPECT_EQ(send(kInit).kind, WriteResult::Kind::Refused);
    EXPECT_EQ(send(kReadBackOn).kind, WriteResult::Kind::Refused);
    EXPECT_FALSE(printer->readBackMode());
    EXPECT_EQ(versionReply().size(), 47u);

    vprinter::Options h;
    h.faults.badHeader = true;
    make(h);
    EXPECT_EQ(versionReply()[2], 0x01);

    vprinter::Options s;
    s.faults.stallRead = true;
    make(s);
    EXPECT_TRUE(versionReply().empty());
}

TEST_F(ModelTest, StreamFaultsCutTheLoad) {
    vprinter::Options o;
    o.faults.shortStreamWrite = 2;
    make(o);
    const Bytes image = vptest::image("301F11", vprinter::kMainVersionAddress);
    const auto parts = vptest::chunks(image);
    send(kEraseMain);
    clock.advance(o.eraseMs);
    send(kTransferMain);
    EXPECT_EQ(send(parts[0]).accepted, 4096u);
    EXPECT_EQ(send(parts[1]).accepted, 2048u);
    send(kReset);
    EXPECT_EQ(lastVerdict(), "invalid cut short by reset");

    o.faults = {};
    o.faults.disconnectAtStream = 2;
    make(o);
    send(kEraseMain);
    clock.advance(o.eraseMs);
    send(kTransferMain);
    send(parts[0]);
    EXPECT_EQ(send(parts[1]).kind, WriteResult::Kind::Disconnected);
    EXPECT_EQ(lastVerdict(), "invalid cut short by disconnect");
    clock.advance(3'600'000);
    EXPECT_FALSE(printer->onBus());
}

TEST_F(ModelTest, ResetFaultsChangeWhatComesBack) {
    vprinter::Options o;
    o.faults.noReturn = true;
    make(o);
    send(kReset);
    clock.advance(3'600'000);
    EXPECT_FALSE(printer->onBus());

    ASSERT_EQ(vprinter::applyFault("return-version=402B11:705C11", o.faults), "");
    o.faults.noReturn = false;
    make(o);
    EXPECT_EQ(printer->mainVersion(), "301B10") << "only a reboot reports the other version";
    resetAndReboot();
    EXPECT_EQ(printer->mainVersion(), "402B11");
    EXPECT_EQ(printer->tableVersion(), "705C11");

    vprinter::Options a;
    a.faults.absent = true;
    make(a);
    EXPECT_FALSE(printer->onBus());
}

TEST(FaultNames, BadSpecificationsAreRejectedWithAReason) {
    vprinter::Faults f;
    EXPECT_NE(vprinter::applyFault("sideways", f), "");
    EXPECT_NE(vprinter::applyFault("short-write", f), "");
    EXPECT_NE(vprinter::applyFault("short-write=0", f), "");
    EXPECT_NE(vprinter::applyFault("short-reply=48", f), "");
    EXPECT_NE(vprinter::applyFault("long-reply=48", f), "");
    EXPECT_NE(vprinter::applyFault("serial=two words", f), "");
    EXPECT_NE(vprinter::applyFault("serial=" + std::string(127, 'A'), f), "");
    EXPECT_NE(vprinter::applyFault("serial=VIRTUAL-\xC3", f), "") << "cut UTF-8";
    EXPECT_NE(vprinter::applyFault("serial=VIRTUAL-\xC0\xAF", f), "") << "overlong UTF-8";
    EXPECT_NE(vprinter::applyFault("serial=VIRTUAL-\u0085", f), "") << "a C1 control";
    EXPECT_NE(vprinter::applyFault("serial-unreadable=0", f), "");
    EXPECT_NE(vprinter::applyFault("absent=1", f), "");
    EXPECT_NE(vprinter::applyFault("refuse=print", f), "");
    EXPECT_NE(vprinter::applyFault("return-version=3011", f), "");
    EXPECT_FALSE(f.any());
    EXPECT_EQ(vprinter::applyFault("id-model-spacing", f), "");
    EXPECT_EQ(f.deviceId, vprinter::DeviceIdFault::ModelSpacing);
}

// The options as an environment variable gives them: words, then printers by port.
TEST(Setup, OptionsMakeThePrintersOrSayWhatIsWrong) {
    vprinter::Setup setup;
    ASSERT_EQ(vprinter::parseSetup(vprinter::splitWords("  --main-version 503B10 --trace\t"
                                                        "--printer main=301B10 --printer "
                                                        "serial=X,fault=no-return "),
                                   setup),
              "");
    std::vector<vprinter::Options> printers;
    ASSERT_EQ(vprinter::printerOptions(setup, printers), "");
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_TRUE(setup.trace);
    EXPECT_EQ(printers[0].mainVersion + printers[0].serial, "301B10VIRTUAL-0001");
    EXPECT_EQ(printers[1].mainVersion + printers[1].serial, "503B10X");
    EXPECT_TRUE(printers[1].faults.noReturn && printers[1].namedInTrace);
    for (const char* bad : {"--main-version 5031", "--erase-ms soon", "--fault", "--colour red",
                            "--fault sideways"}) {
        vprinter::Setup s;
        EXPECT_NE(vprinter::parseSetup(vprinter::splitWords(bad), s), "") << bad;
    }
    setup.printers = {"main=301B10,serial"};
    EXPECT_EQ(vprinter::printerOptions(setup, printers), "--printer: 'serial' is not KEY=VALUE");
}

TEST(Trace, RendersReadableLinesAndJson) {
    vprinter::TraceBuilder b(12345, "verdict");
    b.text("area", "p").number("bytes", 64).text("reason", "say \"hi\"\n");
    const auto e = b.done();
    EXPECT_EQ(e.readable(), "    12.345 s  verdict area=p bytes=64 reason=say \"hi\"\n");
    vprinter::Trace named;
    named.namePrinter("VIRTUAL-0002");
    named.add(vprinter::TraceBuilder(0, "reply").number("bytes", 48).done());
    EXPECT_EQ(named.events()[0].json(),
              "{\"t_ms\":0,\"event\":\"reply\",\"bytes\":48,\"printer\":\"VIRTUAL-0002\"}")
        << "the printer comes last, so that readers of the other fields are not disturbed";
    EXPECT_EQ(e.json(),
              "{\"t_ms\":12345,\"event\":\"verdict\",\"area\":\"p\",\"bytes\":64,"
              "\"reason\":\"say \\\"hi\\\"\\n\"}");
}

}  // namespace
