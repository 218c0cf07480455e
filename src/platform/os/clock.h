#pragma once
// Millisecond time for the whole program: a tick count with the classic desktop semantics
// (unsigned 32-bit, wraps after about 49.7 days, differences taken in unsigned 32-bit arithmetic)
// and a plain sleep. Both go through an installable clock so that tests can run in virtual time.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace os {

using Tick = std::uint32_t;

// Milliseconds elapsed from `start` to `now`, correct across one wrap of the tick count.
constexpr Tick ticksSince(Tick start, Tick now) {
    return static_cast<Tick>(now - start);
}

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary origin; never decreases.
    virtual std::uint64_t nowMs() = 0;
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// Monotonic wall time; sleeping really blocks the calling thread.
class RealClock final : public Clock {
  public:
    std::uint64_t nowMs() override;
    void sleepMs(std::uint32_t ms) override;
};

// Time that moves only when someone sleeps or advances it: a sleep returns at once, having moved
// the clock forward. Listeners run after every advance (on the advancing thread), which is how a
// simulated device learns that time has passed. Safe to read from any thread.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(std::uint64_t startMs = 0) : now_(startMs) {}
    std::uint64_t nowMs() override { return now_.load(); }
    void sleepMs(std::uint32_t ms) override { advance(ms); }
    void advance(std::uint64_t ms);

    using Listener = std::function<void(std::uint64_t nowMs)>;
    void onAdvance(Listener listener);

  private:
    std::atomic<std::uint64_t> now_;
    std::mutex listenersMutex_;
    std::vector<Listener> listeners_;
};

// The clock behind tickCount() and sleepMs(). The real clock unless a test installed another.
Clock& clock();
// Installs `clock` process-wide (nullptr restores the real clock). The caller keeps ownership and
// must uninstall it before destroying it.
void installClock(Clock* clock);
// True while a clock other than the real one is installed.
bool clockInstalled();

// Milliseconds, truncated to 32 bits, like the platform's tick count.
Tick tickCount();
void sleepMs(std::uint32_t ms);

// Installs a clock for the lifetime of the guard.
class ScopedClock {
  public:
    explicit ScopedClock(Clock& c) { installClock(&c); }
    ~ScopedClock() { installClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace os
