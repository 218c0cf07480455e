#pragma once
// The printer's own sense of time. The model never reads the system clock directly: it is given
// a Clock, so that the same model runs in real time (the executable) or in virtual time together
// with the program under test (tests), where "time passes" only when someone advances it.

#include <cstdint>
#include <mutex>

namespace vprinter {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary origin; never decreases.
    virtual std::uint64_t nowMs() = 0;
    // Lets `ms` milliseconds pass for the device: a real clock blocks, a virtual one moves forward.
    virtual void advance(std::uint64_t ms) = 0;
    // True when time moves only through advance(); the USB presentation then advances the clock
    // itself where the printer would take time (a throttled write) instead of delaying an answer.
    virtual bool isVirtual() const = 0;
};

// Monotonic wall time.
class RealClock final : public Clock {
  public:
    std::uint64_t nowMs() override;
    void advance(std::uint64_t ms) override;
    bool isVirtual() const override { return false; }
};

// Virtual time owned by the caller: moves only through advance() or set().
class ManualClock final : public Clock {
  public:
    explicit ManualClock(std::uint64_t startMs = 0) : now_(startMs) {}
    std::uint64_t nowMs() override;
    void advance(std::uint64_t ms) override;
    bool isVirtual() const override { return true; }

  private:
    std::mutex mutex_;
    std::uint64_t now_;
};

}  // namespace vprinter
