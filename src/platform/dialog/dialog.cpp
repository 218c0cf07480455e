// The parts of a Dialog that are the same on every backend: the default steps and the dispatch of
// commands to them.

#include "platform/dialog/dialog.h"

namespace dlg {

void DataExchange::Text(int id, const std::string& field) {
    dialog_.SetDlgItemText(id, field);
}

Dialog::Dialog(const DialogTemplate& dialogTemplate, const ResourceModule& resources,
               Dialog* parent)
    : template_(dialogTemplate), resources_(resources), parent_(parent) {}

void Dialog::UpdateData() {
    if (window_ == nullptr)
        return;
    DataExchange dx(*this);
    DoDataExchange(dx);
}

WindowMenu* Dialog::GetSystemMenu() {
    return window_ != nullptr ? windowMenu_.get() : nullptr;
}

int Dialog::MessageBox(std::string_view text, std::string_view caption, MessageIcon icon) {
    return dlg::MessageBox(this, text, caption, icon);
}

bool Dialog::OnInitDialog() {
    UpdateData();
    return true;
}

void Dialog::DoDataExchange(DataExchange&) {}

void Dialog::OnOK() {
    EndDialog(kIdOk);
}

void Dialog::OnCancel() {
    EndDialog(kIdCancel);
}

void Dialog::OnCommand(int id) {
    if (id == kIdOk)
        OnOK();
    else if (id == kIdCancel)
        OnCancel();
}

void Dialog::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) == kScClose)
        OnCommand(kIdCancel);
}

}  // namespace dlg
