#include "link/running_versions.h"

namespace pv::link {

namespace {
constexpr int kReadBackModeOff = 0;
}

bool readRunningVersions(PrinterLink& link, RunningVersions& versions) {
    if (!link.setReadBackMode(kReadBackModeOn))
        return false;
    const bool replied = link.sendVersionRequest(kVersionSelector) &&
                         link.readVersionReply(versions.main, versions.mainChecksum, versions.table,
                                               versions.tableChecksum);
    const bool modeOff = link.setReadBackMode(kReadBackModeOff);
    return replied && modeOff;
}

}  // namespace pv::link
