#include "platform/dialog/win32/system.h"

#include "platform/dialog/application.h"
#include "platform/dialog/win32/dialog_window.h"
#include "platform/os/windows/text.h"

namespace dlg {

int Application::Run(const char* /*programName*/) {
    // The progress bar and the version 6 look of the standard controls.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (InitInstance()) {
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    const int code = ExitInstance();
    SetMainWindow(nullptr);
    return code;
}

// Windows take their icons from the program's resources; the desktop knows the program by its
// file.
void SetApplicationIcon(const Icon&) {}
void SetDesktopFileName(std::string_view) {}

// The reason goes on the main window, which Windows lists when a log-off or shutdown waits for
// the program; every window of it answers WM_QUERYENDSESSION with no meanwhile (dialog_win32).
void applySessionEndHold(bool held, std::string_view reason) {
    HWND main = hwndOf(MainWindow());
    if (main == nullptr)
        return;
    if (held)
        ShutdownBlockReasonCreate(main, os::windows::wide(reason).c_str());
    else
        ShutdownBlockReasonDestroy(main);
}

}  // namespace dlg
