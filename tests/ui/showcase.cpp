// Shows one of the program's windows in a representative state and keeps it open until killed,
// so that a screenshot can be taken: "main", "about" or "progress".

#include <QApplication>
#include <QTimer>

#include <cstring>

#include "platform/dialog/application.h"
#include "ui/about_dialog.h"
#include "ui/resources.h"
#include "ui/update_dialog.h"

namespace {

void fillMainWindow(pv::ui::UpdateDialog& window) {
    std::memcpy(window.mainLabelPair.version, "301F11", 7);
    std::memcpy(window.tableLabelPair.version, "705B11", 7);
    window.ShowLabels();
    window.beforeMainVersion = "301F09";
    window.beforeMainChecksum = "A5C3";
    window.beforeTableVersion = "705B10";
    window.beforeTableChecksum = "0F1E";
    window.afterMainVersion = "301F11";
    window.afterMainChecksum = "BEEF";
    window.afterTableVersion = "705B11";
    window.afterTableChecksum = "1234";
    window.PushTexts();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    dlg::SetApplicationIcon(pv::ui::resources().LoadIcon(pv::ui::kAppIconId));
    const char* which = argc > 1 ? argv[1] : "main";
    dlg::Application dialogApp;
    pv::ui::UpdateDialog mainWindow;
    dialogApp.SetMainWindow(&mainWindow);
    if (std::strcmp(which, "about") == 0) {
        pv::ui::AboutDialog about;
        return about.DoModal();
    }
    mainWindow.Create(nullptr);
    fillMainWindow(mainWindow);
    std::unique_ptr<pv::ui::ProgressDialog> progress;
    if (std::strcmp(which, "progress") == 0) {
        progress = mainWindow.CreateProgress(pv::ui::kUpgradeCaption);
        progress->SetRange(0, 100);
        progress->SetMessage(
            "Loading the main firmware...\nDo not power off the printer during download.");
        progress->SetPos(100);
    }
    return QApplication::exec();
}
