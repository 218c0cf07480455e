#include "ui/about_dialog.h"

#include "payload/embedded_images.h"
#include "ui/resources.h"
#include "ui/templates.h"

namespace pv::ui {

AboutDialog::AboutDialog(dlg::Dialog* parent)
    : dlg::Dialog(payload::kStandInImages ? kDemoAboutTemplate : kAboutTemplate, resources(),
                  parent) {}

}  // namespace pv::ui
