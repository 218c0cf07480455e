#include "platform/dialog/win32/system.h"

#include "platform/dialog/application.h"

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

}  // namespace dlg
