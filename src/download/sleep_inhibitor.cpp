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

SleepInhibitor& sleepInhibitor() {
    SleepInhibitor* inhibitor = installed.load();
    return inhibitor != nullptr ? *inhibitor : noInhibitor;
}

void installSleepInhibitor(SleepInhibitor* inhibitor) {
    installed.store(inhibitor);
}

}  // namespace pv::download
