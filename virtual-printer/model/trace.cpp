#include "model/trace.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace vprinter {

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
    nlohmann::ordered_json out = {{"t_ms", timeMs}, {"event", name}};
    for (const auto& f : fields) {
        if (f.numeric)
            out[f.key] = std::stoull(f.value);
        else
            out[f.key] = f.value;
    }
    // Text given on the command line (a serial number) may be any bytes.
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
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
