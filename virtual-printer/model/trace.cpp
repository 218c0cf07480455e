#include "model/trace.h"

#include <cstdio>

namespace vprinter {

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string TraceEvent::field(const std::string& key) const {
    for (const auto& f : fields)
        if (f.key == key)
            return f.value;
    return {};
}

std::string TraceEvent::readable() const {
    char time[32];
    std::snprintf(time, sizeof time, "%10.3f s  ", static_cast<double>(timeMs) / 1000.0);
    std::string line = time + name;
    for (const auto& f : fields)
        line += " " + f.key + "=" + f.value;
    return line;
}

std::string TraceEvent::json() const {
    std::string out = "{\"t_ms\":" + std::to_string(timeMs) + ",\"event\":" + jsonString(name);
    for (const auto& f : fields)
        out += "," + jsonString(f.key) + ":" + (f.numeric ? f.value : jsonString(f.value));
    return out + "}";
}

void Trace::add(TraceEvent event) {
    if (!printer_.empty())
        event.fields.push_back({"printer", printer_, false});
    events_.push_back(std::move(event));
    for (auto& sink : sinks_)
        sink(events_.back());
}

void Trace::addSink(Sink sink) {
    sinks_.push_back(std::move(sink));
}

std::vector<TraceEvent> Trace::named(const std::string& name) const {
    std::vector<TraceEvent> out;
    for (const auto& e : events_)
        if (e.name == name)
            out.push_back(e);
    return out;
}

TraceBuilder::TraceBuilder(std::uint64_t timeMs, std::string name) {
    event_.timeMs = timeMs;
    event_.name = std::move(name);
}

TraceBuilder& TraceBuilder::text(std::string key, std::string value) {
    event_.fields.push_back({std::move(key), std::move(value), false});
    return *this;
}

TraceBuilder& TraceBuilder::number(std::string key, std::uint64_t value) {
    event_.fields.push_back({std::move(key), std::to_string(value), true});
    return *this;
}

TraceBuilder& TraceBuilder::hex(std::string key, std::uint64_t value, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    event_.fields.push_back({std::move(key), buf, false});
    return *this;
}

}  // namespace vprinter
