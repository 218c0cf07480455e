#include "download/sleep_inhibitor.h"

#include <atomic>
#include <string>

#include "platform/os/log.h"

namespace pv::download {
namespace {

class NoInhibitor final : public SleepInhibitor {
  public:
    bool acquire() override { return false; }
    void release() override {}
};

NoInhibitor noInhibitor;
std::atomic<SleepInhibitor*> installed{nullptr};

}  // namespace

SystemSleepInhibitor::SystemSleepInhibitor()
    : lock_(std::string(os::logProgramName()), kInhibitWhy) {}

bool SystemSleepInhibitor::acquire() {
    const std::lock_guard hold(mutex_);
    ++users_;
    return lock_.held() || lock_.acquire();
}

void SystemSleepInhibitor::release() {
    const std::lock_guard hold(mutex_);
    if (users_ > 0 && --users_ == 0)
        lock_.release();
}

bool SystemSleepInhibitor::held() const {
    const std::lock_guard hold(mutex_);
    return lock_.held();
}

SleepInhibitor& sleepInhibitor() {
    SleepInhibitor* inhibitor = installed.load();
    return inhibitor != nullptr ? *inhibitor : noInhibitor;
}

void installSleepInhibitor(SleepInhibitor* inhibitor) {
    installed.store(inhibitor);
}

}  // namespace pv::download
