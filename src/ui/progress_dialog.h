#pragma once
// The modeless progress window: a caption from the string table, a message of up to two lines,
// a percentage and a bar. While it exists its owner is disabled (and given back the state it had
// before). The user cannot close it: Enter, Escape and the close box do nothing. SetPos and
// StepIt first handle every waiting event of the thread, which is what keeps both windows painted
// while the caller sleeps between updates. Without a window every update does nothing.

#include <cstdint>
#include <string_view>

#include "download/download_window.h"
#include "platform/dialog/dialog.h"
#include "platform/dialog/progress_ctrl.h"

namespace pv::ui {

class ProgressDialog : public dlg::Dialog, public download::ProgressWindow {
  public:
    // `titleId` is the string-table id of the caption; 0 picks 104, which has no string.
    explicit ProgressDialog(unsigned titleId = 0);
    ~ProgressDialog() override;
    ProgressDialog(const ProgressDialog&) = delete;
    ProgressDialog& operator=(const ProgressDialog&) = delete;

    // Disables the owner (when none is given: the application's main window) if it is enabled,
    // then creates and shows the window centred over it. False when no window could be made.
    bool Create(dlg::Dialog* ownerWindow = nullptr);
    // Gives the owner back its state, then destroys the window.
    bool DestroyWindow() override;

    // Stored, and sent to the bar when there is one; neither touches the percentage.
    void SetRange(std::int32_t low, std::int32_t high) override;
    void SetStep(std::int32_t newStep) override;
    void SetPos(std::int32_t position) override;
    void StepIt() override;
    void SetMessage(std::string_view text) override;
    // Handles every event waiting for any window of the thread, without waiting for more.
    void PumpMessages() override;

    dlg::ProgressCtrl progressBar;
    unsigned titleId;
    std::int32_t rangeLow = 0;
    std::int32_t rangeHigh = 100;
    std::int32_t step = 10;
    bool ownerDisabled = false;
    dlg::Dialog* owner = nullptr;

  protected:
    void DoDataExchange(dlg::DataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override {}
    void OnCancel() override {}

  private:
    void ShowPercent(std::int32_t value);
    void ReenableOwner();
};

}  // namespace pv::ui
