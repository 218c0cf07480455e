// The main window and the About box as built from their templates: layout, texts, focus and
// default button, data flowing from fields to controls, the window menu and its About entry, and
// what the window refuses while a download runs.

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <cstring>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "modal_watcher.h"
#include "payload/embedded_images.h"
#include "platform/dialog/qt/dialog_window.h"
#include "ui/about_dialog.h"
#include "ui/resources.h"
#include "ui/templates.h"
#include "ui/update_dialog.h"

namespace pv::ui {
namespace {

// Stands in for the download procedure: counts runs and does `duringRun` in each.
class CountingUpdateDialog : public UpdateDialog {
  public:
    void OnDownLoad() override {
        ++downloads;
        if (duringRun)
            duringRun();
    }
    int downloads = 0;
    std::function<void()> duringRun;
};

// Markup in a label's text shows as it is: the label is as wide as the literal text.
bool showsLiterally(const QLabel& label) {
    return label.sizeHint().width() >= label.fontMetrics().horizontalAdvance(label.text());
}

class UpdateDialogTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(window.Create(nullptr)); }
    QPushButton* button(int id) { return qobject_cast<QPushButton*>(window.window()->item(id)); }

    CountingUpdateDialog window;
};

TEST(Templates, MainWindowTemplateHasEveryControlWithItsIdAndStyle) {
    EXPECT_EQ(kUpdateTemplate.id, 102);
    EXPECT_EQ(kUpdateTemplate.caption, "Software Upgrade Application for PV4410S");
    EXPECT_EQ(kUpdateTemplate.cx, 258);
    EXPECT_EQ(kUpdateTemplate.cy, 201);
    ASSERT_EQ(kUpdateTemplate.controls.size(), 32u);
    std::set<int> ids;
    std::vector<int> tabStops;
    for (const auto& control : kUpdateTemplate.controls) {
        if (control.id != dlg::kNoId) {
            EXPECT_TRUE(ids.insert(control.id).second) << control.id;
        }
        if ((control.styles & dlg::kTabStop) != 0)
            tabStops.push_back(control.id);
    }
    EXPECT_EQ(ids, (std::set<int>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1008, 1009, 1010, 1014,
                                  1015, 1016, 1017}));
    EXPECT_EQ(tabStops, (std::vector<int>{1001, 1000}));
    const auto& getChecksum = kUpdateTemplate.controls[20];
    EXPECT_EQ(getChecksum.text, "Get\nChecksum");
    EXPECT_NE(getChecksum.styles & dlg::kDisabled, 0u);
    const auto& downLoad = kUpdateTemplate.controls[21];
    EXPECT_EQ(downLoad.id, 1000);
    EXPECT_EQ(downLoad.styles & dlg::kDefaultButton, dlg::kDefaultButton);
    EXPECT_EQ(downLoad.rect.x, 66);
    EXPECT_EQ(downLoad.rect.cy, 23);
}

TEST(Templates, AboutAndProgressTemplates) {
    EXPECT_EQ(kAboutTemplate.id, 100);
    EXPECT_EQ(kAboutTemplate.caption, "About");
    EXPECT_EQ(kAboutTemplate.controls[1].text, "FlashKit Version 1.00");
    EXPECT_EQ(kAboutTemplate.controls[3].id, dlg::kIdOk);
    EXPECT_EQ(kProgressTemplate.id, 105);
    EXPECT_EQ(kProgressTemplate.caption, "");
    EXPECT_EQ(kProgressTemplate.cx, 176);
    EXPECT_EQ(kProgressTemplate.cy, 80);
    EXPECT_NE(kProgressTemplate.controls[0].styles & dlg::kHidden, 0u);
    EXPECT_EQ(kProgressTemplate.controls[2].text, " 0 %");
}

TEST(StringTable, HasTheProgramsTextsAndNoEntry104) {
    EXPECT_EQ(LoadString(101), "&About...");
    EXPECT_EQ(LoadString(1000), "Upgrade");
    EXPECT_EQ(LoadString(1012), "Illegal Printer Type.");
    EXPECT_EQ(LoadString(1015),
              "Failed! Time out Error!\nPlease turn the printer OFF and then ON, and download "
              "again.");
    EXPECT_EQ(LoadString(104), "");
    const QIcon icon = dlg::toQIcon(resources().LoadIcon(kAppIconId));
    EXPECT_TRUE(icon.availableSizes().contains(QSize(32, 32)));
    EXPECT_TRUE(icon.availableSizes().contains(QSize(16, 16)));
}

TEST_F(UpdateDialogTest, ControlsSitWhereTheTemplatePutsThemInPixels) {
    const dlg::BaseUnits units = window.baseUnits();
    EXPECT_EQ(window.window()->size(),
              dlg::toQRect(dlg::mapDialogRect({0, 0, 258, 201}, units)).size());
    for (const auto& control : kUpdateTemplate.controls) {
        if (control.id == dlg::kNoId)
            continue;
        EXPECT_EQ(window.window()->item(control.id)->geometry(),
                  dlg::toQRect(dlg::mapDialogRect(control.rect, units)))
            << control.id;
    }
    EXPECT_EQ(window.GetWindowText(), "Software Upgrade Application for PV4410S");
}

TEST_F(UpdateDialogTest, OpensWithEmptyFieldsDownLoadFocusedAndDefaultGetChecksumGreyed) {
    for (int id : {1002, 1003, 1004, 1005, 1006, 1008, 1009, 1010, 1014, 1015, 1016, 1017})
        EXPECT_EQ(window.GetDlgItemText(id), "") << id;
    EXPECT_EQ(window.window()->focusWidget(), button(kDownLoadButton));
    EXPECT_TRUE(button(kDownLoadButton)->isDefault());
    EXPECT_FALSE(button(kGetChecksumButton)->isEnabled());
    EXPECT_EQ(window.mainImageIndex, -1);
    EXPECT_EQ(window.tableImageIndex, -1);
    EXPECT_EQ(window.msPerPercent, 0u);
    auto* field = qobject_cast<QLabel*>(window.window()->item(kBeforeMainVersion));
    EXPECT_EQ(field->frameShadow(), QFrame::Sunken);
}

TEST_F(UpdateDialogTest, EnterAndClickRunTheDownloadGetChecksumNever) {
    QTest::keyClick(window.window(), Qt::Key_Return);
    EXPECT_EQ(window.downloads, 1);
    QTest::mouseClick(button(kDownLoadButton), Qt::LeftButton);
    EXPECT_EQ(window.downloads, 2);
    QTest::mouseClick(button(kGetChecksumButton), Qt::LeftButton);
    EXPECT_EQ(window.downloads, 2);
    window.EnableButton(kDownLoadButton, false);
    QTest::keyClick(window.window(), Qt::Key_Return);
    EXPECT_EQ(window.downloads, 2);
    window.EnableButton(kDownLoadButton, true);
    window.FocusControl(kDownLoadButton);
    EXPECT_EQ(window.window()->focusWidget(), button(kDownLoadButton));
}

TEST_F(UpdateDialogTest, FieldsGoToTheirControls) {
    window.afterMainChecksum = "A1";
    window.afterMainVersion = "<b>x</b>";  // a printer's text is never rich text
    window.afterTableChecksum = "A3";
    window.afterTableVersion = "A4";
    window.beforeMainChecksum = "B1";
    window.beforeMainVersion = "B2";
    window.beforeTableChecksum = "B3";
    window.beforeTableVersion = "B4";
    window.PushTexts();
    const std::pair<int, const char*> expected[] = {{1002, "A1"}, {1004, "<b>x</b>"}, {1009, "A3"},
                                                    {1010, "A4"}, {1015, "B1"},       {1014, "B2"},
                                                    {1017, "B3"}, {1016, "B4"}};
    for (const auto& [id, text] : expected)
        EXPECT_EQ(window.GetDlgItemText(id), text) << id;
    EXPECT_TRUE(showsLiterally(*qobject_cast<QLabel*>(window.window()->item(1004))));
    testing::ModalWatcher watcher([](QWidget* box) {
        EXPECT_TRUE(showsLiterally(*box->findChild<QLabel*>("qt_msgbox_label")));
    });
    window.ShowMessage("Main firm ware : <b>x</b>", "Version Check", dlg::MessageIcon::Information);
    EXPECT_EQ(watcher.seen().size(), 1u);

    std::memcpy(window.mainLabelPair.version, "301F11", 7);
    std::memcpy(window.mainLabelPair.checksum, "AB", 3);
    std::memcpy(window.tableLabelPair.version, "705B11", 7);
    window.ShowLabels();
    EXPECT_EQ(window.GetDlgItemText(1005), "301F11");
    EXPECT_EQ(window.GetDlgItemText(1003), "AB");
    EXPECT_EQ(window.GetDlgItemText(1006), "705B11");
    EXPECT_EQ(window.GetDlgItemText(1008), "");
}

TEST_F(UpdateDialogTest, WindowMenuEndsWithSeparatorAndAbout) {
    const QList<QAction*> actions = window.window()->windowMenu()->actions();
    ASSERT_GE(actions.size(), 3);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), "&About...");
}

TEST_F(UpdateDialogTest, AboutOpensForCommand16WhateverItsLowBits) {
    std::string notice;
    testing::ModalWatcher watcher([&](QWidget* modal) {
        for (auto* label : modal->findChildren<QLabel*>())
            notice += label->text().toStdString() + "|";
    });
    window.OnSysCommand(16);
    window.OnSysCommand(16 | 0xF);
    window.OnSysCommand(32);  // not the About entry: nothing opens
    ASSERT_EQ(watcher.seen().size(), 2u);
    EXPECT_EQ(watcher.seen()[0].title, "About");
    EXPECT_NE(notice.find("FlashKit Version 1.00"), std::string::npos);
    EXPECT_EQ(notice.find("Demonstration build: test firmware only") != std::string::npos,
              payload::kStandInImages);
}

TEST_F(UpdateDialogTest, RightClickAndShiftF10OpenTheWindowMenu) {
    const QObject guard;  // a menu that would block is closed, so that the test fails, not hangs
    QTimer::singleShot(1000, &guard, [] { QApplication::activePopupWidget()->close(); });
    window.window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.window()));
    QTest::mouseClick(window.window()->windowHandle(), Qt::RightButton, {}, QPoint(5, 5));
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    QApplication::activePopupWidget()->close();
    QTest::keyClick(window.window(), Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_NE(QApplication::activePopupWidget(), nullptr);
    QApplication::activePopupWidget()->close();
}

// While a run drains events, every close the user makes (the close box, Escape, Alt+F4, a close
// of the window disabled by its progress window) and the window menu's commands are refused: the
// run goes on to its box and the window stays. Once the run is over, each closes the window but
// the close of a disabled window, which the platform never closes.
TEST_F(UpdateDialogTest, ARunRefusesEveryCloseAndTheWindowMenu) {
    struct Request {
        std::function<void()> send;
        bool closesAfter;  // closes the window once no run is under way
    };
    const Request requests[] = {
        {[&] { window.window()->close(); }, true},
        {[&] { QTest::keyClick(window.window(), Qt::Key_Escape); }, true},
        {[&] { QTest::keyClick(window.window(), Qt::Key_F4, Qt::AltModifier); }, true},
        {[&] {
             window.window()->setEnabled(false);
             window.window()->close();
             window.window()->setEnabled(true);
         },
         false},
    };
    testing::ModalWatcher watcher;
    for (const auto& request : requests) {
        window.window()->show();
        bool stopRequested = false;
        window.duringRun = [&] {
            request.send();
            window.OnSysCommand(kAboutCommand);
            stopRequested = UpdateDialog::StopRequested();
        };
        QTest::keyClick(window.window(), Qt::Key_Return);
        EXPECT_FALSE(stopRequested) << "the run goes on";
        EXPECT_TRUE(window.window()->isVisible());
        EXPECT_FALSE(UpdateDialog::RequestStop()) << "no run is under way";
        request.send();
        EXPECT_EQ(window.window()->isVisible(), !request.closesAfter);
        window.window()->close();
    }
    EXPECT_TRUE(watcher.seen().empty());
}

// Input that waited in the queue while the run handled no events (a blocking transfer) would
// reach an enabled "DownLoad" after the run: it is thrown away instead.
TEST_F(UpdateDialogTest, AnEnterQueuedDuringARunStartsNoSecondRun) {
    window.duringRun = [&] {
        QCoreApplication::postEvent(window.window(),
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, {}));
    };
    QTest::mouseClick(button(kDownLoadButton), Qt::LeftButton);
    dlg::PumpMessages();
    EXPECT_EQ(window.downloads, 1);
}

// Every label's lines fit its control in the dialog font, in all three windows: each line is
// narrower than the label and the label is tall enough for the lines its width gives.
void expectTextsFit(dlg::Dialog& dialog) {
    for (auto* label : dialog.window()->findChildren<QLabel*>()) {
        const QFontMetrics metrics = label->fontMetrics();
        const int frame = 2 * label->frameWidth();
        for (const QString& line : label->text().split('\n'))
            EXPECT_LE(metrics.horizontalAdvance(line) + frame, label->width())
                << dialog.dialogTemplate().id << " \"" << line.toStdString() << "\"";
        if (label->frameWidth() == 0 && label->pixmap().isNull()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height())
                << dialog.dialogTemplate().id << " \"" << label->text().toStdString() << "\"";
        }
    }
}

TEST(Layout, EveryTextFitsItsControl) {
    UpdateDialog update;
    update.Create(nullptr);
    for (int id : {1002, 1003, 1004, 1005, 1006, 1008, 1009, 1010, 1014, 1015, 1016, 1017})
        update.SetDlgItemText(id, id % 2 == 0 ? "301F11" : "FFFF");
    expectTextsFit(update);
    AboutDialog about;
    about.Create(nullptr);
    expectTextsFit(about);
    ProgressDialog progress(kUpgradeCaption);
    progress.Create(nullptr);
    progress.SetMessage(
        "Loading the main firmware...\nDo not power off the printer during download.");
    progress.SetPos(100);
    expectTextsFit(progress);
}

TEST(AboutDialog, EnterEscapeAndCloseBoxCloseIt) {
    for (auto key : {Qt::Key_Return, Qt::Key_Escape}) {
        AboutDialog about;
        QTimer::singleShot(50, [&] { QTest::keyClick(about.window(), key); });
        const int result = about.DoModal();
        EXPECT_EQ(result, key == Qt::Key_Return ? dlg::kIdOk : dlg::kIdCancel);
        EXPECT_FALSE(about.hasWindow());
    }
    AboutDialog about;
    QTimer::singleShot(50, [&] { about.window()->close(); });
    EXPECT_EQ(about.DoModal(), dlg::kIdCancel);
}

}  // namespace
}  // namespace pv::ui
