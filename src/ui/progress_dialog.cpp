#include "ui/progress_dialog.h"

#include <cstdio>
#include <string>

#include "platform/dialog/application.h"
#include "ui/resources.h"
#include "ui/templates.h"

namespace pv::ui {

ProgressDialog::ProgressDialog(unsigned titleId_)
    : dlg::Dialog(kProgressTemplate, resources()),
      titleId(titleId_ != 0 ? titleId_ : kDefaultProgressCaption) {}

ProgressDialog::~ProgressDialog() {
    if (hasWindow()) {
        ReenableOwner();
        dlg::Dialog::DestroyWindow();
    }
}

bool ProgressDialog::Create(dlg::Dialog* ownerWindow) {
    owner = ownerWindow != nullptr ? ownerWindow : dlg::MainWindow();
    if (owner != nullptr && owner->hasWindow() && owner->IsWindowEnabled()) {
        owner->EnableWindow(false);
        ownerDisabled = true;
    }
    if (dlg::Dialog::Create(owner))
        return true;
    ReenableOwner();
    return false;
}

bool ProgressDialog::DestroyWindow() {
    ReenableOwner();
    progressBar.Detach();
    return dlg::Dialog::DestroyWindow();
}

void ProgressDialog::ReenableOwner() {
    if (ownerDisabled && owner != nullptr)
        owner->EnableWindow(true);
    ownerDisabled = false;
}

void ProgressDialog::DoDataExchange(dlg::DataExchange& dx) {
    dx.Control(kProgressBar, progressBar);
}

bool ProgressDialog::OnInitDialog() {
    dlg::Dialog::OnInitDialog();
    progressBar.SetRange(rangeLow, rangeHigh);
    progressBar.SetStep(step);
    progressBar.SetPos(rangeLow);
    SetWindowText(LoadString(titleId));
    return true;
}

void ProgressDialog::SetRange(std::int32_t low, std::int32_t high) {
    rangeLow = low;
    rangeHigh = high;
    if (hasWindow())
        progressBar.SetRange(low, high);
}

void ProgressDialog::SetStep(std::int32_t newStep) {
    step = newStep;
    if (hasWindow())
        progressBar.SetStep(newStep);
}

void ProgressDialog::SetPos(std::int32_t position) {
    if (!hasWindow())
        return;
    PumpMessages();
    if (!hasWindow())
        return;
    progressBar.SetPos(position);
    ShowPercent(position);
}

void ProgressDialog::StepIt() {
    if (!hasWindow())
        return;
    PumpMessages();
    if (!hasWindow())
        return;
    const std::int32_t before = progressBar.StepIt();
    ShowPercent(static_cast<std::int32_t>(static_cast<std::int64_t>(before) + step));
}

void ProgressDialog::SetMessage(std::string_view text) {
    if (hasWindow())
        SetDlgItemText(kProgressMessage, text);
}

void ProgressDialog::PumpMessages() {
    dlg::PumpMessages();
}

// The percentage of the stored range, reduced so that overruns start again from 0% (105 shows 5)
// while exactly 100 stays 100. Computed in 64 bits so that no position can overflow; equal
// bounds show 0%.
void ProgressDialog::ShowPercent(std::int32_t value) {
    const std::int64_t span = static_cast<std::int64_t>(rangeHigh) - rangeLow;
    const std::int64_t percent =
        span == 0 ? 0 : (static_cast<std::int64_t>(value) - rangeLow) * 100 / span;
    const std::int64_t shown = percent == 100 ? 100 : percent % 100;
    char text[24];
    std::snprintf(text, sizeof text, "%lld%c", static_cast<long long>(shown), '%');
    if (GetDlgItemText(kProgressPercent) != text)
        SetDlgItemText(kProgressPercent, text);
}

}  // namespace pv::ui
