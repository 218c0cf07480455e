#pragma once
// Text at the Windows API's edge: UTF-8 inside the program, UTF-16 towards the system, and the
// system's description of an error code.

#include <windows.h>

#include <string>
#include <string_view>

namespace os::windows {

std::wstring wide(std::string_view utf8);
std::string utf8(std::wstring_view text);
// "Access is denied. (error 5)"
std::string errorText(DWORD error);

}  // namespace os::windows
