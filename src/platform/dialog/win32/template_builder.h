#pragma once
// Turns a dialog template into the in-memory extended dialog template the system's dialog
// manager creates windows from: the same dialog units, in the 8-point shell dialog font, so the
// window's layout follows from the template alone.

#include <cstdint>
#include <vector>

#include "platform/dialog/dialog_template.h"

namespace dlg::win32 {

// Face and size of the dialog font every template names.
inline constexpr wchar_t kDialogFontFace[] = L"MS Shell Dlg";
inline constexpr std::uint16_t kDialogFontPoints = 8;

// The template as 16-bit words, DWORD-aligned where the format wants it. The window is created
// hidden at 0, 0; its creator places and shows it.
std::vector<std::uint16_t> buildTemplate(const DialogTemplate& dialogTemplate);

}  // namespace dlg::win32
