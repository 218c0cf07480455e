// pv4410s-update: the command-line front end of the firmware download. See cli.h.

#include <span>

#include "cli/cli.h"
#include "cli/output.h"
#include "platform/os/console.h"
#include "platform/os/log.h"

int main(int argc, char** argv) {
    os::prepareStandardStreams();
    os::setLogProgramName("pv4410s-update");
    pv::cli::StandardConsole console;
    int status =
        pv::cli::run(std::span<char* const>(argv, static_cast<std::size_t>(argc)), console);
    if (!console.outWritten()) {
        os::logLine("cannot write to standard output");
        if (status == pv::cli::kExitSuccess)
            status = pv::cli::kExitOther;
    }
    return status;
}
