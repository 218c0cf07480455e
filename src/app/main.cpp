// The program takes no command line and reads no configuration: everything it needs is built in.

#include "app/updater_app.h"
#include "platform/os/stop_requests.h"

int main(int, char** argv) {
    os::reserveStandardStreams();
    pv::app::UpdaterApp app;
    return app.Run(argv[0]);
}
