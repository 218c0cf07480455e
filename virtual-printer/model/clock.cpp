#include "model/clock.h"

#include <chrono>
#include <thread>

namespace vprinter {

std::uint64_t RealClock::nowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::advance(std::uint64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint64_t ManualClock::nowMs() {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::advance(std::uint64_t ms) {
    std::lock_guard lock(mutex_);
    now_ += ms;
}

}  // namespace vprinter
