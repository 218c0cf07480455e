#include "download/sleep_inhibitor.h"

#include <atomic>

#include "platform/os/keep_awake.h"

namespace pv::download {
namespace {

// What the system itself offers (Windows: the power manager, for the downloading thread); on Linux
// nothing, and the desktop application installs its session inhibitor.
class SystemInhibitor final : public SleepInhibitor {
  public:
    bool acquire() override { return held_ = held_ || os::keepSystemAwake(); }
    void release() override {
        if (held_)
            os::allowSystemSleep();
        held_ = false;
    }

  private:
    bool held_ = false;
};

SystemInhibitor systemInhibitor;
std::atomic<SleepInhibitor*> installed{nullptr};

}  // namespace

SleepInhibitor& sleepInhibitor() {
    SleepInhibitor* inhibitor = installed.load();
    return inhibitor != nullptr ? *inhibitor : systemInhibitor;
}

void installSleepInhibitor(SleepInhibitor* inhibitor) {
    installed.store(inhibitor);
}

}  // namespace pv::download
