#pragma once
// The virtual printers' options, as the pv4410s-virtual-printer executable takes them and as the
// virtual build of the Windows programs reads them from PV4410S_VIRTUAL_PRINTER: what each
// printer runs and how it misbehaves, and where its trace goes.

#include <string>
#include <vector>

#include "model/printer.h"

namespace vprinter {

struct Setup {
    Options options;                    // the one printer, or what every --printer starts from
    std::vector<std::string> printers;  // the FIELDS of each --printer
    bool trace = false;                 // readable trace lines to standard error
    std::string traceJson;              // file of JSON trace lines
    std::string capture;                // pcap file of every URB (usbmon link type)
    std::string state;                  // file keeping the printers' flash from run to run
};

// Applies the options in `args` ("--main-version", "503B10", "--trace", ...). Returns an error
// text, empty when they are good.
std::string parseSetup(const std::vector<std::string>& args, Setup& setup);

// The printers to put on the bus: the single printer, or one per --printer (serials VIRTUAL-0001,
// VIRTUAL-0002, ... by port unless given; every trace event names its printer when there are
// several). Returns an error text, empty when every --printer is good.
std::string printerOptions(const Setup& setup, std::vector<Options>& out);

// The words of `text` split at white space ("--fault no-return" is two).
std::vector<std::string> splitWords(const std::string& text);

// The options' help, one option or more per line, indented by two spaces.
std::string setupHelp();

}  // namespace vprinter
