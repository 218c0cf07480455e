// The progress window: its caption, the percentage rule, the bar, the owner's enabled state, the
// commands it ignores and its window menu, which never holds up the updates.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "platform/dialog/qt/dialog_window.h"
#include "platform/dialog/qt/progress_bar.h"
#include "ui/progress_dialog.h"
#include "ui/resources.h"
#include "ui/templates.h"
#include "ui/update_dialog.h"

namespace pv::ui {
namespace {

class ProgressDialogTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(owner.Create(nullptr)); }

    std::unique_ptr<ProgressDialog> make(unsigned titleId, int low = 0, int high = 100) {
        auto progress = std::make_unique<ProgressDialog>(titleId);
        EXPECT_TRUE(progress->Create(&owner));
        progress->SetRange(low, high);
        return progress;
    }
    static std::string percent(ProgressDialog& p) { return p.GetDlgItemText(kProgressPercent); }
    static int bar(ProgressDialog& p) { return p.progressBar.GetPos(); }

    UpdateDialog owner;
};

TEST_F(ProgressDialogTest, CaptionComesFromTheStringTableAndZeroGivesNone) {
    auto upgrade = make(kUpgradeCaption);
    EXPECT_EQ(upgrade->GetWindowText(), "Upgrade");
    EXPECT_EQ(percent(*upgrade), " 0 %");
    upgrade.reset();
    auto untitled = make(0);
    EXPECT_EQ(untitled->titleId, 104u);
    EXPECT_EQ(untitled->GetWindowText(), "");
    EXPECT_FALSE(untitled->window()->item(kProgressCancel)->isVisible());
}

TEST_F(ProgressDialogTest, SetPosShowsThePercentOfTheRange) {
    auto progress = make(kUpgradeCaption);
    for (const auto& [pos, text] : {std::pair{0, "0%"}, {37, "37%"}, {100, "100%"}}) {
        progress->SetPos(pos);
        EXPECT_EQ(percent(*progress), text);
        EXPECT_EQ(bar(*progress), pos);
    }
    progress->SetPos(150);  // the label follows the argument, the bar stops at its top
    EXPECT_EQ(percent(*progress), "50%");
    EXPECT_EQ(bar(*progress), 100);
    progress->SetPos(-5);
    EXPECT_EQ(percent(*progress), "-5%");
    EXPECT_EQ(bar(*progress), 0);
    progress->SetPos(300);
    EXPECT_EQ(percent(*progress), "0%");
}

TEST_F(ProgressDialogTest, WiderRangeAndEqualBounds) {
    auto progress = make(kUpgradeCaption, 0, 200);
    progress->SetPos(100);
    EXPECT_EQ(percent(*progress), "50%");
    progress->SetPos(200);
    EXPECT_EQ(percent(*progress), "100%");
    progress->SetRange(7, 7);
    progress->SetPos(7);
    EXPECT_EQ(percent(*progress), "0%");
}

TEST_F(ProgressDialogTest, HundredStepsOfOneCountFromOneToHundred) {
    auto progress = make(kInitializingCaption);
    progress->SetStep(1);
    progress->SetPos(0);
    for (int i = 1; i <= 100; ++i) {
        progress->StepIt();
        ASSERT_EQ(percent(*progress), std::to_string(i) + "%");
    }
    EXPECT_EQ(bar(*progress), 100);
}

TEST_F(ProgressDialogTest, StepPastTheTopStartsOverAndShowsTheRemainder) {
    auto progress = make(kUpgradeCaption);
    progress->SetPos(95);
    progress->StepIt();
    EXPECT_EQ(percent(*progress), "5%");
    EXPECT_EQ(bar(*progress), 5);
}

TEST_F(ProgressDialogTest, RangeAndStepSetBeforeCreateApplyOnCreate) {
    ProgressDialog progress(kUpgradeCaption);
    progress.SetRange(10, 30);
    progress.SetStep(5);
    progress.SetPos(20);  // no window: nothing happens
    progress.StepIt();
    progress.SetMessage("ignored");
    ASSERT_TRUE(progress.Create(&owner));
    EXPECT_EQ(progress.progressBar.control()->low(), 10);
    EXPECT_EQ(progress.progressBar.control()->high(), 30);
    EXPECT_EQ(progress.progressBar.control()->stepSize(), 5);
    EXPECT_EQ(bar(progress), 10);
    EXPECT_EQ(progress.GetDlgItemText(kProgressMessage), "");
    progress.SetMessage("Loading the table data...\nDo not power off the printer.");
    EXPECT_EQ(progress.GetDlgItemText(kProgressMessage),
              "Loading the table data...\nDo not power off the printer.");
}

TEST_F(ProgressDialogTest, OwnerIsDisabledWhileItExistsButTheProgressWindowIsNot) {
    auto progress = make(kUpgradeCaption);
    EXPECT_FALSE(owner.IsWindowEnabled());
    EXPECT_TRUE(progress->IsWindowEnabled());
    EXPECT_TRUE(progress->window()->isEnabled());
    owner.window()->show();
    owner.window()->close();  // a close request to the disabled owner is refused
    EXPECT_TRUE(owner.window()->isVisible());
    progress.reset();
    EXPECT_TRUE(owner.IsWindowEnabled());

    auto again = make(kUpgradeCaption);
    EXPECT_TRUE(again->DestroyWindow());
    EXPECT_TRUE(owner.IsWindowEnabled());
    again->SetPos(50);  // updates after the window is gone do nothing
    EXPECT_FALSE(again->hasWindow());
}

TEST_F(ProgressDialogTest, AnOwnerDisabledBeforeStaysDisabledAfter) {
    owner.EnableWindow(false);
    auto progress = make(kUpgradeCaption);
    EXPECT_FALSE(progress->ownerDisabled);
    progress.reset();
    EXPECT_FALSE(owner.IsWindowEnabled());
}

TEST_F(ProgressDialogTest, EnterEscapeAndTheCloseBoxLeaveItOpen) {
    auto progress = make(kUpgradeCaption);
    progress->window()->show();
    QTest::keyClick(progress->window(), Qt::Key_Return);
    QTest::keyClick(progress->window(), Qt::Key_Escape);
    progress->window()->close();
    progress->OnSysCommand(dlg::kScClose);
    progress->PumpMessages();
    EXPECT_TRUE(progress->hasWindow());
    EXPECT_TRUE(progress->window()->isVisible());
    EXPECT_FALSE(owner.IsWindowEnabled());
}

// The updates come from inside an image stream with a time limit: a menu the user opens on the
// window meanwhile must not hold them up.
TEST_F(ProgressDialogTest, ItsWindowMenuNeverHoldsUpAnUpdate) {
    auto progress = make(kUpgradeCaption);
    QWindow* handle = progress->window()->windowHandle();
    QTimer::singleShot(0, handle, [=] { QTest::mouseClick(handle, Qt::RightButton, {}, {5, 5}); });
    QTimer::singleShot(1000, handle, [] { QApplication::activePopupWidget()->close(); });
    QElapsedTimer clock;
    clock.start();
    progress->SetPos(50);  // the menu opens inside the update, which returns at once
    EXPECT_LT(clock.elapsed(), 250);
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    QApplication::activePopupWidget()->close();
}

TEST_F(ProgressDialogTest, ReportsTransmissionProgressThroughTheLinkInterface) {
    auto progress = make(kUpgradeCaption);
    link::TransmitProgress& sink = *progress;
    sink.SetPos(42);
    EXPECT_EQ(percent(*progress), "42%");
}

}  // namespace
}  // namespace pv::ui
