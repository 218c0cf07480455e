// pv4410s-virtual-printer: puts a virtual PV4410S on an emulated USB bus and runs a program that
// sees it through an unmodified libusb, in real time.

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "model/printer.h"
#include "usb/preload.h"
#include "usb/usb_printer.h"

namespace {

struct CommandLine {
    vprinter::Options options;
    bool trace = false;
    std::string traceJson;
    std::vector<char*> command;
};

void usage(std::ostream& out) {
    out << "Usage: pv4410s-virtual-printer [OPTIONS] -- COMMAND [ARGS...]\n"
           "\n"
           "Puts a virtual PV4410S printer (USB 7a3c:0512) on an emulated bus and runs COMMAND\n"
           "with libumockdev-preload.so.0 preloaded, so that an unmodified libusb program sees\n"
           "the printer. Exits with COMMAND's exit status (128+N if it died of signal N).\n"
           "\n"
           "Options:\n"
           "  --main-version CODE    main firmware version installed at start (default 301B10)\n"
           "  --table-version CODE   table data version installed at start (default 705A10)\n"
           "  --erase-ms MS          time an erase takes (default 4000)\n"
           "  --reboot-ms MS         time off the bus after a reset (default 5000)\n"
           "  --fault NAME[=VALUE]   make the printer misbehave (repeatable); NAME is one of:\n"
        << vprinter::faultHelp()
        << "    Writes count from 1: \"stream writes\" restart at every transfer command, the\n"
           "    others count every bulk OUT write since the start (the trace shows both).\n"
           "  --trace                print what the printer receives and does to standard error\n"
           "  --trace-json FILE      write the same events to FILE, one JSON object per line\n"
           "  --help                 show this text\n"
           "\n"
           "A printer whose flash area did not receive a whole, verified package since its last\n"
           "erase reports version \"------\" and checksum 0000 for that area after a reset.\n";
}

bool parseMs(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > 0xFFFFFFFFul)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// One option that takes a value; returns an error text, empty when it is good.
std::string applyOption(const std::string& arg, const char* value, CommandLine& cl) {
    auto& o = cl.options;
    if (arg == "--main-version" || arg == "--table-version") {
        if (std::string(value).size() != 6)
            return arg + " needs a six-character code";
        (arg == "--main-version" ? o.mainVersion : o.tableVersion) = value;
    } else if (arg == "--erase-ms") {
        if (!parseMs(value, o.eraseMs))
            return "--erase-ms needs a number";
    } else if (arg == "--reboot-ms") {
        if (!parseMs(value, o.rebootMs))
            return "--reboot-ms needs a number";
    } else if (arg == "--fault") {
        return vprinter::applyFault(value, o.faults);
    } else if (arg == "--trace-json") {
        cl.traceJson = value;
    } else {
        return "unknown option " + arg;
    }
    return {};
}

// Returns an error text, empty when the command line is good.
std::string parse(int argc, char** argv, CommandLine& cl) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            cl.command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--trace") {
            cl.trace = true;
            continue;
        }
        if (i + 1 >= argc)
            return "option " + arg + " needs a value (or is unknown)";
        if (auto error = applyOption(arg, argv[++i], cl); !error.empty())
            return error;
    }
    if (cl.command.empty())
        return "no COMMAND given after --";
    cl.command.push_back(nullptr);
    return {};
}

int runCommand(std::vector<char*>& command) {
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 127;
    }
    if (child == 0) {
        const std::string preload = vprinter::preloadFor(command[0]);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execvp(command[0], command.data());
        std::perror(command[0]);
        _exit(127);
    }
    // The terminal's interrupt reaches the command; this process waits for it to end.
    std::signal(SIGINT, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i)
        if (std::string(argv[i]) == "--help") {
            usage(std::cout);
            return 0;
        }
    CommandLine cl;
    if (const auto error = parse(argc, argv, cl); !error.empty()) {
        std::cerr << "pv4410s-virtual-printer: " << error << "\n\n";
        usage(std::cerr);
        return 2;
    }
    std::ofstream json;
    if (!cl.traceJson.empty()) {
        json.open(cl.traceJson);
        if (!json) {
            std::cerr << "pv4410s-virtual-printer: cannot write " << cl.traceJson << "\n";
            return 2;
        }
    }
    vprinter::RealClock clock;
    vprinter::Printer printer(cl.options, clock);
    auto show = [&](const vprinter::TraceEvent& e) {
        if (cl.trace)
            std::fprintf(stderr, "vprinter %s\n", e.readable().c_str());
        if (json.is_open())
            json << e.json() << std::endl;
    };
    for (const auto& e : printer.trace().events())
        show(e);  // made before the sink existed
    printer.trace().addSink(show);
    vprinter::UsbPrinter usb(printer);
    usb.startRealTimeSync();
    const int status = runCommand(cl.command);
    usb.withPrinter([](vprinter::Printer& p) { p.update(); });
    return status;
}
