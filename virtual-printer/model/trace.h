#pragma once
// What the printer received and did, as a list of timed events. Each event has a name ("command",
// "erase", "stream", "verdict", "reset", "gone", "back", ...) and ordered fields; it renders as
// one readable line or as one JSON object (for JSON-lines files).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vprinter {

struct TraceField {
    std::string key;
    std::string value;
    bool numeric = false;
};

struct TraceEvent {
    std::uint64_t timeMs = 0;  // on the printer's clock, from the moment the printer was created
    std::string name;
    std::vector<TraceField> fields;

    // The value of field `key`, or "" when absent.
    std::string field(const std::string& key) const;
    std::string readable() const;  // "    12.345 s  erase area=p takes_ms=4000"
    std::string json() const;      // {"t_ms":12345,"event":"erase","area":"p","takes_ms":4000}
};

class Trace {
  public:
    using Sink = std::function<void(const TraceEvent&)>;

    void add(TraceEvent event);
    // Called with every event as it is added (e.g. to print it live).
    void addSink(Sink sink);
    // From now on every event ends in the field printer=`name` (several printers on one bus).
    void namePrinter(std::string name) { printer_ = std::move(name); }
    const std::vector<TraceEvent>& events() const { return events_; }
    // Events named `name`, in order.
    std::vector<TraceEvent> named(const std::string& name) const;

  private:
    std::vector<TraceEvent> events_;
    std::vector<Sink> sinks_;
    std::string printer_;
};

// Builds an event field by field: TraceBuilder(t, "erase").text("area", "p").number("ms", 4000)
class TraceBuilder {
  public:
    TraceBuilder(std::uint64_t timeMs, std::string name);
    TraceBuilder& text(std::string key, std::string value);
    TraceBuilder& number(std::string key, std::uint64_t value);
    TraceBuilder& hex(std::string key, std::uint64_t value, int digits);
    TraceEvent done() { return std::move(event_); }

  private:
    TraceEvent event_;
};

}  // namespace vprinter
