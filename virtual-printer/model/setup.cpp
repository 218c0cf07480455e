#include "model/setup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vprinter {
namespace {

bool parseMs(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > 0xFFFFFFFFul)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// One option that takes a value; returns an error text, empty when it is good.
std::string applyOption(const std::string& arg, const std::string& value, Setup& setup) {
    auto& o = setup.options;
    if (arg == "--main-version" || arg == "--table-version") {
        if (value.size() != 6)
            return arg + " needs a six-character code";
        (arg == "--main-version" ? o.mainVersion : o.tableVersion) = value;
    } else if (arg == "--erase-ms") {
        if (!parseMs(value.c_str(), o.eraseMs))
            return "--erase-ms needs a number";
    } else if (arg == "--reboot-ms") {
        if (!parseMs(value.c_str(), o.rebootMs))
            return "--reboot-ms needs a number";
    } else if (arg == "--fault") {
        return applyFault(value, o.faults);
    } else if (arg == "--printer") {
        setup.printers.push_back(value);
    } else if (arg == "--trace-json") {
        setup.traceJson = value;
    } else if (arg == "--capture") {
        setup.capture = value;
    } else if (arg == "--state") {
        setup.state = value;
    } else {
        return "unknown option " + arg;
    }
    return {};
}

// One KEY=VALUE of a --printer FIELDS; returns an error text, empty when it is good.
std::string applyPrinterField(const std::string& key, const std::string& value, Options& o) {
    if (key == "main" || key == "table") {
        if (value.size() != 6)
            return key + "= needs a six-character code";
        (key == "main" ? o.mainVersion : o.tableVersion) = value;
    } else if (key == "serial") {
        if (!validSerial(value))
            return "serial= needs UTF-8 of 1 to 126 UTF-16 units, its ASCII A-Z a-z 0-9 . _ - : /";
        o.serial = value;
    } else if (key == "erase-ms" || key == "reboot-ms") {
        if (!parseMs(value.c_str(), key == "erase-ms" ? o.eraseMs : o.rebootMs))
            return key + "= needs a number";
    } else if (key == "fault") {
        return applyFault(value, o.faults);
    } else {
        return "unknown key '" + key + "'";
    }
    return {};
}

// One --printer FIELDS on top of `o`; returns an error text, empty when it is good.
std::string applyPrinterFields(const std::string& fields, Options& o) {
    std::size_t at = 0;
    while (at <= fields.size()) {
        const auto end = std::min(fields.find(',', at), fields.size());
        const std::string item = fields.substr(at, end - at);
        at = end + 1;
        const auto eq = item.find('=');
        if (eq == std::string::npos || eq + 1 == item.size())
            return "--printer: '" + item + "' is not KEY=VALUE";
        if (auto error = applyPrinterField(item.substr(0, eq), item.substr(eq + 1), o);
            !error.empty())
            return "--printer: " + error;
    }
    return {};
}

}  // namespace

std::string parseSetup(const std::vector<std::string>& args, Setup& setup) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--trace") {
            setup.trace = true;
            continue;
        }
        if (i + 1 >= args.size())
            return "option " + args[i] + " needs a value (or is unknown)";
        if (auto error = applyOption(args[i], args[i + 1], setup); !error.empty())
            return error;
        ++i;
    }
    return {};
}

std::string printerOptions(const Setup& setup, std::vector<Options>& out) {
    if (setup.printers.empty()) {
        out.push_back(setup.options);
        return {};
    }
    for (std::size_t i = 0; i < setup.printers.size(); ++i) {
        Options o = setup.options;
        char serial[32];
        std::snprintf(serial, sizeof serial, "VIRTUAL-%04zu", i + 1);
        o.serial = serial;
        o.namedInTrace = setup.printers.size() > 1;
        if (auto error = applyPrinterFields(setup.printers[i], o); !error.empty())
            return error;
        out.push_back(std::move(o));
    }
    return {};
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text + " ") {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            word += c;
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    return words;
}

std::string setupHelp() {
    return "  --main-version CODE    main firmware version installed at start (default 301B10)\n"
           "  --table-version CODE   table data version installed at start (default 705A10);\n"
           "                         ------ for either: that area holds no valid firmware\n"
           "  --erase-ms MS          time an erase takes (default 4000)\n"
           "  --reboot-ms MS         time off the bus after a reset (default 5000)\n"
           "  --fault NAME[=VALUE]   make the printer misbehave (repeatable); NAME is one of:\n" +
           faultHelp() +
           "    Writes count from 1: \"stream writes\" restart at every transfer command, the\n"
           "    others count every bulk OUT write since the start (the trace shows both).\n"
           "  --printer FIELDS       put a printer on the bus (repeatable; ports 1-1, 1-2, ...);\n"
           "                         FIELDS is a comma list of main=CODE, table=CODE, "
           "serial=TEXT,\n"
           "                         erase-ms=MS, reboot-ms=MS, fault=NAME[=VALUE] (repeatable),\n"
           "                         e.g. main=402B10,serial=VIRTUAL-0002,fault=refuse=reset.\n"
           "                         The options above are every printer's defaults; serials\n"
           "                         default to VIRTUAL-0001, VIRTUAL-0002, ... by port. With\n"
           "                         more than one printer every trace event ends in\n"
           "                         printer=SERIAL. Without --printer: one printer, serial\n"
           "                         VIRTUAL-0001.\n"
           "  --trace                print what the printer receives and does to standard error\n"
           "  --trace-json FILE      write the same events to FILE, one JSON object per line\n"
           "  --capture FILE         write every URB to FILE as a usbmon pcap (tshark, Wireshark)\n"
           "  --state FILE           keep the printers' flash in FILE from run to run, as if each\n"
           "                         was switched off and on again: a printer whose serial is\n"
           "                         in FILE starts with the flash it had when the last run\n"
           "                         ended (its main= and table= are then not installed); every\n"
           "                         printer's flash is written to FILE when COMMAND has ended\n";
}

}  // namespace vprinter
