#include "link/printer_session.h"

#include <cctype>
#include <cstdlib>

namespace pv::link {

namespace {

// `text` fit for a file name: letters, digits, '.', '-' and '_' as they are, every other byte as
// %XX, so that distinct ports never share a lock file.
std::string fileNamePart(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string part;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '.' || c == '-' || c == '_') {
            part += c;
        } else {
            part += '%';
            part += kDigits[byte >> 4];
            part += kDigits[byte & 0xF];
        }
    }
    return part;
}

}  // namespace

std::string printerLockPath(const usbport::DeviceIdentity& printer) {
    const std::string name = "pv4410s-port-" + fileNamePart(printer.portPath) + ".lock";
    const char* dir = std::getenv("PV4410S_LOCK_DIR");
    if (dir != nullptr && *dir != '\0')
        return std::string(dir) + "/" + name;
#ifdef _WIN32
    return name;  // only a name: the lock is a named kernel object, no file
#else
    return "/run/lock/" + name;
#endif
}

PrinterSession::PrinterSession() {
    usbport::KeepDriversDetached(true);
}

PrinterSession::~PrinterSession() {
    usbport::SelectDevice(nullptr);
    usbport::KeepDriversDetached(false);
}

PrinterSession::Bind PrinterSession::bind(const usbport::DeviceIdentity& printer) {
    const auto taken = lock_.acquire(printerLockPath(printer));
    if (taken != os::FileLock::Result::Taken)
        return taken == os::FileLock::Result::HeldElsewhere ? Bind::Locked : Bind::Unusable;
    printer_ = printer;
    bound_ = true;
    usbport::SelectDevice(&printer_);
    return Bind::Bound;
}

}  // namespace pv::link
