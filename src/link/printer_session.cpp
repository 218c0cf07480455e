#include "link/printer_session.h"

#include <cctype>
#include <cstdlib>

namespace pv::link {

std::string printerLockPath(const usbport::DeviceIdentity& printer) {
    const char* dir = std::getenv("PV4410S_LOCK_DIR");
    std::string path = dir != nullptr && *dir != '\0' ? dir : "/run/lock";
    path += printer.serial.empty() ? "/pv4410s-port-" : "/pv4410s-serial-";
    for (const char c : printer.key()) {
        const bool plain =
            std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        path += plain ? c : '_';
    }
    return path + ".lock";
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
    if (taken == os::FileLock::Result::HeldElsewhere)
        return Bind::Locked;
    printer_ = printer;
    bound_ = true;
    usbport::SelectDevice(&printer_);
    return taken == os::FileLock::Result::Taken ? Bind::Bound : Bind::Unlocked;
}

}  // namespace pv::link
