#include "platform/session/sleep_lock.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <utility>

#include "platform/os/log.h"

namespace session {
namespace {

struct BusClose {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd-bus error and its release.
class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    sd_bus_error* get() { return &error_; }
    // "name: message" when the bus said why, else the errno text of `result`.
    std::string describe(int result) const {
        if (sd_bus_error_is_set(&error_) != 0)
            return std::string(error_.name) + ": " +
                   (error_.message != nullptr ? error_.message : "");
        return std::strerror(-result);
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

void logNotTaken(const std::string& reason) {
    os::log("no sleep inhibitor taken: %s; the computer may sleep during the download",
            reason.c_str());
}

// The lock's descriptor (our own copy), or -1 with the reason logged.
int requestLock(const std::string& who, const std::string& why, int timeoutMs) {
    sd_bus* opened = nullptr;
    int r = sd_bus_open_system(&opened);
    const Bus bus(opened);
    if (r < 0) {
        logNotTaken(std::string("no system bus (") + std::strerror(-r) + ")");
        return -1;
    }
    if (sd_bus_can_send(bus.get(), SD_BUS_TYPE_UNIX_FD) <= 0) {
        logNotTaken("the system bus cannot pass file descriptors");
        return -1;
    }
    sd_bus_message* call = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "Inhibit");
    const Message request(call);
    if (r >= 0)
        r = sd_bus_message_append(call, "ssss", kSleepLockWhat, who.c_str(), why.c_str(), "block");
    BusError error;
    sd_bus_message* answer = nullptr;
    if (r >= 0)
        r = sd_bus_call(bus.get(), call, static_cast<std::uint64_t>(timeoutMs) * 1000, error.get(),
                        &answer);
    const Message reply(answer);
    if (r < 0) {
        logNotTaken(error.describe(r));
        return -1;
    }
    int lock = -1;
    // The reply owns `lock`; our copy outlives it.
    const int fd =
        sd_bus_message_read(answer, "h", &lock) > 0 ? ::fcntl(lock, F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0)
        logNotTaken("logind's answer held no file descriptor");
    return fd;
}

}  // namespace

SleepLock::SleepLock(std::string who, std::string why, int callTimeoutMs)
    : who_(std::move(who)), why_(std::move(why)), callTimeoutMs_(callTimeoutMs) {}

SleepLock::~SleepLock() {
    release();
}

bool SleepLock::acquire() {
    if (held())
        return true;
    handle_ = requestLock(who_, why_, callTimeoutMs_);
    if (held())
        os::trace("sleep inhibitor taken (%s, fd %d)", kSleepLockWhat, static_cast<int>(handle_));
    return held();
}

void SleepLock::release() {
    if (!held())
        return;
    ::close(static_cast<int>(handle_));
    os::trace("sleep inhibitor released (fd %d)", static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace session
