// The program takes no command line and reads no configuration: everything it needs is built in.

#include "app/updater_app.h"

int main(int, char** argv) {
    pv::app::UpdaterApp app;
    return app.Run(argv[0]);
}
