#pragma once
// The About box: the application icon, the program's name and version, a short notice and "OK".
// "OK", Enter, Escape and the close box close it. A build that carries the stand-in firmware
// says so in one more line: it loads test firmware, and only into virtual printers.

#include "platform/dialog/dialog.h"

namespace pv::ui {

class AboutDialog : public dlg::Dialog {
  public:
    explicit AboutDialog(dlg::Dialog* parent = nullptr);
};

}  // namespace pv::ui
