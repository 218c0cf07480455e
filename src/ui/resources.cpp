#include "ui/resources.h"

#include <array>

namespace pv::ui {
namespace {

constexpr std::array<dlg::StringEntry, 10> kStrings{{
    {kAboutMenuText, "&About..."},
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

constexpr std::array<dlg::IconEntry, 1> kIcons{{{kAppIconId, kAppIconLarge, kAppIconSmall}}};

const dlg::ResourceModule kModule{kStrings, kIcons};

}  // namespace

const dlg::ResourceModule& resources() {
    return kModule;
}

std::string LoadString(unsigned id) {
    return kModule.LoadString(id);
}

}  // namespace pv::ui
