// The framework's own rules: dialog-unit arithmetic and the progress bar's platform behaviour.

#include <gtest/gtest.h>

#include "platform/dialog/dialog_units.h"
#include "platform/dialog/qt/dialog_window.h"
#include "platform/dialog/qt/progress_bar.h"

namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(dlg::mulDiv(258, 6, 4), 387);
    EXPECT_EQ(dlg::mulDiv(201, 13, 8), 327);  // 326.625
    EXPECT_EQ(dlg::mulDiv(3, 1, 2), 2);
    EXPECT_EQ(dlg::mulDiv(-3, 1, 2), -2);
    EXPECT_EQ(dlg::mulDiv(5, 7, 0), 0);
}

TEST(DialogUnits, BaseUnitsComeFromTheEightPointDialogFont) {
    const QFont font = dlg::dialogFont();
    EXPECT_EQ(font.pointSize(), 8);
    const dlg::BaseUnits units = dlg::baseUnits(font);
    if (font.family() == "Liberation Sans") {
        EXPECT_EQ(units.x, 6);
        EXPECT_EQ(units.y, 12);
    }
    const QRect rect = dlg::toQRect(dlg::mapDialogRect({104, 29, 50, 9}, units));
    EXPECT_EQ(rect, QRect(dlg::mulDiv(104, units.x, 4), dlg::mulDiv(29, units.y, 8),
                          dlg::mulDiv(50, units.x, 4), dlg::mulDiv(9, units.y, 8)));
}

TEST(ProgressBarControl, ClampsPositionsAndAnswersThePreviousOne) {
    dlg::ProgressBarControl bar;
    EXPECT_EQ(bar.position(), 0);
    EXPECT_EQ(bar.setPosition(150), 0);
    EXPECT_EQ(bar.position(), 100);
    EXPECT_EQ(bar.value(), 100);  // the toolkit bar shows the clamped position
    EXPECT_EQ(bar.setPosition(-7), 100);
    EXPECT_EQ(bar.position(), 0);
}

TEST(ProgressBarControl, RangeTakesSixteenBitBoundsAndClampsThePosition) {
    dlg::ProgressBarControl bar;
    bar.setPosition(90);
    bar.setRange16(0x10000 + 10, 0x10000 + 50);
    EXPECT_EQ(bar.low(), 10);
    EXPECT_EQ(bar.high(), 50);
    EXPECT_EQ(bar.position(), 50);
    bar.setRange16(5, 5);  // equal bounds: no busy animation, nothing fails
    EXPECT_EQ(bar.position(), 5);
    EXPECT_EQ(bar.stepIt(), 5);
    EXPECT_EQ(bar.position(), 5);
    EXPECT_NE(bar.maximum(), bar.minimum());
}

TEST(ProgressBarControl, StepWrapsPastEitherEndLikeThePlatformControl) {
    dlg::ProgressBarControl bar;  // 0..100, step 10
    bar.setPosition(95);
    EXPECT_EQ(bar.stepIt(), 95);
    EXPECT_EQ(bar.position(), 5);
    bar.setPosition(90);
    bar.stepIt();
    EXPECT_EQ(bar.position(), 100);  // landing on the top does not wrap
    EXPECT_EQ(bar.setStepSize(-30), 10);
    bar.setPosition(20);
    EXPECT_EQ(bar.stepIt(), 20);
    EXPECT_EQ(bar.position(), 90);  // (20 - 30 - 0) % 100 + 100
}

TEST(ProgressCtrl, DoesNothingWithoutAControl) {
    dlg::ProgressCtrl ctrl;
    ctrl.SetRange(0, 200);
    EXPECT_EQ(ctrl.SetPos(50), 0);
    EXPECT_EQ(ctrl.StepIt(), 0);
    EXPECT_EQ(ctrl.GetPos(), 0);
}

TEST(ProgressCtrl, PacksTheRangeIntoSixteenBitBounds) {
    dlg::ProgressBarControl bar;
    dlg::ProgressCtrl ctrl;
    ctrl.Attach(&bar);
    ctrl.SetRange(-1, 70000);
    EXPECT_EQ(bar.low(), 0xFFFF);
    EXPECT_EQ(bar.high(), 70000 & 0xFFFF);
}

}  // namespace
