#pragma once
// The application object. Start-up lets only one copy per user run, tells the printer link which
// USB device to look for, makes sure a PV4410S is attached, and then runs the main window modally;
// it always ends with false, so the program ends when the main window closes. Shutdown releases
// the USB identity.

#ifndef _WIN32
#include "app/logind_inhibitor.h"
#endif
#include "platform/dialog/application.h"
#include "platform/os/single_instance.h"

namespace pv::app {

// Name of the single-instance lock, one per user.
inline constexpr char kInstanceLockName[] = "Software Update Application for PV4410S";

class UpdaterApp : public dlg::Application {
  public:
    bool InitInstance() override;
    int ExitInstance() override;

  private:
    // Held until the process ends; a second copy finds the name taken and ends silently.
    os::SingleInstanceLock instanceLock_;
#ifndef _WIN32
    // Installed for downloads while the main window runs: keeps the computer awake during one.
    // (On Windows downloads ask the system's power manager themselves.)
    LogindInhibitor sleepInhibitor_;
#endif
};

}  // namespace pv::app
