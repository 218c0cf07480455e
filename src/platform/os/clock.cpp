#include "platform/os/clock.h"

#include <chrono>
#include <thread>

namespace os {

std::uint64_t RealClock::nowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void VirtualClock::advance(std::uint64_t ms) {
    const std::uint64_t now = now_.fetch_add(ms) + ms;
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(listenersMutex_);
        listeners = listeners_;
    }
    for (auto& listener : listeners)
        listener(now);
}

void VirtualClock::onAdvance(Listener listener) {
    std::lock_guard lock(listenersMutex_);
    listeners_.push_back(std::move(listener));
}

namespace {
RealClock realClock;
std::atomic<Clock*> installed{nullptr};
}  // namespace

Clock& clock() {
    Clock* c = installed.load();
    return c ? *c : realClock;
}

void installClock(Clock* c) {
    installed.store(c);
}

bool clockInstalled() {
    return installed.load() != nullptr;
}

Tick tickCount() {
    return static_cast<Tick>(clock().nowMs());
}

void sleepMs(std::uint32_t ms) {
    clock().sleepMs(ms);
}

}  // namespace os
