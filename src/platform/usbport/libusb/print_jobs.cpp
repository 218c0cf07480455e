#include "platform/usbport/libusb/print_jobs.h"

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace usbport {

namespace fs = std::filesystem;

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool holds(const fs::path& fds, const struct stat& node) {
    std::error_code error;
    for (fs::directory_iterator fd(fds, error), end; !error && fd != end; fd.increment(error)) {
        struct stat target {};
        if (::stat(fd->path().c_str(), &target) == 0 && sameFile(target, node))
            return true;
    }
    return false;
}

std::string processName(const fs::path& process) {
    std::ifstream comm(process / "comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

std::string processesHolding(const std::string& node) {
    struct stat wanted {};
    if (::stat(node.c_str(), &wanted) != 0)
        return {};
    std::string holders;
    std::error_code error;
    for (fs::directory_iterator p("/proc", error), end; !error && p != end; p.increment(error)) {
        const std::string pid = p->path().filename();
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])) ||
            !holds(p->path() / "fd", wanted))
            continue;
        holders += (holders.empty() ? "process " : ", process ") + pid + " (" +
                   processName(p->path()) + ")";
    }
    return holders;
}

std::string printJobOn(const std::string& portPath, int interfaceNumber) {
    // The interface's sysfs folder, "1-4.2:1.0" (configuration 1 or any other), lists the
    // printer driver's node under usbmisc.
    const std::string suffix = "." + std::to_string(interfaceNumber);
    std::error_code error;
    for (fs::directory_iterator i("/sys/bus/usb/devices", error), end; !error && i != end;
         i.increment(error)) {
        const std::string name = i->path().filename();
        if (!name.starts_with(portPath + ":") || !name.ends_with(suffix))
            continue;
        std::error_code inner;
        for (fs::directory_iterator m(i->path() / "usbmisc", inner), last; !inner && m != last;
             m.increment(inner)) {
            const std::string node = "/dev/usb/" + m->path().filename().string();
            const std::string holders = processesHolding(node);
            if (holders.empty())
                continue;
            std::string job = node;
            job += " is open in ";
            job += holders;
            return job;
        }
    }
    return {};
}

}  // namespace usbport
