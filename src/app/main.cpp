// The program reads no configuration: everything it needs is built in. Its one command-line
// option, --capture FILE, writes the USB conversation to FILE for support.

#include <string>

#include "app/updater_app.h"
#include "platform/os/console.h"
#include "platform/os/log.h"
#include "platform/os/state_files.h"
#include "platform/usbport/capture.h"

int main(int argc, char** argv) {
    os::prepareStandardStreams();
#ifdef _WIN32
    // A window program has no console: its log lines go to a file beside the history.
    os::logToFile(os::userStateFile("pv4410s-updater", "updater.log"));
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--capture" && i + 1 < argc)
            usbport::startCapture(argv[++i]);
        else if (arg.starts_with("--capture="))
            usbport::startCapture(arg.substr(10));
    }
    pv::app::UpdaterApp app;
    const int status = app.Run(argv[0]);
    usbport::stopCapture();
    return status;
}
