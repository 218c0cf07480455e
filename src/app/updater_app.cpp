#include "app/updater_app.h"

#include <cstdint>
#include <string>

#include "download/sleep_inhibitor.h"
#include "link/printer_link.h"
#include "link/usb_identity.h"
#include "platform/os/log.h"
#include "platform/os/stop_requests.h"
#include "platform/usbport/usbport.h"
#include "ui/resources.h"
#include "ui/update_dialog.h"

namespace pv::app {
namespace {

constexpr std::uint16_t kVendorId = 0x7A3C;
constexpr std::uint16_t kProductIds[] = {0x0512};

// One line on standard error naming why start-up refuses to go on, with what the port knows.
void logStartUpFailure(const char* what) {
    std::string line = std::string("start-up: ") + what;
    if (const std::string cause = usbport::TakeFailure(); !cause.empty())
        line += ": " + cause;
    os::logLine(line);
}

}  // namespace

bool UpdaterApp::InitInstance() {
    if (!instanceLock_.acquire(kInstanceLockName)) {
        // Another copy of this user's: it ends silently. Anything else is said, and is a failure.
        if (!instanceLock_.problem().empty()) {
            os::logLine("start-up: cannot make sure this is the only copy of the program: " +
                        instanceLock_.problem());
            dlg::MessageBox(nullptr,
                            "The program cannot make sure that it runs only once, and does not "
                            "start:\n" +
                                instanceLock_.problem() + ".",
                            "Error", dlg::MessageIcon::Warning);
            status_ = 1;
        }
        return false;
    }
    dlg::SetApplicationIcon(ui::resources().LoadIcon(ui::kAppIconId));
    // The windows' app_id on Wayland: the desktop shows the name and icon of the entry so named.
    dlg::SetDesktopFileName(PV4410S_APP_ID);
    link::setUsbIdentity(kProductIds, 1, kVendorId);

    link::PrinterLink printer;
    unsigned failure = 0;
    if (!printer.open()) {
        failure = ui::kNotConnected;
        logStartUpFailure("printer not connected");
    } else if (!printer.checkModel()) {
        failure = ui::kIllegalPrinterType;
        logStartUpFailure("the device ID does not name the PV4410S");
    }
    if (failure != 0) {
        dlg::MessageBox(nullptr, ui::LoadString(failure), "Error", dlg::MessageIcon::Warning);
        printer.close();
        return false;
    }
    printer.close();

    ui::UpdateDialog mainWindow;
    SetMainWindow(&mainWindow);
    download::installSleepInhibitor(&sleepInhibitor_);
    // A termination request, a hang-up or the session ending stops a run under way (after the
    // image in progress) instead of cutting the printer off.
    const os::StopRequestHandlers stops(ui::UpdateDialog::OnStopRequest);
    dlg::SetSessionEndingHandler([] { ui::UpdateDialog::RequestStop(); });
    mainWindow.DoModal();
    dlg::SetSessionEndingHandler(nullptr);
    download::installSleepInhibitor(nullptr);
    SetMainWindow(nullptr);
    return false;
}

int UpdaterApp::ExitInstance() {
    link::releaseUsbIdentity();
    const int code = dlg::Application::ExitInstance();
    return status_ != 0 ? status_ : code;
}

}  // namespace pv::app
