#include "ui/update_dialog.h"

#include <atomic>

#include "download/download_procedure.h"
#include "download/strings.h"
#include "platform/dialog/application.h"
#include "platform/os/log.h"
#include "ui/about_dialog.h"
#include "ui/resources.h"
#include "ui/templates.h"

namespace pv::ui {
namespace {

std::atomic<bool> runActive{false};
std::atomic<bool> stopAsked{false};

// Both parts of a label pair are zero-terminated within their fixed fields.
std::string_view field(const char* text, std::size_t size) {
    std::size_t length = 0;
    while (length < size && text[length] != '\0')
        ++length;
    return {text, length};
}

// What the download procedure sees of the main window.
class DownloadWindowAdapter final : public download::DownloadWindow {
  public:
    explicit DownloadWindowAdapter(UpdateDialog& window) : window_(window) {}

    payload::ImageSelection& selection() override { return window_; }
    download::DisplayTexts& texts() override { return window_; }
    void PushTexts() override { window_.PushTexts(); }
    void ShowLabels() override { window_.ShowLabels(); }
    void EnableButton(int controlId, bool enable) override {
        window_.EnableButton(controlId, enable);
    }
    void FocusControl(int controlId) override { window_.FocusControl(controlId); }
    void MessageBox(const std::string& text, const std::string& caption,
                    download::BoxIcon icon) override {
        // Nobody waits for a box once the window is to close (the session may be ending).
        if (UpdateDialog::StopRequested()) {
            os::logLine("download: " + caption + ": " + text);
            return;
        }
        window_.ShowMessage(text, caption,
                            icon == download::BoxIcon::Warning ? dlg::MessageIcon::Warning
                                                               : dlg::MessageIcon::Information);
    }
    std::string LoadString(unsigned id) override { return window_.LoadString(id); }
    std::unique_ptr<download::ProgressWindow> CreateProgress(unsigned titleId) override {
        return window_.CreateProgress(titleId);
    }
    void PumpMessages() override { dlg::PumpMessages(); }
    bool StopRequested() override { return UpdateDialog::StopRequested(); }
    // No log-off or shutdown while the printer is without firmware it could start from.
    void FirmwareBeingWritten(bool writing, std::uint32_t msLeft) override {
        if (writing)
            dlg::HoldSessionEnd(download::writingReason(msLeft));
        else
            dlg::ReleaseSessionEnd();
    }

  private:
    UpdateDialog& window_;
};

}  // namespace

UpdateDialog::UpdateDialog(dlg::Dialog* parent)
    : dlg::Dialog(kUpdateTemplate, resources(), parent), icon(LoadIcon(kAppIconId)) {}

UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::DoDataExchange(dlg::DataExchange& dx) {
    dx.Text(kAfterMainChecksum, afterMainChecksum);
    dx.Text(kAfterMainVersion, afterMainVersion);
    dx.Text(kAfterTableChecksum, afterTableChecksum);
    dx.Text(kAfterTableVersion, afterTableVersion);
    dx.Text(kBeforeMainChecksum, beforeMainChecksum);
    dx.Text(kBeforeMainVersion, beforeMainVersion);
    dx.Text(kBeforeTableChecksum, beforeTableChecksum);
    dx.Text(kBeforeTableVersion, beforeTableVersion);
}

bool UpdateDialog::OnInitDialog() {
    dlg::Dialog::OnInitDialog();
    if (dlg::WindowMenu* menu = GetSystemMenu()) {
        const std::string about = LoadString(kAboutMenuText);
        if (!about.empty()) {
            menu->AppendSeparator();
            menu->AppendItem(kAboutCommand, about);
        }
    }
    SetIcon(icon);
    // No selection yet: both label pairs are all zero, so the "Download F/W" fields turn blank
    // before the window is first shown.
    mainImageIndex = -1;
    tableImageIndex = -1;
    msPerPercent = 0;
    mainLabelPair = {};
    tableLabelPair = {};
    ShowLabels();
    mainImageSize = 0;
    tableImageSize = 0;
    mainImageData.reset();
    tableImageData.reset();
    return true;
}

void UpdateDialog::PushTexts() {
    UpdateData();
}

void UpdateDialog::ShowLabels() {
    SetDlgItemText(kDownloadMainVersion,
                   field(mainLabelPair.version, sizeof mainLabelPair.version));
    SetDlgItemText(kDownloadMainChecksum,
                   field(mainLabelPair.checksum, sizeof mainLabelPair.checksum));
    SetDlgItemText(kDownloadTableVersion,
                   field(tableLabelPair.version, sizeof tableLabelPair.version));
    SetDlgItemText(kDownloadTableChecksum,
                   field(tableLabelPair.checksum, sizeof tableLabelPair.checksum));
}

std::unique_ptr<ProgressDialog> UpdateDialog::CreateProgress(unsigned titleId) {
    auto progress = std::make_unique<ProgressDialog>(titleId);
    progress->Create(this);
    return progress;
}

void UpdateDialog::OnCommand(int id) {
    if (runUnderWay_)
        return;
    if (id == kDownLoadButton)
        RunDownLoad();
    else
        dlg::Dialog::OnCommand(id);
}

void UpdateDialog::OnSysCommand(unsigned id) {
    // No window closes while a download runs: the close box, Alt+F4 and the window menu are
    // refused until the run has shown its box. (Signals and the session's end stop the run.)
    if (runUnderWay_)
        return;
    if ((id & 0xFFF0u) == kAboutCommand) {
        AboutDialog about(this);
        about.DoModal();
        return;
    }
    dlg::Dialog::OnSysCommand(id);
}

void UpdateDialog::RunDownLoad() {
    runUnderWay_ = true;
    stopAsked.store(false);
    runActive.store(true);
    OnDownLoad();
    // Keys and clicks that came in while nothing handled events (a blocking transfer, a sleep)
    // are still queued; delivered now they would find "DownLoad" enabled again.
    dlg::DiscardPendingInput();
    runActive.store(false);
    runUnderWay_ = false;
    if (stopAsked.exchange(false))
        EndDialog(dlg::kIdCancel);
}

bool UpdateDialog::RequestStop() {
    if (!runActive.load())
        return false;
    stopAsked.store(true);
    return true;
}

bool UpdateDialog::StopRequested() {
    return stopAsked.load();
}

void UpdateDialog::OnStopRequest(os::StopRequest request) {
    if (RequestStop())
        return;
    constexpr int kSignalled = 128;  // the shell's status for a program ended by signal N
    os::exitNow(kSignalled + (request == os::StopRequest::Interrupt ? 2
                              : request == os::StopRequest::HangUp  ? 1
                                                                    : 15));
}

void UpdateDialog::OnCloseWhileDisabled() {
    // A close of the disabled main window (a plain close message) during a run is refused as the
    // user's own closes are.
}

void UpdateDialog::OnDownLoad() {
    static const payload::FirmwareCatalogue embedded;
    DownloadWindowAdapter adapter(*this);
    download::DownloadProcedure(adapter, catalogue_ ? *catalogue_ : embedded,
                                payload::kStandInImages)
        .runDownload();
}

}  // namespace pv::ui
