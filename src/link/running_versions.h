#pragma once
// Reading the versions of a printer that runs its firmware, without disturbing it: a running
// printer takes a version request only in read-back mode (otherwise the request is print data),
// so the request is framed by read-back mode on and off, as after a download.

#include <cstdint>

#include "link/printer_link.h"

namespace pv::link {

struct RunningVersions {
    char main[7] = {};
    char table[7] = {};
    std::uint32_t mainChecksum = 0;
    std::uint32_t tableChecksum = 0;
};

// On an open link that passed its model check: read-back mode on, the version request, the
// reply as soon as it arrives (bounded by the bulk IN time-out), read-back mode off. True only
// when the reply was well formed and read-back mode was switched off again; the mode is switched
// off whatever the reply was.
bool readRunningVersions(PrinterLink& link, RunningVersions& versions);

}  // namespace pv::link
