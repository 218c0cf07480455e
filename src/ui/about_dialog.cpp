#include "ui/about_dialog.h"

#include "ui/resources.h"
#include "ui/templates.h"

namespace pv::ui {

AboutDialog::AboutDialog(dlg::Dialog* parent) : dlg::Dialog(kAboutTemplate, resources(), parent) {}

}  // namespace pv::ui
