#pragma once
// The About box: the application icon, the program's name and version, a short notice and "OK".
// "OK", Enter, Escape and the close box close it.

#include "platform/dialog/dialog.h"

namespace pv::ui {

class AboutDialog : public dlg::Dialog {
  public:
    explicit AboutDialog(dlg::Dialog* parent = nullptr);
};

}  // namespace pv::ui
