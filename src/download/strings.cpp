#include "download/strings.h"

namespace pv::download {

std::string messageText(unsigned id) {
    for (const auto& [entry, text] : kMessageTexts)
        if (entry == id)
            return std::string(text);
    return {};
}

std::string writingReason(std::uint32_t msLeft) {
    const std::uint32_t minutes = (msLeft + 59'999) / 60'000;
    return "Writing the printer's firmware, about " + std::to_string(minutes) +
           (minutes == 1 ? " minute" : " minutes") +
           " left. Cut off now, the printer would have no firmware to start.";
}

}  // namespace pv::download
