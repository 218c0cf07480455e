// The console's texts are the windows' texts: every string-table entry the download procedure
// loads reads the same in both front ends.

#include <gtest/gtest.h>

#include "download/strings.h"
#include "ui/resources.h"

TEST(Strings, TheConsoleSaysWhatTheWindowsSay) {
    using namespace pv::download;
    for (const unsigned id :
         {kUpgradeCaption, kInitializingCaption, kVersionCheckCaption, kNotConnected, kFailed,
          kIllegalPrinterType, kFailedVersionInformation, kNotConnectedTurnOffOn, kTimeOutError}) {
        EXPECT_FALSE(messageText(id).empty()) << id;
        EXPECT_EQ(messageText(id), pv::ui::LoadString(id)) << id;
    }
}
