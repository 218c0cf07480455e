#pragma once
// The program's resources: the string table, the application icon and the ids by which the
// windows find them.

#include <string>

#include "platform/dialog/resources.h"

namespace pv::ui {

// Icon resource of the application icon.
inline constexpr unsigned kAppIconId = 128;

// String-table ids. There is deliberately no entry 104: a progress window given caption id 0
// falls back to it and shows an empty caption.
enum StringId : unsigned {
    kAboutMenuText = 101,
    kDefaultProgressCaption = 104,
    kUpgradeCaption = 1000,
    kInitializingCaption = 1001,
    kVersionCheckCaption = 1003,
    kNotConnected = 1010,
    kFailed = 1011,
    kIllegalPrinterType = 1012,
    kFailedVersionInformation = 1013,
    kNotConnectedTurnOffOn = 1014,
    kTimeOutError = 1015,
};

const dlg::ResourceModule& resources();

// The string-table entry; empty when there is none.
std::string LoadString(unsigned id);

extern const char* const kAppIconLarge[];
extern const char* const kAppIconSmall[];

}  // namespace pv::ui
