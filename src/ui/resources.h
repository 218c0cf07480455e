#pragma once
// The program's resources: the string table, the application icon and the ids by which the
// windows find them.

#include <string>

#include "download/download_window.h"
#include "platform/dialog/resources.h"

namespace pv::ui {

// Icon resource of the application icon.
inline constexpr unsigned kAppIconId = 128;

// String-table ids: the captions and messages the download procedure loads, and the window's
// own. There is deliberately no entry 104: a progress window given caption id 0 falls back to it
// and shows an empty caption.
using enum download::StringId;
inline constexpr unsigned kAboutMenuText = 101;
inline constexpr unsigned kDefaultProgressCaption = 104;

const dlg::ResourceModule& resources();

// The string-table entry; empty when there is none.
std::string LoadString(unsigned id);

extern const char* const kAppIconLarge[];
extern const char* const kAppIconSmall[];

}  // namespace pv::ui
