#include "model/printer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "model/identity.h"

namespace vprinter {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint64_t kProgressEvery = std::uint64_t{128} * 1024;

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}

bool isCommandFrame(std::span<const std::uint8_t> data) {
    return data.size() == 4 && data[0] == kEsc;
}

}  // namespace

Printer::Printer(Options options, Clock& clock)
    : options_(std::move(options)), clock_(clock), origin_(clock.nowMs()) {
    areas_[0].letter = 'p';
    areas_[0].versionAddress = kMainVersionAddress;
    areas_[1].letter = 't';
    areas_[1].versionAddress = kTableVersionAddress;
    areas_[2].letter = 'c';
    // "------" stands for an area left without valid firmware (an image cut off, a power loss).
    auto install = [](Area& a, const std::string& version) {
        if (version == kInvalidVersion)
            a.state = FlashState::Invalid;
        else
            a.memory.write(*a.versionAddress,
                           {reinterpret_cast<const std::uint8_t*>(version.data()), version.size()});
    };
    const bool restored = !options_.flashState.empty();
    if (restored && !loadFlash(options_.flashState)) {
        for (auto& a : areas_)
            a.state = FlashState::Invalid;
    } else if (!restored) {
        install(areas_[0], options_.mainVersion);
        install(areas_[1], options_.tableVersion);
    }
    boot();
    if (options_.namedInTrace)
        trace_.namePrinter(serial());
    TraceBuilder b(now(), "start");
    b.text("main", mainVersion()).text("table", tableVersion());
    b.hex("main_sum", mainChecksum(), 4).hex("table_sum", tableChecksum(), 4);
    b.text("on_bus", options_.faults.absent ? "no" : "yes").text("serial", serial());
    record(b);
}

const std::string& Printer::serial() const {
    return options_.faults.serial.empty() ? options_.serial : options_.faults.serial;
}

std::uint64_t Printer::now() const {
    return clock_.nowMs() - origin_;
}

Printer::Area* Printer::area(std::uint8_t letter) {
    for (auto& a : areas_)
        if (static_cast<std::uint8_t>(a.letter) == letter)
            return &a;
    return nullptr;
}

bool Printer::areaValid(char letter) const {
    for (const auto& a : areas_)
        if (a.letter == letter)
            return a.state == FlashState::Valid;
    return false;
}

const FlashMemory& Printer::areaMemory(char letter) const {
    for (const auto& a : areas_)
        if (a.letter == letter)
            return a.memory;
    return areas_[2].memory;
}

void Printer::update() {
    const std::uint64_t t = clock_.nowMs();
    for (auto& a : areas_) {
        if (a.state != FlashState::Erasing || t < a.eraseDoneAt)
            continue;
        a.state = FlashState::Erased;
        TraceBuilder b(a.eraseDoneAt - origin_, "erased");
        record(b.text("area", std::string(1, a.letter)));
    }
    if (gone_ && backAt_ && t >= *backAt_) {
        gone_ = false;
        ++boots_;
        boot();
        TraceBuilder b(*backAt_ - origin_, "back");
        b.text("main", mainVersion()).text("table", tableVersion());
        record(b.hex("main_sum", mainChecksum(), 4).hex("table_sum", tableChecksum(), 4));
        backAt_.reset();
    }
}

bool Printer::onBus() {
    update();
    return !options_.faults.absent && !gone_ && !disconnected_;
}

std::string Printer::flashState() const {
    std::string state;
    for (const auto& a : areas_) {
        std::string memory;
        a.memory.save(memory);
        state += a.letter;
        state += a.state == FlashState::Valid ? 'v' : 'i';
        state += std::to_string(memory.size()) + ':' + memory;
    }
    return state;
}

bool Printer::loadFlash(std::string_view state) {
    for (auto& a : areas_) {
        const std::size_t colon = state.find(':');
        if (state.size() < 3 || state[0] != a.letter || colon == std::string_view::npos)
            return false;
        const std::string digits(state.substr(2, colon - 2));
        const auto size = static_cast<std::size_t>(std::strtoull(digits.c_str(), nullptr, 10));
        if (state.size() - colon - 1 < size || !a.memory.load(state.substr(colon + 1, size)))
            return false;
        a.state = state[1] == 'v' ? FlashState::Valid : FlashState::Invalid;
        state.remove_prefix(colon + 1 + size);
    }
    return true;
}

void Printer::boot() {
    for (auto& a : areas_) {
        const bool valid = a.state == FlashState::Valid && a.versionAddress;
        a.runningVersion = valid ? a.memory.readText(*a.versionAddress, 6) : kInvalidVersion;
        a.runningChecksum = valid ? a.memory.checksum() : 0;
    }
    const auto& f = options_.faults;
    if (boots_ > 0 && !f.returnMainVersion.empty())
        areas_[0].runningVersion = f.returnMainVersion;
    if (boots_ > 0 && !f.returnTableVersion.empty())
        areas_[1].runningVersion = f.returnTableVersion;
    reply_.reset();
    readBackMode_ = false;
    initialised_ = false;
    stream_.reset();
}

std::vector<std::uint8_t> Printer::deviceId() {
    update();
    auto answer = deviceIdAnswer(options_.faults.deviceId);
    TraceBuilder b(now(), "device-id");
    record(b.number("bytes", answer.size()));
    return answer;
}

std::vector<std::uint8_t> Printer::versionReply() const {
    std::vector<std::uint8_t> r(kVersionReplySize, 0);
    r[0] = 0x23;
    r[1] = 0x2E;
    r[2] = options_.faults.badHeader ? 0x01 : 0x00;
    auto put = [&r](std::size_t at, const std::string& text) {
        for (std::size_t i = 0; i < 6; ++i)
            r[at + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
    };
    put(6, mainVersion());
    put(12, tableVersion());
    r[36] = static_cast<std::uint8_t>(mainChecksum() >> 8);
    r[37] = static_cast<std::uint8_t>(mainChecksum() & 0xFF);
    r[38] = static_cast<std::uint8_t>(tableChecksum() >> 8);
    r[39] = static_cast<std::uint8_t>(tableChecksum() & 0xFF);
    if (options_.faults.replyLength)
        r.resize(*options_.faults.replyLength);
    return r;
}

std::optional<std::vector<std::uint8_t>> Printer::read() {
    if (!onBus() || options_.faults.stallRead || !reply_)
        return std::nullopt;
    auto reply = std::move(*reply_);
    reply_.reset();
    TraceBuilder b(now(), "reply");
    b.number("bytes", reply.size()).text("main", mainVersion()).text("table", tableVersion());
    record(b.hex("main_sum", mainChecksum(), 4).hex("table_sum", tableChecksum(), 4));
    return reply;
}

std::uint64_t Printer::takesMs(std::size_t bytes) const {
    const std::uint64_t rate = options_.faults.throttleBytesPerSecond;
    return rate == 0 ? 0 : (bytes * 1000 + rate - 1) / rate;
}

WriteResult Printer::write(std::span<const std::uint8_t> data) {
    if (!onBus())
        return {WriteResult::Kind::Disconnected, 0, 0};
    const std::uint32_t n = ++writes_;
    const auto& f = options_.faults;
    if (f.stallWrite == n || f.failWrite == n) {
        const bool stall = f.stallWrite == n;
        TraceBuilder b(now(), "fault");
        b.text("fault", stall ? "stall-write" : "fail-write").number("write", n);
        record(b.number("bytes", data.size()));
        return {stall ? WriteResult::Kind::Stalled : WriteResult::Kind::Refused, 0, 0};
    }
    if (stream_ && !isCommandFrame(data))
        return streamWrite(data);
    if (stream_) {
        const auto name = commandName(data.first<4>());
        endStream(name == "unknown" ? "an unknown command" : name);
    }
    if (!isCommandFrame(data)) {
        TraceBuilder b(now(), "data");
        record(b.number("write", n).number("bytes", data.size()).text("note", "ignored"));
        return {WriteResult::Kind::Accepted, data.size(), takesMs(data.size())};
    }
    const auto frame = data.first<4>();
    const std::string name = commandName(frame);
    if (f.refusedCommands.contains(name.substr(0, name.find(' ')))) {
        TraceBuilder b(now(), "fault");
        record(b.text("fault", "refuse").text("command", name).number("write", n));
        return {WriteResult::Kind::Refused, 0, 0};
    }
    if (const char* why = outOfContext(name)) {
        TraceBuilder b(now(), "refused");
        b.text("command", name).text("bytes", hexBytes(frame)).text("mode", modeName());
        record(b.text("reason", why).number("write", n));
        return {WriteResult::Kind::Refused, 0, 0};
    }
    TraceBuilder b(now(), "command");
    record(b.text("name", name).text("bytes", hexBytes(frame)).number("write", n));
    command(frame);
    return {WriteResult::Kind::Accepted, 4, takesMs(4)};
}

std::string Printer::commandName(std::span<const std::uint8_t, 4> frame) const {
    const bool areaLetter = frame[3] == 'p' || frame[3] == 't' || frame[3] == 'c';
    const std::string letter(1, static_cast<char>(frame[3]));
    if (frame[1] == 'f' && frame[2] == 'g' && frame[3] == 0)
        return "initialise";
    if (frame[1] == 'f' && frame[2] == 'r' && frame[3] == 0)
        return "reset";
    if (frame[1] == 'f' && frame[2] == 'e' && areaLetter)
        return "erase " + letter;
    if (frame[1] == 'f' && frame[2] == 't' && areaLetter)
        return "transfer " + letter;
    if (frame[1] == 'V' && frame[3] == 0)
        return "version-request";
    if (frame[1] == 'S' && frame[2] == 0x5A && frame[3] == 0x1E)
        return "readback-on";
    if (frame[1] == 'S' && frame[2] == 0 && frame[3] == 0)
        return "readback-off";
    return "unknown";
}

const char* Printer::modeName() const {
    return initialised_ ? "initialised" : readBackMode_ ? "running, read-back" : "running";
}

// The printer takes each command only in the mode its firmware loader or its interpreter knows
// it in: loader commands (erase, transfer, reset) once initialised, the initialise and read-back
// mode commands while running. A version request is print data while running without read-back
// mode; command() takes care of that.
const char* Printer::outOfContext(const std::string& name) const {
    const bool loader =
        name.starts_with("erase") || name.starts_with("transfer") || name == "reset";
    if (loader && !initialised_)
        return "a loader command while the printer runs its firmware (no initialise before it)";
    if ((name == "initialise" || name.starts_with("readback")) && initialised_)
        return "the printer is initialised already; only a reset ends that";
    return nullptr;
}

void Printer::command(std::span<const std::uint8_t, 4> frame) {
    const std::string name = commandName(frame);
    if (name == "reset")
        return reset();
    if (name == "readback-on" || name == "readback-off") {
        readBackMode_ = name == "readback-on";
        return;
    }
    if (name == "initialise") {
        initialised_ = true;
        return;
    }
    if (name == "version-request") {
        if (!initialised_ && !readBackMode_) {
            // A running printer without read-back mode prints what it is sent.
            TraceBuilder b(now(), "print-data");
            record(b.text("command", name).text("note", "version request taken as print data"));
            return;
        }
        if (frame[2] == '#')
            reply_ = versionReply();
        TraceBuilder b(now(), "reply-ready");
        record(b.number("bytes", reply_ ? reply_->size() : 0));
        return;
    }
    Area* a = area(frame[3]);
    if (name.starts_with("erase")) {
        a->state = FlashState::Erasing;
        a->memory.erase();
        a->eraseDoneAt = clock_.nowMs() + options_.eraseMs;
        TraceBuilder b(now(), "erase");
        record(b.text("area", std::string(1, a->letter)).number("takes_ms", options_.eraseMs));
    } else if (name.starts_with("transfer")) {
        const char* erased = a->state == FlashState::Erased    ? "yes"
                             : a->state == FlashState::Erasing ? "unfinished"
                                                               : "no";
        a->streamAllowed = a->state == FlashState::Erased;
        a->state = FlashState::Loading;
        stream_ = Stream{};
        stream_->area = a;
        stream_->nextProgressAt = kProgressEvery;
        TraceBuilder b(now(), "stream-start");
        record(b.text("area", std::string(1, a->letter)).text("erased", erased));
    }
}

void Printer::load(void* context, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    auto* a = static_cast<Area*>(context);
    if (a->streamAllowed)
        a->memory.write(address, bytes);
}

WriteResult Printer::streamWrite(std::span<const std::uint8_t> data) {
    Stream& s = *stream_;
    const std::uint32_t n = ++s.writes;
    const auto& f = options_.faults;
    if (f.disconnectAtStream == n) {
        TraceBuilder b(now(), "fault");
        record(b.text("fault", "disconnect-at").number("stream_write", n));
        endStream("disconnect");
        leaveBus(true);
        return {WriteResult::Kind::Disconnected, 0, 0};
    }
    std::size_t take = data.size();
    if (f.shortStreamWrite == n) {
        take = data.size() / 2;
        TraceBuilder b(now(), "fault");
        b.text("fault", "short-write").number("stream_write", n);
        record(b.number("bytes", data.size()).number("accepted", take));
    }
    const bool failedBefore = s.parser.failed();
    s.parser.feed(data.first(take), &Printer::load, s.area);
    s.bytes += take;
    if (s.bytes >= s.nextProgressAt) {
        TraceBuilder b(now(), "stream");
        b.text("area", std::string(1, s.area->letter)).number("writes", n);
        record(b.number("bytes", s.bytes));
        while (s.nextProgressAt <= s.bytes)
            s.nextProgressAt += kProgressEvery;
    }
    if (s.parser.ended()) {
        endStream("");
    } else if (s.parser.failed() && !failedBefore) {
        TraceBuilder b(now(), "stream-damaged");
        b.text("area", std::string(1, s.area->letter)).text("reason", s.parser.failure());
        record(b.number("at_byte", s.parser.packageBytes()));
    }
    return {WriteResult::Kind::Accepted, take, takesMs(take)};
}

void Printer::endStream(const std::string& cutShortBy) {
    Stream& s = *stream_;
    Area& a = *s.area;
    std::string reason;
    if (!s.parser.done())
        reason = s.parser.failed() ? s.parser.failure() : "cut short by " + cutShortBy;
    else if (!a.streamAllowed)
        reason = "area not erased before the transfer";
    a.state = reason.empty() ? FlashState::Valid : FlashState::Invalid;
    TraceBuilder b(now(), "verdict");
    b.text("area", std::string(1, a.letter)).text("result", reason.empty() ? "valid" : "invalid");
    if (!reason.empty())
        b.text("reason", reason);
    b.number("package_bytes", s.parser.packageBytes()).number("padding", s.parser.paddingBytes());
    b.number("records", s.parser.records()).hex("sum", s.parser.runningSum(), 8);
    b.hex("stored_sum", s.parser.storedSum(), 8).number("writes", s.writes);
    record(b);
    stream_.reset();
}

void Printer::reset() {
    if (stream_)
        endStream("reset");
    for (auto& a : areas_) {
        if (a.state != FlashState::Erasing)
            continue;
        a.state = FlashState::Invalid;
        TraceBuilder b(now(), "erase-interrupted");
        record(b.text("area", std::string(1, a.letter)));
    }
    leaveBus(false);
}

void Printer::leaveBus(bool forGood) {
    gone_ = true;
    reply_.reset();
    disconnected_ = disconnected_ || forGood;
    if (forGood || options_.faults.noReturn)
        backAt_.reset();
    else
        backAt_ = clock_.nowMs() + options_.rebootMs;
    TraceBuilder b(now(), "gone");
    if (backAt_)
        b.number("back_in_ms", options_.rebootMs);
    else
        b.text("back_in_ms", "never");
    record(b);
}

}  // namespace vprinter
