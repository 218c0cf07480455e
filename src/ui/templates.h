#pragma once
// The three dialog templates of the program, as data: the About box (100), the main window (102)
// and the progress window (105). Sizes and positions are in dialog units. The About box of a
// build with stand-in firmware has one more line, which says so.

#include "download/download_window.h"
#include "platform/dialog/dialog_template.h"

namespace pv::ui {

// Control ids of the main window: the two buttons the download procedure drives, and the rest.
using enum download::ButtonId;
enum UpdateControl : int {
    kAfterMainChecksum = 1002,
    kDownloadMainChecksum = 1003,
    kAfterMainVersion = 1004,
    kDownloadMainVersion = 1005,
    kDownloadTableVersion = 1006,
    kDownloadTableChecksum = 1008,
    kAfterTableChecksum = 1009,
    kAfterTableVersion = 1010,
    kBeforeMainVersion = 1014,
    kBeforeMainChecksum = 1015,
    kBeforeTableVersion = 1016,
    kBeforeTableChecksum = 1017,
};

// Control ids of the progress window.
enum ProgressControl : int {
    kProgressCancel = 2,
    kProgressBar = 1003,
    kProgressPercent = 1004,
    kProgressMessage = 1005,
};

extern const dlg::DialogTemplate kAboutTemplate;
extern const dlg::DialogTemplate kDemoAboutTemplate;
extern const dlg::DialogTemplate kUpdateTemplate;
extern const dlg::DialogTemplate kProgressTemplate;

}  // namespace pv::ui
