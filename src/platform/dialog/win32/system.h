#pragma once
// The system's headers as the backend uses them. <windows.h> turns the names of the text
// functions into macros that pick their ANSI or wide variant; the framework has methods of those
// names and this backend calls the wide functions by their full names, so the macros go.

#include <windows.h>

#include <commctrl.h>

#undef GetDlgItemText
#undef GetWindowText
#undef LoadIcon
#undef LoadString
#undef MessageBox
#undef SetDlgItemText
#undef SetWindowText
