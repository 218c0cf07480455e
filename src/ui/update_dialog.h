#pragma once
// The main window. It shows the firmware the tool will send (the "Download F/W" rows) and what the
// printer reported before and after a download, and holds the state of a download run: the image
// selection, the expected version labels, the assembled images and the progress time scale
// (inherited from pv::payload::ImageSelection, so those fields are the window's own). Data flows
// one way, from the fields to the controls. "DownLoad" (or Enter) calls OnDownLoad(); the window
// menu holds "&About...".
//
// A download runs inside the button handler and drains the event queue while it waits, so the
// window answers events during the run. While a run is under way the window refuses every
// command and window-menu command: Escape does nothing, no About box opens and no second run
// starts. Closing the window (close box, Alt+F4, "Close", the session ending) or a termination
// request from the system asks the run to stop instead: it finishes any image under way, resets
// the printer and records its outcome, and then the window closes. Input that is still waiting
// when the run ends arrived during the run and is thrown away rather than acted on.

#include <memory>
#include <string>
#include <string_view>

#include "download/download_window.h"
#include "payload/catalogue.h"
#include "platform/dialog/dialog.h"
#include "platform/os/stop_requests.h"
#include "ui/progress_dialog.h"

namespace pv::ui {

// Window-menu command of the About entry; the low four bits are ignored when dispatching.
inline constexpr unsigned kAboutCommand = 0x0010;

// The eight texts of the "F/W in Printer" rows (afterMainChecksum ... beforeTableVersion) are the
// download's display texts, inherited like the selection.
class UpdateDialog : public dlg::Dialog,
                     public payload::ImageSelection,
                     public download::DisplayTexts {
  public:
    explicit UpdateDialog(dlg::Dialog* parent = nullptr);
    ~UpdateDialog() override;
    UpdateDialog(const UpdateDialog&) = delete;
    UpdateDialog& operator=(const UpdateDialog&) = delete;

    // Writes the eight texts into their controls.
    void PushTexts();
    // Writes the version codes and checksum labels of the two label pairs into the four
    // "Download F/W" fields.
    void ShowLabels();

    // What the download procedure uses besides the fields.
    void EnableButton(int controlId, bool enable) { EnableDlgItem(controlId, enable); }
    // Makes the control the dialog's next control, which gives it the keyboard focus.
    void FocusControl(int controlId) { GotoDlgCtrl(controlId); }
    // A modal message box owned by this window.
    void ShowMessage(std::string_view text, std::string_view caption, dlg::MessageIcon kind) {
        MessageBox(text, caption, kind);
    }
    // A progress window captioned with string `titleId`, created and shown, owned by this window
    // (which it disables until it is destroyed).
    std::unique_ptr<ProgressDialog> CreateProgress(unsigned titleId);

    void OnCommand(int id) override;
    void OnSysCommand(unsigned id) override;

    // Runs the download; called by "DownLoad" and by Enter while "DownLoad" is the default, with
    // RunUnderWay() true throughout.
    virtual void OnDownLoad();
    bool RunUnderWay() const { return runUnderWay_; }

    // Asks the run under way to stop; false when none is. It only sets a flag, so a signal
    // handler may call it.
    static bool RequestStop();
    static bool StopRequested();
    // What the program does with a stop request from the system: the run under way stops, and
    // with none under way the program ends at once.
    static void OnStopRequest(os::StopRequest request);
    void OnCloseWhileDisabled() override;

    // The firmware the download procedure picks from; the embedded images unless a test set
    // another catalogue (which must outlive the window).
    void SetCatalogue(const payload::FirmwareCatalogue& catalogue) { catalogue_ = &catalogue; }

    dlg::Icon icon;

  protected:
    void DoDataExchange(dlg::DataExchange& dx) override;
    bool OnInitDialog() override;

  private:
    void RunDownLoad();

    const payload::FirmwareCatalogue* catalogue_ = nullptr;
    bool runUnderWay_ = false;
};

}  // namespace pv::ui
