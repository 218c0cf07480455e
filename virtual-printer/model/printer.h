#pragma once
// The virtual PV4410S: what it answers on its control channel and bulk pipes, how it erases and
// loads its flash areas, and how it reboots. No USB here: the presentation (virtual-printer/usb)
// feeds it what the host sends and carries its answers back. Not thread-safe; the presentation
// guards it with a mutex.
//
// Flash areas "p" (main firmware), "t" (table data) and "c" each have their own memory. An
// erase takes Options::eraseMs; a transfer command starts a package stream into the area, which
// the printer parses itself. The area becomes valid only if it was erased (and the erase had
// finished) before the transfer, and the package arrived whole with a matching sum; zero bytes
// after the end mark are ignored. A stream counts as cut short when a 4-byte command frame
// arrives, or the printer resets or leaves the bus, before its end mark.
//
// What the version reply reports is what the printer runs: it reads the versions at power-up
// (and after each reset) from the six bytes at 0x0C0000 in area "p" and at 0x800000 in area "t",
// with a 16-bit sum of the area's bytes as checksum. An area that is not valid at power-up
// (erased, cut short, badly summed, loaded without an erase) reports the version "------" and
// checksum 0x0000.
//
// Modes: the printer runs its firmware (and prints what it is sent) until the initialise command
// hands it to its firmware loader, which takes erase, transfer and reset; a reset or power-up
// brings it back to running. A running printer answers a version request only in read-back
// mode; any other command outside its mode is refused (endpoint stall) and traced as "refused".

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/clock.h"
#include "model/faults.h"
#include "model/flash.h"
#include "model/trace.h"

namespace vprinter {

inline constexpr std::uint32_t kMainVersionAddress = 0x0C0000;
inline constexpr std::uint32_t kTableVersionAddress = 0x800000;
inline constexpr std::size_t kVersionReplySize = 48;
inline constexpr char kInvalidVersion[] = "------";

struct Options {
    std::string mainVersion = "301B10";   // installed at start; "------": no valid firmware
    std::string tableVersion = "705A10";  // installed at start
    std::uint32_t eraseMs = 4000;         // time an erase takes (any area)
    std::uint32_t rebootMs = 5000;        // off the bus after a reset
    std::string serial = "VIRTUAL-0001";  // USB serial number (Faults::serial overrides it)
    bool namedInTrace = false;            // every trace event names the printer (its serial)
    // The flash as Printer::flashState() saved it at the end of an earlier run: when given, the
    // printer starts with it instead of the installed versions above (kept across power-off).
    std::string flashState;
    Faults faults;
};

// What happened to one bulk OUT write.
struct WriteResult {
    enum class Kind {
        Accepted,      // `accepted` bytes taken (fewer than sent for a short write)
        Refused,       // endpoint stall, nothing taken
        Stalled,       // never completes: the host has to time out and cancel
        Disconnected,  // the printer left the bus during the write
    };
    Kind kind = Kind::Accepted;
    std::size_t accepted = 0;
    std::uint64_t takesMs = 0;  // how long the printer takes to accept it (throttle)
};

class Printer {
  public:
    Printer(Options options, Clock& clock);

    const Options& options() const { return options_; }
    Clock& clock() { return clock_; }
    Trace& trace() { return trace_; }
    // Milliseconds since the printer was created: the time of a trace event made now.
    std::uint64_t traceTimeMs() const { return now(); }
    // The USB serial number string.
    const std::string& serial() const;

    // Brings timed events (erase finished, back after reset) up to the clock's present.
    void update();
    // On the bus right now (not absent, not rebooting, not disconnected).
    bool onBus();
    // Counts up every time the printer comes back on the bus after a reset.
    std::uint32_t boots() const { return boots_; }

    // Control requests.
    std::vector<std::uint8_t> deviceId();
    // Bulk OUT.
    WriteResult write(std::span<const std::uint8_t> data);
    // Bulk IN: the pending answer, or nullopt while there is nothing to read.
    std::optional<std::vector<std::uint8_t>> read();

    // What the printer reports (as in the version reply).
    std::string mainVersion() const { return areas_[0].runningVersion; }
    std::string tableVersion() const { return areas_[1].runningVersion; }
    std::uint16_t mainChecksum() const { return areas_[0].runningChecksum; }
    std::uint16_t tableChecksum() const { return areas_[1].runningChecksum; }
    bool readBackMode() const { return readBackMode_; }
    // From the initialise command until the next reset or power-up.
    bool initialised() const { return initialised_; }
    // Whether area 'p', 't' or 'c' holds a whole, verified package (what it will run at boot).
    bool areaValid(char letter) const;
    const FlashMemory& areaMemory(char letter) const;
    std::vector<std::uint8_t> versionReply() const;
    // Its flash areas as a power-off leaves them, for Options::flashState: an area that was
    // being erased or loaded is invalid.
    std::string flashState() const;

  private:
    enum class FlashState { Valid, Erasing, Erased, Loading, Invalid };
    struct Area {
        char letter = 'p';
        std::optional<std::uint32_t> versionAddress;
        FlashMemory memory;
        FlashState state = FlashState::Valid;
        std::uint64_t eraseDoneAt = 0;
        bool streamAllowed = false;  // erased and finished before the transfer command
        std::string runningVersion = kInvalidVersion;
        std::uint16_t runningChecksum = 0;
    };
    struct Stream {
        Area* area = nullptr;
        PackageParser parser;
        std::uint32_t writes = 0;
        std::uint64_t bytes = 0;
        std::uint64_t nextProgressAt = 0;
    };

    static void load(void* context, std::uint32_t address, std::span<const std::uint8_t> bytes);
    Area* area(std::uint8_t letter);
    std::uint64_t now() const;
    void record(TraceBuilder& b) { trace_.add(b.done()); }
    void boot();
    // Options::flashState into the areas; false when it is damaged (the areas are then invalid).
    bool loadFlash(std::string_view state);
    void command(std::span<const std::uint8_t, 4> frame);
    std::string commandName(std::span<const std::uint8_t, 4> frame) const;
    const char* modeName() const;
    // Why the printer does not take the command `name` in its present mode; null when it does.
    const char* outOfContext(const std::string& name) const;
    WriteResult streamWrite(std::span<const std::uint8_t> data);
    void endStream(const std::string& cutShortBy);
    void reset();
    void leaveBus(bool forGood);
    std::uint64_t takesMs(std::size_t bytes) const;

    Options options_;
    Clock& clock_;
    std::uint64_t origin_;
    Trace trace_;
    Area areas_[3];
    std::optional<Stream> stream_;
    std::optional<std::vector<std::uint8_t>> reply_;
    bool readBackMode_ = false;
    bool initialised_ = false;
    std::uint32_t writes_ = 0;
    std::uint32_t boots_ = 0;
    bool gone_ = false;
    bool disconnected_ = false;
    std::optional<std::uint64_t> backAt_;  // while rebooting; nullopt = not coming back
};

}  // namespace vprinter
