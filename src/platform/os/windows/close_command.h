#pragma once
// A window's Close command (the window menu's Close, and with it the close box and Alt+F4),
// greyed or given back.

#include <windows.h>

namespace os::windows {

// False when the window has no window menu to change.
inline bool enableCloseCommand(HWND window, bool enable) {
    HMENU menu = window != nullptr ? ::GetSystemMenu(window, FALSE) : nullptr;
    if (menu == nullptr)
        return false;
    const auto state = static_cast<UINT>(MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
    return ::EnableMenuItem(menu, SC_CLOSE, state) != -1;
}

// Whether the window's Close command is greyed now.
inline bool closeCommandGreyed(HWND window) {
    HMENU menu = window != nullptr ? ::GetSystemMenu(window, FALSE) : nullptr;
    return menu != nullptr &&
           (::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) & static_cast<UINT>(MF_GRAYED)) != 0;
}

}  // namespace os::windows
