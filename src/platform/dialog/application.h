#pragma once
// The application object. Exactly one exists while the program runs. Run() gives the program its
// toolkit application, calls InitInstance, which may refuse to run (and usually runs the main
// window itself), runs the event loop only when InitInstance asks for it, and calls ExitInstance
// last, whose answer is the process's exit code.

#include <string_view>

#include "platform/dialog/resources.h"

namespace dlg {

class Dialog;

class Application {
  public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs the program; the command line is not passed on, the program takes none.
    int Run(const char* programName);

    // Answers false to end the program without an event loop.
    virtual bool InitInstance() { return true; }
    // Runs last; answers the exit code.
    virtual int ExitInstance() { return 0; }

    void SetMainWindow(Dialog* window) { mainWindow_ = window; }
    Dialog* GetMainWindow() const { return mainWindow_; }

    // The application object of this process, or none.
    static Application* Current();

  private:
    Dialog* mainWindow_ = nullptr;
};

// The current application's main window, or none.
Dialog* MainWindow();

// The icon of every window of the program that sets none of its own (where the platform takes
// it from the program's resources instead, this does nothing).
void SetApplicationIcon(const Icon& icon);
// The id of the program's desktop entry, by which the desktop finds its name and icon (nothing
// where the platform has no such entries).
void SetDesktopFileName(std::string_view id);
// Called when the desktop session is ending (logout, shutdown) while the program runs; nullptr
// forgets it.
void SetSessionEndingHandler(void (*handler)());
// Calls the handler set, if any (the backends call it when the session ends).
void notifySessionEnding();

// While held, the desktop session does not end under the program: a log-off or shutdown is
// refused, with `reason` where the system lists what holds it up (Windows: the main window's
// shutdown block reason; where the session manager lets a program cancel a logout, that), and no
// session-ending handler is called. Holding again replaces the reason. Call on the window thread.
void HoldSessionEnd(std::string_view reason);
void ReleaseSessionEnd();
bool SessionEndHeld();

}  // namespace dlg
