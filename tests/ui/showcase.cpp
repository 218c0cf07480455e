// Shows one of the program's windows in a representative state and keeps it open until killed,
// so that a screenshot can be taken: "main", "about" or "progress".

#include <cstring>
#include <memory>

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

// Runs on the toolkit's event loop, whichever backend the framework has.
class Showcase : public dlg::Application {
  public:
    explicit Showcase(const char* which) : which_(which) {}

    bool InitInstance() override {
        dlg::SetApplicationIcon(pv::ui::resources().LoadIcon(pv::ui::kAppIconId));
        SetMainWindow(&mainWindow_);
        if (std::strcmp(which_, "about") == 0) {
            pv::ui::AboutDialog about;
            about.DoModal();
            return false;
        }
        mainWindow_.Create(nullptr);
        fillMainWindow(mainWindow_);
        if (std::strcmp(which_, "progress") == 0) {
            progress_ = mainWindow_.CreateProgress(pv::ui::kUpgradeCaption);
            progress_->SetRange(0, 100);
            progress_->SetMessage(
                "Loading the main firmware...\nDo not power off the printer during download.");
            progress_->SetPos(100);
        }
        return true;
    }

  private:
    const char* which_;
    pv::ui::UpdateDialog mainWindow_;
    std::unique_ptr<pv::ui::ProgressDialog> progress_;
};

}  // namespace

int main(int argc, char** argv) {
    Showcase showcase(argc > 1 ? argv[1] : "main");
    return showcase.Run(argv[0]);
}
