// pv4410s-virtual-printer: puts a virtual PV4410S on an emulated USB bus and runs a program that
// sees it through an unmodified libusb, in real time.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/faults.h"
#include "model/printer.h"
#include "model/setup.h"
#include "usb/preload.h"
#include "usb/usb_printer.h"

namespace {

struct CommandLine {
    vprinter::Setup setup;
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
        << vprinter::setupHelp()
        << "  --help                 show this text\n"
           "\n"
           "A printer whose flash area did not receive a whole, verified package since its last\n"
           "erase reports version \"------\" and checksum 0000 for that area after a reset. After "
           "a\n"
           "reset a printer comes back at a new device address (/dev/bus/usb/001/NNN), on its "
           "port.\n";
}

// Returns an error text, empty when the command line is good.
std::string parse(int argc, char** argv, CommandLine& cl) {
    std::vector<std::string> options;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            cl.command.assign(argv + i + 1, argv + argc);
            break;
        }
        options.emplace_back(argv[i]);
    }
    if (auto error = vprinter::parseSetup(options, cl.setup); !error.empty())
        return error;
    if (cl.command.empty())
        return "no COMMAND given after --";
    cl.command.push_back(nullptr);
    return {};
}

// The updaters run here lock their printers in a folder of this run's own (PV4410S_LOCK_DIR,
// unless the caller chose one): virtual serials repeat from run to run, and runs side by side must
// not hold each other's printers, nor a real printer's updater theirs. Open to every user, like
// /run/lock, since the command may run as another user.
class LockFolder {
  public:
    LockFolder() {
        if (std::getenv("PV4410S_LOCK_DIR") != nullptr)
            return;
        std::string pattern = "/tmp/pv4410s-vprinter-locks-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        path_ = pattern;
        std::filesystem::permissions(
            path_, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
        setenv("PV4410S_LOCK_DIR", path_.c_str(), 1);
    }
    ~LockFolder() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    LockFolder(const LockFolder&) = delete;
    LockFolder& operator=(const LockFolder&) = delete;

  private:
    std::string path_;
};

// The flash of every printer a --state file knows, by serial: after a first line naming the format,
// "SERIAL SIZE\n" and SIZE bytes of Printer::flashState() for each.
constexpr char kStateHeader[] = "pv4410s-virtual-printer flash 1\n";
using FlashStates = std::map<std::string, std::string>;

// Reads the file at `path` (none when empty) and starts each printer of `printers` that it knows
// with its flash. An error text, empty when the file is good or not there yet.
std::string readStates(const std::string& path, FlashStates& states,
                       std::vector<vprinter::Options>& printers) {
    std::ifstream in(path, std::ios::binary);
    if (path.empty() || !in)
        return {};
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.starts_with(kStateHeader))
        return path + " is not a state file of this program";
    for (std::size_t at = sizeof kStateHeader - 1; at < text.size();) {
        const std::size_t space = text.find(' ', at);
        const std::size_t newline = text.find('\n', at);
        if (space == std::string::npos || newline == std::string::npos || space > newline)
            return path + " is damaged";
        const auto size =
            std::strtoull(text.substr(space + 1, newline - space - 1).c_str(), nullptr, 10);
        if (text.size() - newline - 1 < size)
            return path + " is cut short";
        states[text.substr(at, space - at)] = text.substr(newline + 1, size);
        at = newline + 1 + size;
    }
    for (auto& o : printers) {
        const auto found = states.find(o.faults.serial.empty() ? o.serial : o.faults.serial);
        if (found != states.end())
            o.flashState = found->second;
    }
    return {};
}

bool writeStates(const std::string& path, const FlashStates& states) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << kStateHeader;
        for (const auto& [serial, flash] : states)
            out << serial << ' ' << flash.size() << '\n' << flash;
        if (!out.flush())
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

// This process's environment with the preload library that presents the printers to COMMAND.
std::vector<std::string> commandEnvironment(const std::string& program) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!std::string_view(*entry).starts_with("LD_PRELOAD="))
            environment.emplace_back(*entry);
    environment.push_back("LD_PRELOAD=" + vprinter::preloadFor(program));
    return environment;
}

int runCommand(std::vector<char*>& command) {
    // Spawned, never forked: the printers' threads already run here, and a forked child would
    // inherit any lock one of them held at that instant (the allocator's, for one) and wait for
    // it for ever before it could exec. Everything the command needs is made beforehand.
    std::vector<std::string> environment = commandEnvironment(command[0]);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    if (const int error =
            posix_spawnp(&child, command[0], nullptr, nullptr, command.data(), envp.data());
        error != 0) {
        std::fprintf(stderr, "%s: %s\n", command[0], std::strerror(error));
        return 127;
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

// --capture FILE: the writer every printer's URBs go to (none without the option); false, with
// the reason said, when the file cannot be made.
bool openCapture(const std::string& path, std::shared_ptr<usbport::PcapWriter>& capture) {
    if (path.empty())
        return true;
    capture = std::make_shared<usbport::PcapWriter>();
    if (capture->open(path))
        return true;
    std::cerr << "pv4410s-virtual-printer: " << capture->failure() << "\n";
    return false;
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
    if (!cl.setup.traceJson.empty()) {
        json.open(cl.setup.traceJson);
        if (!json) {
            std::cerr << "pv4410s-virtual-printer: cannot write " << cl.setup.traceJson << "\n";
            return 2;
        }
    }
    std::vector<vprinter::Options> options;
    if (const auto error = vprinter::printerOptions(cl.setup, options); !error.empty()) {
        std::cerr << "pv4410s-virtual-printer: " << error << "\n\n";
        usage(std::cerr);
        return 2;
    }
    FlashStates states;
    if (const auto error = readStates(cl.setup.state, states, options); !error.empty()) {
        std::cerr << "pv4410s-virtual-printer: " << error << "\n";
        return 2;
    }
    vprinter::RealClock clock;
    // Each printer's events come from its own USB thread: one line at a time.
    std::mutex outputMutex;
    auto show = [&](const vprinter::TraceEvent& e) {
        std::lock_guard lock(outputMutex);
        if (cl.setup.trace)
            std::fprintf(stderr, "vprinter %s\n", e.readable().c_str());
        if (json.is_open())
            json << e.json() << std::endl;
    };
    // Set before any thread runs: setenv is not safe beside threads that read the environment.
    const LockFolder locks;
    vprinter::UsbBus bus;
    std::vector<std::unique_ptr<vprinter::Printer>> printers;
    std::vector<std::unique_ptr<vprinter::UsbPrinter>> devices;
    for (const auto& o : options) {
        printers.push_back(std::make_unique<vprinter::Printer>(o, clock));
        for (const auto& e : printers.back()->trace().events())
            show(e);  // made before the sink existed
        printers.back()->trace().addSink(show);
    }
    std::shared_ptr<usbport::PcapWriter> capture;
    if (!openCapture(cl.setup.capture, capture))
        return 2;
    for (auto& printer : printers) {
        devices.push_back(std::make_unique<vprinter::UsbPrinter>(bus, *printer));
        devices.back()->captureTo(capture);
        devices.back()->startRealTimeSync();
    }
    const int status = runCommand(cl.command);
    for (auto& usb : devices)
        usb->withPrinter([&](vprinter::Printer& p) {
            p.update();
            states[p.serial()] = p.flashState();
        });
    devices.clear();
    if (!cl.setup.state.empty() && !writeStates(cl.setup.state, states)) {
        std::cerr << "pv4410s-virtual-printer: cannot write " << cl.setup.state << "\n";
        return status == 0 ? 2 : status;
    }
    return status;
}
