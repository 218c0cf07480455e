// The real main window runs a whole download against the virtual printer on the emulated bus, in
// virtual time: Enter on the window starts it, the test answers the message box, and the
// window's controls show the outcome.

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <set>

#include <gtest/gtest.h>

#include "download/download_window.h"
#include "download/history.h"
#include "link/usb_identity.h"
#include "platform/dialog/qt/dialog_window.h"
#include "support/virtual_printer.h"
#include "ui/modal_watcher.h"
#include "ui/templates.h"
#include "ui/update_dialog.h"

namespace pv::ui {
namespace {

constexpr std::uint16_t kProductIds[] = {0x0512};

// What the screen held while a message box was up.
struct AtBox {
    bool downLoadEnabled = true;
    int progressWindowsVisible = 0;
};

class MainWindowDownload : public pvtest::VirtualPrinterTest {
  protected:
    void SetUp() override {
        VirtualPrinterTest::SetUp();
        link::setUsbIdentity(kProductIds, 1, 0x7A3C);
    }
    void TearDown() override {
        link::releaseUsbIdentity();
        VirtualPrinterTest::TearDown();
    }

    std::string text(int id) { return window.GetDlgItemText(id); }
    std::vector<std::string> commands() {
        std::vector<std::string> names;
        for (const auto& event : printer().trace("command"))
            names.push_back(event.field("name"));
        return names;
    }

    UpdateDialog window;
};

int visibleProgressWindows(QWidget* mainWindow, QWidget* box) {
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w != mainWindow && w != box)
            ++count;
    return count;
}

TEST_F(MainWindowDownload, EnterRunsAMainAndTableDownloadToSuccess) {
    vprinter::Options options;
    options.mainVersion = "301E10";
    startPrinter(options);
    ASSERT_TRUE(window.Create(nullptr));

    std::vector<AtBox> atBoxes;
    testing::ModalWatcher watcher([&](QWidget* box) {
        atBoxes.push_back({window.IsDlgItemEnabled(download::kDownLoadButton),
                           visibleProgressWindows(window.window(), box)});
    });
    // Looks at the screen whenever a progress update lets events through.
    std::set<std::string> progressSeenWithMainWindowDisabled;
    QTimer sampler;
    sampler.setInterval(2);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w != window.window() && !window.IsWindowEnabled())
                progressSeenWithMainWindowDisabled.insert(w->windowTitle().toStdString());
    });
    sampler.start();
    QTest::keyClick(window.window(), Qt::Key_Return);
    sampler.stop();
    EXPECT_EQ(progressSeenWithMainWindowDisabled.count("Upgrade"), 1u);

    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].title, "Success!");
    EXPECT_EQ(watcher.seen()[0].text, "Success!\nThis F/W was downloaded properly on printer.");
    EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Information);
    ASSERT_EQ(atBoxes.size(), 1u);
    EXPECT_FALSE(atBoxes[0].downLoadEnabled);
    EXPECT_EQ(atBoxes[0].progressWindowsVisible, 0);

    EXPECT_EQ(commands(),
              (std::vector<std::string>{"initialise", "version-request", "erase p", "transfer p",
                                        "erase t", "transfer t", "reset", "readback-on",
                                        "version-request", "readback-off"}));
    const auto start = printer().trace("start").at(0);
    const auto back = printer().trace("back").at(0);
    EXPECT_EQ(text(kDownloadMainVersion), "301F11");
    EXPECT_EQ(text(kDownloadMainChecksum), "");
    EXPECT_EQ(text(kDownloadTableVersion), "705B11");
    EXPECT_EQ(text(kDownloadTableChecksum), "");
    EXPECT_EQ(text(kBeforeMainVersion), "301E10");
    EXPECT_EQ(text(kBeforeMainChecksum), start.field("main_sum").substr(2));
    EXPECT_EQ(text(kBeforeTableVersion), "705A10");
    EXPECT_EQ(text(kBeforeTableChecksum), start.field("table_sum").substr(2));
    EXPECT_EQ(text(kAfterMainVersion), "301F11");
    EXPECT_EQ(text(kAfterMainChecksum), back.field("main_sum").substr(2));
    EXPECT_EQ(text(kAfterTableVersion), "705B11");
    EXPECT_EQ(text(kAfterTableChecksum), back.field("table_sum").substr(2));

    EXPECT_TRUE(window.IsDlgItemEnabled(download::kDownLoadButton));
    EXPECT_FALSE(window.IsDlgItemEnabled(download::kGetChecksumButton));
    EXPECT_EQ(window.window()->focusWidget(), window.window()->item(download::kDownLoadButton));
    EXPECT_TRUE(window.IsWindowEnabled());
    EXPECT_EQ(window.mainImageData, nullptr);
    EXPECT_EQ(window.tableImageData, nullptr);
    EXPECT_EQ(visibleProgressWindows(window.window(), nullptr), 0);
}

// A termination request in the middle of the main image of a 301: that image and the table data
// that belongs with it go out whole, the printer is reset, the run is recorded, no box waits for
// an answer, and the window closes.
TEST_F(MainWindowDownload, ATerminationRequestMidImageFinishesItThenClosesTheWindow) {
    startPrinter(vprinter::Options{});
    ASSERT_TRUE(window.Create(nullptr));
    window.window()->show();
    const os::StopRequestHandlers handlers(UpdateDialog::OnStopRequest);
    testing::ModalWatcher watcher;
    QTimer signaller;
    signaller.setInterval(0);
    QObject::connect(&signaller, &QTimer::timeout, [&] {
        if (!printer().trace("stream-start").empty() && signaller.isActive()) {
            signaller.stop();
            std::raise(SIGTERM);
        }
    });
    signaller.start();
    const std::size_t recorded = download::readHistory().size();
    QTest::keyClick(window.window(), Qt::Key_Return);
    EXPECT_FALSE(signaller.isActive());
    EXPECT_EQ(commands(),
              (std::vector<std::string>{"initialise", "version-request", "erase p", "transfer p",
                                        "erase t", "transfer t", "reset"}));
    const auto verdicts = printer().trace("verdict");
    ASSERT_EQ(verdicts.size(), 2u);
    for (const auto& verdict : verdicts)
        EXPECT_EQ(verdict.field("result"), "valid") << verdict.readable();
    EXPECT_TRUE(watcher.seen().empty());
    EXPECT_FALSE(window.window()->isVisible());
    const auto history = download::readHistory();
    ASSERT_EQ(history.size(), recorded + 1);
    EXPECT_NE(history.back().find(R"("outcome":"interrupted")"), std::string::npos);
}

}  // namespace
}  // namespace pv::ui
