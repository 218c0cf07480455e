#include "download/strings.h"

namespace pv::download {

std::string messageText(unsigned id) {
    for (const auto& [entry, text] : kMessageTexts)
        if (entry == id)
            return std::string(text);
    return {};
}

}  // namespace pv::download
