// The fault matrix: a whole download against every fault of the virtual printer, and of the path
// to it, at every stage where it can strike. Each row says what the user is shown, which commands
// the printer receives (the reset among them after every failure past the initialise stage) and
// how long the run takes in virtual time. One test runs every row and checks, besides, what every
// run ends with: the images freed, "DownLoad" enabled and focused, the embedded images untouched,
// real time bounded and, in sanitizer builds, no leak.
//
// The same rows print as docs/fault-matrix.md; FaultMatrixDocument fails when that file differs.
// Regenerate it with scripts/fault-matrix (or PV_WRITE_FAULT_MATRIX=1 download_test).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "download/history.h"
#include "download/sleep_inhibitor.h"
#include "download_fixture.h"
#include "platform/os/file_lock.h"
#include "platform/os/log.h"
#include "refusing_port.h"

#if defined(__SANITIZE_ADDRESS__)
#define PV_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PV_LEAK_CHECK 1
#endif
#endif
#ifdef PV_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace pv::download::testing {
namespace {

using Ms = std::uint64_t;

// The fixed waits of a download, in virtual milliseconds.
constexpr Ms kInitialised = 5'000;   // 100 steps of 50 ms after the initialise command
constexpr Ms kVersionReply = 5'000;  // for the version reply, before reading it
constexpr Ms kShownAt100 = 500;      // the bar at 100 % once a reply is in
constexpr Ms kAreaPause = 100;       // after each erase and each transfer command
constexpr Ms kMainErase = 15'000;
constexpr Ms kTableErase = 30'000;
constexpr Ms kReset = 2'000;
constexpr Ms kRestart = 8'000;
constexpr Ms kReopening = Ms{25} * 1'000;  // 25 attempts to find the printer again
constexpr Ms kMainTimeLimit = 35'000;
constexpr Ms kTableTimeLimit = 60'000;

// How far a run got, as the sum of the waits on its way.
constexpr Ms kVersionKnown = kInitialised + kVersionReply + kShownAt100;
constexpr Ms kMainErased = kVersionKnown + kAreaPause + kMainErase;
constexpr Ms kMainSent = kMainErased + kAreaPause;  // streaming itself takes no virtual time
constexpr Ms kTableSent = kMainSent + kAreaPause + kTableErase + kAreaPause;
constexpr Ms kReadBackMode = kTableSent + kReset + kRestart;  // read-back mode is asked for
constexpr Ms kReadBack = kReadBackMode + kVersionReply + kShownAt100;

// The main image (480,238 bytes) goes out as 117 chunks of 4,096 bytes and a 1,024-byte tail
// write: 118 stream writes. The table image (1,238,348 bytes) goes out in 303.
// The rows' short-write faults name these write numbers.
constexpr std::uint32_t kMainWrites = 118;
constexpr std::uint32_t kTableWrites = 303;
constexpr Ms kMainStreamBytes = Ms{117} * 4096 + 1024;
static_assert(payload::kImages[0].size / 4096 + 1 == kMainWrites);
static_assert(payload::kImages[payload::kTableImage].size / 4096 + 1 == kTableWrites);
static_assert(payload::kImages[0].size % 4096 / 64 * 64 + 64 == kMainStreamBytes - Ms{117} * 4096);
// Virtual time a printer accepting `bytesPerSecond` takes for the whole main image.
constexpr Ms mainStreamMs(Ms bytesPerSecond) {
    return kMainStreamBytes * 1000 / bytesPerSecond;
}

// The longest the windows may go without a drain, outside the printer's own transfer time.
constexpr Ms kLongestUndrained = 250;
Ms longestUndrainedOfAllRows = 0;
// The serial number of the virtual printer of every row.
const char* const kVirtualSerial = "VIRTUAL-0001";

// Real time any row may take: stalled transfers end by the port's quick time-outs below.
constexpr auto kRealTimeLimit = std::chrono::seconds(10);
// Short enough that a stalled transfer costs little real time, long enough for any real one.
constexpr usbport::Timeouts kQuickTimeouts = {500, 500, 500};

enum class Stage { Initialise, VersionCheck, Assembly, Send, SendMain, SendTable, Reset, ReadBack };

// What the user is shown: a string id of an "Error" box, or one of the others.
enum class Message {
    None = 0,
    NotApplicable = 1,  // the "Version Check" box
    NotConnected = 1010,
    Failed = 1011,
    IllegalType = 1012,
    FailedVersion = 1013,
    NotConnectedTurnOffOn = 1014,
    TimeOut = 1015,
    StandInOnly = 2,   // the "Error" box of a stand-in build that met a printer not virtual
    Success = 3,       // the "Success!" box
    LockUnusable = 4,  // the "Error" box naming the lock file and what is wrong with it
};

// The image source the catalogue assembles from.
enum class Images { Embedded, DamagedTable, NoMemory };

struct Row {
    Stage stage;
    const char* name;                      // of the test
    const char* what;                      // the fault in words
    std::vector<std::string> faults = {};  // the printer's
    std::set<int> refusedOpens = {};       // control-channel opens the port refuses, from 1
    Images images = Images::Embedded;
    const char* logs = "";         // what the log line of the cause names
    bool standInImages = true;     // the build carries stand-in images
    bool lockedElsewhere = false;  // another copy of the tool holds the printer's lock
    bool lockIsAFolder = false;    // a folder stands where the printer's lock file goes
    // A second printer at port 1-2 running this main version (and table 705B11), or none.
    const char* secondPrinter = nullptr;
    bool twin = false;               // the second printer has the same serial number as the first
    const char* printer = "301B10";  // the main version the printer runs
    Message message = Message::Failed;
    Names commands = {};
    Ms virtualMs = 0;         // the fixed waits on its way; the run may take up to 1 % more
    std::string afterMain{};  // what the "After download" row shows
    std::string afterTable{};
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

Names append(Names names, const Names& more) {
    names.insert(names.end(), more.begin(), more.end());
    return names;
}

const Names kInitialisedThenReset = {"initialise", "reset"};
const Names kAsked = {"initialise", "version-request"};
const Names kAskedThenReset = append(kAsked, {"reset"});
const Names kMainErasedThenReset = append(kAsked, {"erase p", "reset"});
const Names kMainSentThenReset = append(kAsked, {"erase p", "transfer p", "reset"});
const Names kTableErasedThenReset = append(kAsked, {"erase p", "transfer p", "erase t", "reset"});
const Names kBothSentThenReset =
    append(kAsked, {"erase p", "transfer p", "erase t", "transfer t", "reset"});

// Without the reset the printer stays in its loader, which refuses read-back mode.
const Names kNotRestarted = append(kAsked, {"erase p", "transfer p", "erase t", "transfer t"});

// Laid out by hand: clang-format would give every field of every row a line of its own.
// clang-format off
const Row kRows[] = {
    // Initialise: nothing was asked of the printer yet, so it is not reset.
    {.stage = Stage::Initialise, .name = "Absent", .what = "no printer on the bus",
     .faults = {"absent"}, .logs = "no 7a3c:0512 device is attached",
     .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "LinkDoesNotOpen", .what = "link does not open",
     .refusedOpens = {1}, .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "NoBulkInPipe", .what = "printer without a bulk IN pipe",
     .faults = {"no-bulk-in"}, .logs = "has no bulk IN endpoint",
     .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "DeviceIdWithoutModel", 
     .what = "wrong model: no model entry", .faults = {"id-no-model"},
     .logs = "the device ID does not name the PV4410S",
     .message = Message::IllegalType},
    {.stage = Stage::Initialise, .name = "ModelInLowerCase", .what = "wrong model: lower case",
     .faults = {"id-model-case"}, .message = Message::IllegalType},
    {.stage = Stage::Initialise, .name = "ModelWithoutSpace", .what = "wrong model: no space",
     .faults = {"id-model-spacing"}, .message = Message::IllegalType},
    {.stage = Stage::Initialise, .name = "EmptyDeviceId", .what = "wrong model: empty device ID",
     .faults = {"id-empty"}, .message = Message::IllegalType},
    {.stage = Stage::Initialise, .name = "InitialiseRefused", .what = "initialise not written",
     .faults = {"refuse=initialise"}},
    {.stage = Stage::Initialise, .name = "InitialiseWriteStalled",
     .what = "initialise write stalls", .faults = {"stall-write=1"}},
    {.stage = Stage::Initialise, .name = "InterfaceBusy",
     .what = "another program holds the printer interface", .faults = {"busy"},
     .logs = "(LIBUSB_ERROR_BUSY)", .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "PrintJobThroughTheDriver",
     .what = "a print job holds the printer driver's node", .faults = {"print-job"},
     .logs = "is printing: /dev/usb/lp0 is open in process", .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "StandInBuildMeetsARealPrinter",
     .what = "a build with stand-in images meets a printer that is not virtual",
     .faults = {"serial=PV4410S-0001"}, .logs = "refused printer \"PV4410S-0001\" at 1-1",
     .message = Message::StandInOnly},
    // A serial that cannot be read is not taken for none: the printer would be bound by its port
    // and lost at the next open, which reads the serial.
    {.stage = Stage::Initialise, .name = "SerialUnreadable",
     .what = "the serial number string cannot be read", .faults = {"serial-unreadable=1000"},
     .logs = "cannot read the serial number of 7a3c:0512 at 1-1", .message = Message::NotConnected},
    {.stage = Stage::Initialise, .name = "LockFileIsAFolder",
     .what = "the printer's lock file cannot be used",
     .logs = "pv4410s-port-1-1.lock is a folder (owner root", .lockIsAFolder = true,
     .message = Message::LockUnusable},
    {.stage = Stage::Initialise, .name = "LockedByAnotherCopy",
     .what = "another copy of the updater holds the printer", .lockedElsewhere = true,
     .message = Message::NotConnected},

    // Version check: a failed reply shows its message while the stage's progress window is up.
    {.stage = Stage::VersionCheck, .name = "VersionCheckLinkDoesNotOpen",
     .what = "link does not open", .refusedOpens = {2}, .message = Message::NotConnectedTurnOffOn,
     .commands = kInitialisedThenReset, .virtualMs = kInitialised + kReset},
    {.stage = Stage::VersionCheck, .name = "VersionRequestRefused",
     .what = "version request not written", .faults = {"refuse=version-request"},
     .message = Message::FailedVersion, .commands = kInitialisedThenReset,
     .virtualMs = kInitialised + kReset},
    {.stage = Stage::VersionCheck, .name = "ReplyOneByteShort", .what = "reply one byte short",
     .faults = {"short-reply=47"}, .message = Message::FailedVersion, .commands = kAskedThenReset,
     .virtualMs = kInitialised + kVersionReply + kReset},
    {.stage = Stage::VersionCheck, .name = "EmptyReply", .what = "empty reply",
     .faults = {"short-reply=0"}, .message = Message::FailedVersion, .commands = kAskedThenReset,
     .virtualMs = kInitialised + kVersionReply + kReset},
    {.stage = Stage::VersionCheck, .name = "ReplyTooLong", .what = "reply longer than asked for",
     .faults = {"long-reply=64"}, .logs = "(LIBUSB_ERROR_OVERFLOW)",
     .message = Message::FailedVersion, .commands = kAskedThenReset,
     .virtualMs = kInitialised + kVersionReply + kReset},
    {.stage = Stage::VersionCheck, .name = "ReplyWithBadHeader", .what = "malformed reply",
     .faults = {"bad-header"}, .message = Message::FailedVersion, .commands = kAskedThenReset,
     .virtualMs = kInitialised + kVersionReply + kReset},
    {.stage = Stage::VersionCheck, .name = "ReplyNeverComes", .what = "reply never comes",
     .faults = {"stall-read"}, .logs = "(LIBUSB_ERROR_TIMEOUT)", .message = Message::FailedVersion,
     .commands = kAskedThenReset,
     .virtualMs = kInitialised + kVersionReply + kReset},
    {.stage = Stage::VersionCheck, .name = "UnknownVersion", .what = "version not in the map",
     .logs = "999A10 is not in the version map", .printer = "999A10",
     .message = Message::NotApplicable, .commands = kAskedThenReset,
     .virtualMs = kVersionKnown + kReset},
    // As an unknown version, but the log line says how to restore the firmware.
    {.stage = Stage::VersionCheck, .name = "NoValidFirmware",
     .what = "no valid main firmware, as after a cut-off image",
     .logs = "restore it with \"pv4410s-update update --recover\"", .printer = "------",
     .message = Message::NotApplicable, .commands = kAskedThenReset,
     .virtualMs = kVersionKnown + kReset},

    // Assembly: nothing is shown and nothing is sent.
    {.stage = Stage::Assembly, .name = "DamagedTableImage", .what = "table image fails its check",
     .images = Images::DamagedTable, .message = Message::None, .commands = kAskedThenReset,
     .virtualMs = kVersionKnown + kReset},
    {.stage = Stage::Assembly, .name = "NoMemoryForImages", .what = "no memory for the images",
     .images = Images::NoMemory, .message = Message::None, .commands = kAskedThenReset,
     .virtualMs = kVersionKnown + kReset},

    // Send: the message shows over the "Upgrade" window, before the reset.
    {.stage = Stage::Send, .name = "SendLinkDoesNotOpen", .what = "link does not open",
     .refusedOpens = {3}, .message = Message::NotConnectedTurnOffOn, .commands = kAskedThenReset,
     .virtualMs = kVersionKnown + kReset},
    {.stage = Stage::SendMain, .name = "MainEraseRefused", .what = "erase not written",
     .faults = {"refuse=erase"}, .commands = kAskedThenReset, .virtualMs = kVersionKnown + kReset},
    {.stage = Stage::SendMain, .name = "MainTransferRefused", .what = "transfer not written",
     .faults = {"refuse=transfer"}, .commands = kMainErasedThenReset,
     .virtualMs = kMainErased + kReset},
    {.stage = Stage::SendMain, .name = "MainShortAtFirstChunk", .what = "short write, first of 118",
     .faults = {"short-write=1"}, .commands = kMainSentThenReset, .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendMain, .name = "MainShortAtMiddleChunk",
     .what = "short write, 59th of 118", .faults = {"short-write=59"},
     .commands = kMainSentThenReset, .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendMain, .name = "MainShortAtLastWrite", .what = "short write, last of 118",
     .faults = {"short-write=118"}, .commands = kMainSentThenReset,
     .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendMain, .name = "MainChunkRefused", .what = "chunk refused by a pipe stall",
     .faults = {"fail-write=6"}, .logs = "(LIBUSB_ERROR_PIPE); halt cleared",
     .commands = kMainSentThenReset, .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendMain, .name = "MainChunkStalls", .what = "chunk write stalls",
     .faults = {"stall-write=5"}, .logs = "(LIBUSB_ERROR_TIMEOUT)",
     .commands = kMainSentThenReset, .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendMain, .name = "MainImageTimesOut", .what = "time-out: 9,000 bytes/s",
     .faults = {"throttle=9000"}, .message = Message::TimeOut, .commands = kMainSentThenReset,
     .virtualMs = kMainSent + kMainTimeLimit + kReset},
    // Gone for good: the reset stage finds no printer and sends nothing.
    {.stage = Stage::SendMain, .name = "UnpluggedMidStream", .what = "disconnect mid-stream",
     .faults = {"disconnect-at=59"}, .logs = "(LIBUSB_ERROR_NO_DEVICE)",
     .commands = append(kAsked, {"erase p", "transfer p"}),
     .virtualMs = kMainSent},
    // Bulk OUT write 123 is the table's erase, 124 its transfer (4 commands, 118 writes before).
    {.stage = Stage::SendTable, .name = "TableEraseRefused", .what = "erase not written",
     .faults = {"fail-write=123"}, .commands = kMainSentThenReset, .virtualMs = kMainSent + kReset},
    {.stage = Stage::SendTable, .name = "TableTransferRefused", .what = "transfer not written",
     .faults = {"fail-write=124"}, .commands = kTableErasedThenReset,
     .virtualMs = kTableSent - kAreaPause + kReset},
    {.stage = Stage::SendTable, .name = "TableShortAtMiddleChunk",
     .what = "short write, 152nd of 303", .faults = {"short-write=152"},
     .commands = kBothSentThenReset, .virtualMs = kTableSent + kReset},
    {.stage = Stage::SendTable, .name = "TableShortAtLastWrite", .what = "short write, last of 303",
     .faults = {"short-write=303"}, .commands = kBothSentThenReset,
     .virtualMs = kTableSent + kReset},
    {.stage = Stage::SendTable, .name = "TableImageTimesOut", .what = "time-out: 16,000 bytes/s",
     .faults = {"throttle=16000"}, .message = Message::TimeOut, .commands = kBothSentThenReset,
     .virtualMs = kTableSent + mainStreamMs(16'000) + kTableTimeLimit + kReset},

    // Reset: the printer is not restarted and reports what it ran before, which is a failure.
    {.stage = Stage::Reset, .name = "ResetRefused", .what = "reset not written",
     .faults = {"refuse=reset"}, .commands = kNotRestarted, .virtualMs = kReadBackMode},
    {.stage = Stage::Reset, .name = "ResetLinkDoesNotOpen", .what = "link does not open",
     .refusedOpens = {4}, .commands = kNotRestarted, .virtualMs = kReadBackMode - kReset},

    // Read back.
    {.stage = Stage::ReadBack, .name = "NeverReturns", .what = "printer never returns",
     .faults = {"no-return"}, .logs = "VIRTUAL-0001 is not attached",
     .commands = kBothSentThenReset,
     .virtualMs = kTableSent + kReset + kRestart + kReopening},
    // The other printer already runs the versions sent: only the updated one may answer.
    {.stage = Stage::ReadBack, .name = "NeverReturnsAnotherPrinterAttached",
     .what = "printer never returns, another one with the new versions is attached",
     .faults = {"no-return"}, .logs = "VIRTUAL-0001 is not attached", .secondPrinter = "301F11",
     .commands = kBothSentThenReset, .virtualMs = kTableSent + kReset + kRestart + kReopening},
    // The same with its twin: a second printer with the same serial is still another printer.
    {.stage = Stage::ReadBack, .name = "NeverReturnsItsTwinAttached",
     .what = "printer never returns, another one with its serial and the new versions is attached",
     .faults = {"no-return"}, .logs = "VIRTUAL-0001 at 1-1 is not attached",
     .secondPrinter = "301F11", .twin = true, .commands = kBothSentThenReset,
     .virtualMs = kTableSent + kReset + kRestart + kReopening},
    {.stage = Stage::ReadBack, .name = "MakersBuildUpdatesARealPrinter",
     .what = "a build with the maker's images updates a printer that is not virtual",
     .faults = {"serial=PV4410S-0001"}, .standInImages = false, .message = Message::Success,
     .commands = kMainAndTableCommands, .virtualMs = kReadBack, .afterMain = "301F11",
     .afterTable = "705B11"},
    {.stage = Stage::ReadBack, .name = "SerialReadFailsOnce",
     .what = "the first request for the serial number string fails, the second is answered",
     .faults = {"serial-unreadable=1"}, .message = Message::Success,
     .commands = kMainAndTableCommands, .virtualMs = kReadBack, .afterMain = "301F11",
     .afterTable = "705B11"},
    {.stage = Stage::ReadBack, .name = "ReadBackModeRefused", .what = "read-back mode refused",
     .faults = {"refuse=readback-on"}, .commands = kBothSentThenReset, .virtualMs = kReadBackMode},
    {.stage = Stage::ReadBack, .name = "ReadBackModeOffRefused",
     .what = "read-back mode off refused", .faults = {"refuse=readback-off"},
     .commands = append(kBothSentThenReset, {"readback-on", "version-request"}),
     .virtualMs = kReadBackMode + kVersionReply},
    // Back with versions other than those sent: shown, and reported as a failure.
    {.stage = Stage::ReadBack, .name = "ReturnsWithAnotherMainVersion",
     .what = "returns with another main version", .faults = {"return-version=301F12"},
     .logs = "the printer runs main \"301F12\"",
     .commands = kMainAndTableCommands, .virtualMs = kReadBack,
     .afterMain = "301F12", .afterTable = "705B11"},
    {.stage = Stage::ReadBack, .name = "ReturnsWithTheOldMainVersion",
     .what = "returns with the old main version", .faults = {"return-version=301F10"},
     .commands = kMainAndTableCommands, .virtualMs = kReadBack,
     .afterMain = "301F10", .afterTable = "705B11"},
    {.stage = Stage::ReadBack, .name = "MainVersionInOtherCase",
     .what = "returns with the main version in lower case", .faults = {"return-version=301f11"},
     .commands = kMainAndTableCommands, .virtualMs = kReadBack,
     .afterMain = "301f11", .afterTable = "705B11"},
    {.stage = Stage::ReadBack, .name = "ReturnsWithAnotherTableVersion",
     .what = "returns with another table version", .faults = {"return-version=301F11:705B12"},
     .commands = kMainAndTableCommands, .virtualMs = kReadBack,
     .afterMain = "301F11", .afterTable = "705B12"},
};
// clang-format on

const char* stageText(Stage stage) {
    switch (stage) {
        case Stage::Initialise:
            return "Initialise";
        case Stage::VersionCheck:
            return "Version check";
        case Stage::Assembly:
            return "Assembly";
        case Stage::Send:
            return "Send";
        case Stage::SendMain:
            return "Send: main image";
        case Stage::SendTable:
            return "Send: table image";
        case Stage::Reset:
            return "Reset";
        case Stage::ReadBack:
            return "Read back";
    }
    return "?";
}

std::string errorText(Message message) {
    const std::string turnOffAndOn =
        "\nPlease turn the printer OFF and then ON, and download again.";
    switch (message) {
        case Message::NotConnected:
            return "Printer is not connected.";
        case Message::Failed:
            return "Failed!" + turnOffAndOn;
        case Message::IllegalType:
            return "Illegal Printer Type.";
        case Message::FailedVersion:
            return "Failed Version Information!" + turnOffAndOn;
        case Message::NotConnectedTurnOffOn:
            return "Printer is not connected." + turnOffAndOn;
        case Message::TimeOut:
            return "Failed! Time out Error!" + turnOffAndOn;
        case Message::StandInOnly:
            return "This build of the updater carries test firmware only: it updates virtual "
                   "printers only, and has left this printer as it was.\nTo update a real "
                   "printer, build the updater with the maker's firmware images (cmake "
                   "-DPV4410S_FIRMWARE_DIR=<folder>).";
        case Message::LockUnusable:
            return "The lock file that keeps other copies of the updater away from this printer "
                   "cannot be used, so nothing was sent to the printer:\n";
        case Message::None:
        case Message::NotApplicable:
        case Message::Success:
            break;
    }
    return "";
}
const char* const kNotApplicable =
    "This program is not applicable on this printer.\n\nMain firm ware : %s / %04X";

// The printer's version was in the map, so images were picked and labelled.
bool matched(const Row& row) {
    return row.stage >= Stage::Assembly;
}
// The printer's version reply was read, so the "Before download" row shows it.
bool replyRead(const Row& row) {
    return matched(row) || row.message == Message::NotApplicable;
}
// Progress windows on screen while the message shows: the version check's own window for a
// failed reply, the "Upgrade" window for every failure of the send stage; none otherwise.
int windowsUnderBox(const Row& row) {
    const bool sending = row.stage >= Stage::Send && row.stage <= Stage::SendTable;
    return sending || row.message == Message::FailedVersion ? 1 : 0;
}
bool resets(const Row& row) {
    return std::find(row.commands.begin(), row.commands.end(), "reset") != row.commands.end();
}
std::ptrdiff_t transfers(const Row& row) {
    return std::count_if(row.commands.begin(), row.commands.end(),
                         [](const std::string& c) { return c.starts_with("transfer"); });
}
// The number N of the row's "name=N" fault, 0 without one.
std::uint32_t faultNumber(const Row& row, const std::string& name) {
    for (const auto& fault : row.faults)
        if (fault.starts_with(name + "="))
            return static_cast<std::uint32_t>(std::stoul(fault.substr(name.size() + 1)));
    return 0;
}
// What the log line of the row's cause names through the port under test: the usbprint port
// names the system's errors where the libusb port names libusb's.
std::string logged(const Row& row) {
    std::string text = row.logs;
#ifdef PV_VPRINTER_MODEL_BUS
    const std::pair<const char*, const char*> kNames[] = {
        {"(LIBUSB_ERROR_BUSY)", "(ERROR_SHARING_VIOLATION)"},
        {"is printing: /dev/usb/lp0 is open in process", "(ERROR_SHARING_VIOLATION)"},
        {"(LIBUSB_ERROR_OVERFLOW)", "(ERROR_MORE_DATA)"},
        {"(LIBUSB_ERROR_TIMEOUT)", "(ERROR_TIMEOUT)"},
        {"(LIBUSB_ERROR_PIPE); halt cleared", "(ERROR_GEN_FAILURE)"},
        {"(LIBUSB_ERROR_NO_DEVICE)", "(ERROR_DEVICE_NOT_CONNECTED)"}};
    for (const auto& [libusb, system] : kNames)
        if (text == libusb)
            text = system;
#endif
    return text;
}
// Why a row cannot run through the port under test, or nullptr.
const char* notHere(const Row& row) {
    const std::string name = row.name;
#ifdef PV_VPRINTER_MODEL_BUS
    if (name == "NoBulkInPipe")
        return "the printer class driver opens a printer without a bulk IN endpoint as any other; "
               "its first read fails (a version-check failure, not a refused open)";
    if (name == "SerialUnreadable" || name == "SerialReadFailsOnce")
        return "the system reads the serial once, as the printer appears; one it cannot read "
               "gives an id made from the port (no serial), which the printer keeps until it "
               "appears again";
#endif
#ifdef _WIN32
    if (name == "LockFileIsAFolder")
        return "the printers' locks are named mutexes on Windows: there is no lock file";
#endif
    (void)row;
    return nullptr;
}
bool stalls(const Row& row) {
    return std::any_of(row.faults.begin(), row.faults.end(),
                       [](const std::string& f) { return f.starts_with("stall"); });
}

// The embedded images with one byte of the table image changed.
class DamagedTable final : public payload::ImageSource {
  public:
    DamagedTable() {
        const auto table = payload::embeddedImages().image(payload::kTableImage);
        bytes_.assign(table.begin(), table.end());
        bytes_[bytes_.size() / 2] ^= 0x01;
    }
    std::span<const std::uint8_t> image(std::size_t index) const override {
        if (index == payload::kTableImage)
            return bytes_;
        return payload::embeddedImages().image(index);
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

// A fingerprint (FNV-1a) of every byte of the embedded images.
std::uint64_t embeddedImagesHash() {
    std::uint64_t hash = 0xCBF29CE484222325u;
    for (std::size_t i = 0; i < payload::kImageCount; ++i)
        for (std::uint8_t byte : payload::embeddedImages().image(i))
            hash = (hash ^ byte) * 0x100000001B3u;
    return hash;
}

// Counts the printer's commands when the run takes and lets go of its sleep inhibitor.
class WatchingInhibitor final : public SleepInhibitor {
  public:
    explicit WatchingInhibitor(std::function<std::size_t()> commands)
        : commands_(std::move(commands)) {}
    bool acquire() override {
        atAcquire.push_back(commands_());
        return true;
    }
    void release() override { atRelease.push_back(commands_()); }

    std::vector<std::size_t> atAcquire, atRelease;

  private:
    std::function<std::size_t()> commands_;
};

class FaultMatrixRow : public DownloadOnPrinter, public ::testing::WithParamInterface<Row> {
  protected:
    // Runs the row's download on a port that refuses the row's opens (stalls end quickly).
    void runRow(const Row& row) {
        const DamagedTable damaged;
        const payload::FirmwareCatalogue damagedCatalogue(damaged);
        const payload::FirmwareCatalogue noMemory(payload::embeddedImages(),
                                                  [](std::uint32_t) { return nullptr; });
        if (row.images == Images::DamagedTable)
            catalogue = &damagedCatalogue;
        if (row.images == Images::NoMemory)
            catalogue = &noMemory;
        RefusingPort port(row.refusedOpens, stalls(row) ? kQuickTimeouts : usbport::Timeouts{});
        usbport::ScopedPort installed(port);
        standInImages = row.standInImages;
        os::FileLock otherCopy;
        const std::string lockPath = link::printerLockPath({kVirtualSerial, "1-1"});
        if (row.lockIsAFolder) {
            std::filesystem::remove(lockPath);  // left by the rows before
            ASSERT_TRUE(std::filesystem::create_directory(lockPath)) << lockPath;
        }
        if (row.lockedElsewhere) {
            ASSERT_EQ(otherCopy.acquire(link::printerLockPath({kVirtualSerial, "1-1"})),
                      os::FileLock::Result::Taken);
        }
        std::vector<vprinter::Options> others;
        if (row.secondPrinter != nullptr) {
            others.push_back(printerOptions(row.secondPrinter));
            others.back().tableVersion = "705B11";
            if (row.twin)
                others.back().faults.serial = kVirtualSerial;
        }
        run(printerOptions(row.printer, row.faults), others);
        catalogue = &embedded();
        if (row.lockIsAFolder)
            std::filesystem::remove(lockPath);
    }

    void expectMessage(const Row& row) {
        if (row.message == Message::None) {
            EXPECT_TRUE(window.boxes.empty());
        } else if (row.message == Message::Success) {
            expectOneBox("Success!", kSuccessText, BoxIcon::Information);
        } else if (row.message == Message::NotApplicable) {
            char text[160];
            const auto start = events("start");
            const auto sum =
                start.empty() ? 0 : std::stoul(start[0].field("main_sum"), nullptr, 16);
            std::snprintf(text, sizeof text, kNotApplicable, row.printer,
                          static_cast<unsigned>(sum));
            expectOneBox("Version Check", text, BoxIcon::Information);
        } else if (row.message == Message::LockUnusable) {
            ASSERT_EQ(window.boxes.size(), 1u);
            EXPECT_EQ(window.boxes[0].caption, "Error");
            EXPECT_TRUE(window.boxes[0].text.starts_with(errorText(row.message)))
                << window.boxes[0].text;
            EXPECT_NE(window.boxes[0].text.find("; an administrator can remove it (rm -r '" +
                                                link::printerLockPath({kVirtualSerial, "1-1"})),
                      std::string::npos)
                << window.boxes[0].text;
        } else {
            expectOneError(errorText(row.message));
        }
        if (!window.boxes.empty()) {
            EXPECT_EQ(window.boxes[0].progressWindowsOpen, windowsUnderBox(row));
        }
    }

    void expectDisplays(const Row& row) {
        const bool upgrade =
            std::any_of(window.progressWindows.begin(), window.progressWindows.end(),
                        [](const auto& p) { return p->titleId == kUpgradeCaption; });
        EXPECT_EQ(upgrade, row.stage >= Stage::Send) << "the \"Upgrade\" window";
        EXPECT_EQ(window.pushed.beforeMainVersion, replyRead(row) ? row.printer : "");
        // Every row whose version is in the map runs a 301 printer.
        EXPECT_EQ(window.shownMainLabel, matched(row) ? "301F11" : "");
        EXPECT_EQ(window.pushed.afterMainVersion, row.afterMain);
        EXPECT_EQ(window.pushed.afterTableVersion, row.afterTable);
        EXPECT_EQ(window.pushed.afterMainChecksum.size(), row.afterMain.empty() ? 0u : 4u);
        EXPECT_EQ(window.pushed.afterTableChecksum.size(), row.afterTable.empty() ? 0u : 4u);
    }

    void expectPrinterSaw(const Row& row) {
        EXPECT_EQ(commands(), row.commands);
        for (std::size_t i = 1; i < printers.size(); ++i)
            EXPECT_EQ(commands(*printers[i]), Names{}) << "another printer was sent commands";
        // The kernel's printer driver is bound again only once the run is over: after the last
        // command of the whole run.
        const auto trace = printer().trace();
        std::size_t lastCommand = 0;
        for (std::size_t i = 0; i < trace.size(); ++i)
            if (trace[i].name == "command")
                lastCommand = i;
        std::string lastDriverEvent;
        for (std::size_t i = 0; i < trace.size(); ++i) {
            if (trace[i].name == "driver-attach") {
                EXPECT_GT(i, lastCommand) << "driver bound again mid-run";
            }
            if (trace[i].name.starts_with("driver-"))
                lastDriverEvent = trace[i].name;
        }
        if (printer().onBus()) {
            EXPECT_NE(lastDriverEvent, "driver-detach") << "driver left unbound after the run";
        }
        EXPECT_EQ(static_cast<std::ptrdiff_t>(streams()), transfers(row));
        // A short write ends the stream there: nothing more of the image is written.
        if (const auto n = faultNumber(row, "short-write"); n != 0) {
            const auto verdicts = events("verdict");
            ASSERT_FALSE(verdicts.empty());
            EXPECT_EQ(verdicts.back().field("writes"), std::to_string(n));
        }
    }

    void expectTimes(const Row& row, std::chrono::steady_clock::duration real) {
        ASSERT_FALSE(window.eventTimes.empty());
        const Ms undrained = longestUndrained();
        longestUndrainedOfAllRows = std::max(longestUndrainedOfAllRows, undrained);
        std::printf("longest stretch without a drain: %llu ms (all rows so far: %llu ms)\n",
                    static_cast<unsigned long long>(undrained),
                    static_cast<unsigned long long>(longestUndrainedOfAllRows));
        EXPECT_LE(undrained, kLongestUndrained) << "virtual ms without a drain of the windows";
        const Ms virtualMs = window.eventTimes.back() - window.eventTimes.front();
        EXPECT_GE(virtualMs, row.virtualMs) << "virtual ms from the press to the end";
        EXPECT_LE(virtualMs, row.virtualMs + row.virtualMs / 100)
            << "virtual ms from the press to the end";
        EXPECT_LT(real, kRealTimeLimit) << "real time";
    }
};

TEST_P(FaultMatrixRow, EndsAsTheRowSays) {
    const Row& row = GetParam();
    if (const char* reason = notHere(row))
        GTEST_SKIP() << reason;
    static const std::uint64_t imagesBefore = embeddedImagesHash();
    const std::size_t historyBefore = readHistory().size();
    WatchingInhibitor inhibitor([this] { return commands().size(); });
    installSleepInhibitor(&inhibitor);
    const auto started = std::chrono::steady_clock::now();
    const os::CapturedLog log;
    runRow(row);
    const auto real = std::chrono::steady_clock::now() - started;
    installSleepInhibitor(nullptr);
    if (const std::string logs = logged(row); !logs.empty()) {
        EXPECT_TRUE(log.contains(logs)) << "no log line names " << logs;
    }

    // The desktop may not sleep from before the first command to after the last.
    EXPECT_EQ(inhibitor.atAcquire, std::vector<std::size_t>{0});
    EXPECT_EQ(inhibitor.atRelease, std::vector<std::size_t>{row.commands.size()});
    // One well-formed line of history per run, with its outcome.
    const auto history = readHistory();
    ASSERT_EQ(history.size(), historyBefore + 1);
    EXPECT_TRUE(history.back().find(std::string("\"outcome\":\"") + outcomeName(outcome)) !=
                std::string::npos)
        << history.back();

    expectMessage(row);
    expectPrinterSaw(row);
    expectDisplays(row);
    expectTimes(row, real);
    expectCleanEnd();
    EXPECT_EQ(embeddedImagesHash(), imagesBefore) << "the embedded images changed";
#ifdef PV_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leaks (see the report above)";
#endif
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixRow, ::testing::ValuesIn(kRows),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(DownloadOnPrinter, TimeOutStopsTheStreamAndTheTableIsNotTried) {
    run(printerOptions("301B10", {"throttle=9000"}));
    const auto verdicts = events("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].field("area"), "p");
    EXPECT_EQ(verdicts[0].field("reason"), "cut short by reset");
    // 35 s at 9,000 bytes per second: the first chunk written after the limit is the last.
    EXPECT_EQ(verdicts[0].field("writes"), "77");
}

// The matrix as a markdown document.

std::string join(const Names& names, const char* separator) {
    std::string joined;
    for (const auto& name : names)
        joined += (joined.empty() ? "" : separator) + name;
    return joined;
}

std::string faultCell(const Row& row) {
    std::string how;
    if (!row.faults.empty())
        how = "`" + join(row.faults, "` `") + "`";
    for (int open : row.refusedOpens)
        how = "the port refuses open " + std::to_string(open);
    if (row.images == Images::DamagedTable)
        how = "one byte of the table image changed";
    if (row.images == Images::NoMemory)
        how = "image buffers cannot be allocated";
    if (row.lockedElsewhere)
        how = "the printer's lock file is held";
    if (row.lockIsAFolder)
        how = "a folder stands at the lock file's path";
    if (!row.standInImages)
        how += ", a build with the maker's images";
    if (row.secondPrinter != nullptr)
        how += std::string(", a second printer") + (row.twin ? " with the same serial" : "") +
               " running " + row.secondPrinter + " at port 1-2";
    if (how.empty())
        how = std::string("printer runs ") + row.printer;
    return std::string(row.what) + " (" + how + ")";
}

std::string messageCell(Message message) {
    switch (message) {
        case Message::None:
            return "none";
        case Message::NotApplicable:
            return "\"Version Check\"";
        case Message::StandInOnly:
            return "\"Error\": test firmware only";
        case Message::LockUnusable:
            return "\"Error\": the lock file cannot be used";
        case Message::Success:
            return "\"Success!\"";
        default:
            return "\"Error\" " + std::to_string(static_cast<int>(message));
    }
}

std::string seconds(Ms ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    return text;
}

// Message texts as written in the document: line breaks as \n.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

std::string matrixDocument() {
    std::ostringstream doc;
    doc << "# Fault matrix\n\n"
           "Generated from the rows of `tests/download/fault_matrix_test.cpp` by "
           "`scripts/fault-matrix`; the test `FaultMatrixDocument.MatchesTheRows` fails when this "
           "file differs from them. Do not edit it by hand.\n\n"
           "Each row is a whole download, \"DownLoad\" pressed once, against the virtual printer "
           "(running main version 301B10 with table version 705A10 unless the row says otherwise) "
           "on the emulated bus, through the libusb port, in virtual time. The test "
           "`Matrix/FaultMatrixRow.EndsAsTheRowSays/<row>` asserts for every row:\n\n"
           "- exactly the message shown below (caption, text and icon), or none, and the progress "
           "windows on screen while it shows;\n"
           "- exactly the commands the printer received, in order (so the reset where it is "
           "due), and as many image streams as transfer commands; a short write ends its stream "
           "at that write;\n"
           "- the \"Before download\", \"Download F/W\" and \"After download\" texts;\n"
           "- the images freed, no progress window left, \"DownLoad\" enabled and focused as the "
           "last thing done, \"Get\\nChecksum\" disabled throughout;\n"
           "- the virtual time from the press to the end at least the fixed waits on the row's "
           "way (the column below) and at most 1 % more; real time under 10 s (a stalled "
           "transfer ends by the port's time-out, 500 ms here instead of the program's 5 s to "
           "10 s: the only real time a row waits);\n"
           "- the embedded images unchanged (a hash of all five before and after);\n"
           "- a log line naming the cause where the column says so;\n"
           "- the desktop's sleep inhibitor taken before the first command and let go after the "
           "last, and one well-formed line added to the download history, with the outcome;\n"
           "- the windows drained at least every 250 ms of virtual time, leaving out the time the "
           "printer itself takes to accept a transfer (the test prints the longest stretch);\n"
           "- in the `asan` preset, no leak: LeakSanitizer checks after every row, with no "
           "suppressions.\n\n"
           "The same rows run through the usbprint port (the USB printer class driver of "
           "Windows) against the printer presented as that driver: `download_usbprint_test` on "
           "Linux, `download_test` of the Windows build under Wine. There the log lines name the "
           "system's errors instead of libusb's, and `NoBulkInPipe` is skipped: that driver opens "
           "a printer without a bulk IN endpoint like any other.\n\n";
    doc << "| Stage | Fault | Message shown | The log line names | Reset sent | "
           "Commands the printer saw | Virtual time |\n"
           "|---|---|---|---|---|---|---|\n";
    for (const Row& row : kRows) {
        doc << "| " << stageText(row.stage) << " | " << faultCell(row) << " | "
            << messageCell(row.message) << " | "
            << (*row.logs != '\0' ? "`" + escaped(row.logs) + "`" : std::string("-")) << " | "
            << (resets(row) ? "yes" : "no") << " | "
            << (row.commands.empty() ? "none" : join(row.commands, ", ")) << " | "
            << seconds(row.virtualMs) << " |\n";
    }
    doc << "\n" << std::size(kRows) << " rows.\n\n## Messages\n\n| Message | Text |\n|---|---|\n";
    for (Message message : {Message::NotConnected, Message::Failed, Message::IllegalType,
                            Message::FailedVersion, Message::NotConnectedTurnOffOn,
                            Message::TimeOut, Message::StandInOnly, Message::LockUnusable})
        doc << "| " << messageCell(message) << " | " << escaped(errorText(message))
            << (message == Message::LockUnusable
                    ? ", then the file, what is wrong with it and what an administrator can do"
                    : "")
            << " |\n";
    doc << "| " << messageCell(Message::NotApplicable) << " | " << escaped(kNotApplicable)
        << ", with the reported main version and checksum |\n";
    doc << "\n## What the user does meanwhile\n\n"
           "Tested on the real windows (Qt, offscreen) in `tests/ui`:\n\n"
           "| The user | What happens | Test |\n|---|---|---|\n"
           "| opens the window menu of a progress window (right-click, Shift+F10) during the "
           "stream | the menu opens without a loop of its own; the stream goes on | "
           "`ProgressDialogTest.ItsWindowMenuNeverHoldsUpAnUpdate` |\n"
           "| presses Enter while nothing handles events (the wait after the reset) | the key "
           "is discarded at the end of the run: exactly one download | "
           "`UpdateDialogTest.AnEnterQueuedDuringARunStartsNoSecondRun` |\n"
           "| presses Escape or asks for About during a run | refused; \"DownLoad\" stays "
           "disabled | `UpdateDialogTest.ARunRefusesEveryCloseAndTheWindowMenu` |\n"
           "| closes the main window (close box, Alt+F4, a close of the disabled window) during "
           "a run | refused: the run goes on to its box, the window stays | "
           "`UpdateDialogTest.ARunRefusesEveryCloseAndTheWindowMenu` |\n"
           "| the session ends during a run | the run finishes the images under way (both of a "
           "301), resets the printer and records, then the window closes | "
           "`MainWindowDownload.ATerminationRequestMidImageFinishesItThenClosesTheWindow` |\n"
           "| sends the window SIGTERM or SIGHUP mid-image | the image goes out whole, the printer "
           "is reset, no box waits, the window closes | "
           "`MainWindowDownload.ATerminationRequestMidImageFinishesItThenClosesTheWindow` |\n"
           "| meets a printer reporting `<b>x</b>` as its version | shown as plain text | "
           "`UpdateDialogTest.FieldsGoToTheirControls` |\n";
    return doc.str();
}

// The first line where two texts differ, as "line N" with both versions, or "" when they are equal.
std::string firstDifference(const std::string& stored, const std::string& generated) {
    std::istringstream a(stored);
    std::istringstream b(generated);
    std::string lineA;
    std::string lineB;
    for (int n = 1;; ++n) {
        const bool moreA = static_cast<bool>(std::getline(a, lineA));
        const bool moreB = static_cast<bool>(std::getline(b, lineB));
        if (!moreA && !moreB)
            return stored == generated ? "" : "at the end (line breaks)";
        if (!moreA || !moreB || lineA != lineB)
            return "line " + std::to_string(n) +
                   ":\n  in the file:   " + (moreA ? lineA : "<end of file>") +
                   "\n  from the rows: " + (moreB ? lineB : "<end>");
    }
}

TEST(FaultMatrixDocument, MatchesTheRows) {
    const std::string document = matrixDocument();
    if (const char* write = std::getenv("PV_WRITE_FAULT_MATRIX"); write && *write) {
        std::ofstream(PV_FAULT_MATRIX_DOC, std::ios::binary) << document;
        std::printf("wrote %s\n", PV_FAULT_MATRIX_DOC);
        return;
    }
    std::ifstream in(PV_FAULT_MATRIX_DOC, std::ios::binary);
    std::stringstream stored;
    stored << in.rdbuf();
    const std::string difference = firstDifference(stored.str(), document);
    if (!difference.empty()) {
        ADD_FAILURE() << PV_FAULT_MATRIX_DOC
                      << " differs from the rows of the fault matrix; regenerate it with "
                         "scripts/fault-matrix (or PV_WRITE_FAULT_MATRIX=1 download_test "
                         "--gtest_filter=FaultMatrixDocument.*) and commit it. First difference at "
                      << difference;
    }
}

}  // namespace
}  // namespace pv::download::testing
