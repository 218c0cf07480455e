#include "download/strings.h"

#include <array>
#include <utility>

#include "download/download_window.h"

namespace pv::download {
namespace {

constexpr std::array<std::pair<unsigned, const char*>, 9> kTexts{{
    {kUpgradeCaption, "Upgrade"},
    {kInitializingCaption, "Initializing..."},
    {kVersionCheckCaption, "Version Check..."},
    {kNotConnected, "Printer is not connected."},
    {kFailed, "Failed!\nPlease turn the printer OFF and then ON, and download again."},
    {kIllegalPrinterType, "Illegal Printer Type."},
    {kFailedVersionInformation,
     "Failed Version Information!\nPlease turn the printer OFF and then ON, and download again."},
    {kNotConnectedTurnOffOn,
     "Printer is not connected.\nPlease turn the printer OFF and then ON, and download again."},
    {kTimeOutError,
     "Failed! Time out Error!\nPlease turn the printer OFF and then ON, and download again."},
}};

}  // namespace

std::string messageText(unsigned id) {
    for (const auto& [entry, text] : kTexts)
        if (entry == id)
            return text;
    return {};
}

}  // namespace pv::download
