// The virtual build of the programs: before main() runs, the printers that PV4410S_VIRTUAL_PRINTER
// describes (the options of pv4410s-virtual-printer, e.g. "--main-version 503B10 --fault
// no-return" or "--printer main=301B10 --printer main=402B10"; one default printer when it is
// not set) are put on a bus of their own, in real time, which the usbprint port then sees in place
// of the system's printers. Their trace goes to the file PV4410S_VIRTUAL_TRACE names (one JSON
// object per line), and as the options say (--trace, --trace-json).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "model/setup.h"
#include "usbprint/model_printers.h"

namespace vprinter {
namespace {

class VirtualPrinters {
  public:
    VirtualPrinters() {
        Setup setup;
        const char* text = std::getenv("PV4410S_VIRTUAL_PRINTER");
        std::string error = parseSetup(splitWords(text != nullptr ? text : ""), setup);
        std::vector<Options> options;
        if (error.empty())
            error = printerOptions(setup, options);
        if (error.empty())
            error = openTrace(setup.traceJson) + openTrace(envOr("PV4410S_VIRTUAL_TRACE"));
        if (!error.empty()) {
            std::fprintf(stderr, "PV4410S_VIRTUAL_PRINTER: %s\nOptions:\n%s", error.c_str(),
                         setupHelp().c_str());
            std::exit(2);
        }
        toStderr_ = setup.trace;
        for (const auto& o : options) {
            printers_.push_back(std::make_unique<Printer>(o, clock_));
            for (const auto& e : printers_.back()->trace().events())
                show(e);  // made before the sink existed
            printers_.back()->trace().addSink([this](const TraceEvent& e) { show(e); });
            presented_.push_back(std::make_unique<ModelPrinter>(bus_, *printers_.back()));
        }
    }

  private:
    static std::string envOr(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    std::string openTrace(const std::string& path) {
        if (path.empty())
            return {};
        files_.push_back(std::make_unique<std::ofstream>(path));
        return *files_.back() ? "" : "cannot write the trace file " + path;
    }
    void show(const TraceEvent& e) {
        std::lock_guard lock(mutex_);
        if (toStderr_)
            std::fprintf(stderr, "vprinter %s\n", e.readable().c_str());
        for (auto& file : files_)
            *file << e.json() << std::endl;
    }

    std::mutex mutex_;
    bool toStderr_ = false;
    std::vector<std::unique_ptr<std::ofstream>> files_;
    RealClock clock_;
    ModelBus bus_;
    std::vector<std::unique_ptr<Printer>> printers_;
    std::vector<std::unique_ptr<ModelPrinter>> presented_;
};

const VirtualPrinters virtualPrinters;

}  // namespace
}  // namespace vprinter
