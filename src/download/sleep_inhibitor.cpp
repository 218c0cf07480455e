#include "download/sleep_inhibitor.h"

#include <atomic>

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

SleepInhibitor& sleepInhibitor() {
    SleepInhibitor* inhibitor = installed.load();
    return inhibitor != nullptr ? *inhibitor : noInhibitor;
}

void installSleepInhibitor(SleepInhibitor* inhibitor) {
    installed.store(inhibitor);
}

}  // namespace pv::download
