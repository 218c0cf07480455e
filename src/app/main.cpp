// The program takes no command line and reads no configuration: everything it needs is built in.

#include "app/updater_app.h"
#include "platform/os/console.h"
#include "platform/os/log.h"
#include "platform/os/state_files.h"

int main(int, char** argv) {
    os::prepareStandardStreams();
#ifdef _WIN32
    // A window program has no console: its log lines go to a file beside the history.
    os::logToFile(os::userStateFile("pv4410s-updater", "updater.log"));
#endif
    pv::app::UpdaterApp app;
    return app.Run(argv[0]);
}
