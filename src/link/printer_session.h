#pragma once
// One download's hold on one printer, from the moment it passed the model check to the end of the
// run. While it lasts:
// - every link that opens reaches only that printer (by its serial number, or by its port path
//   when it has none, or by both when another printer shares its serial): another printer of the
//   same model counts as not there;
// - the kernel's printer driver, detached by the first open, stays detached between the stages,
//   so that a print system cannot reach the printer in between; it is bound again at the end;
// - a lock file that every copy of the tool respects, whoever runs it, keeps other copies away.

#include <string>

#include "platform/os/file_lock.h"
#include "platform/usbport/usbport.h"

namespace pv::link {

class PrinterSession {
  public:
    enum class Bind {
        Bound,
        Locked,    // another copy of the tool holds the printer
        Unusable,  // the lock file cannot be used (lockProblem() says why): nothing is bound
    };

    PrinterSession();
    // Lets go of the printer: any link opens again, its driver is bound again, the lock is freed.
    ~PrinterSession();
    PrinterSession(const PrinterSession&) = delete;
    PrinterSession& operator=(const PrinterSession&) = delete;

    // Takes the printer's lock and binds every later open to the printer. Nothing is bound when
    // the lock is not taken.
    Bind bind(const usbport::DeviceIdentity& printer);
    // After Bind::Unusable: the lock file, what is wrong with it and what an administrator can do.
    const std::string& lockProblem() const { return lock_.problem(); }
    bool bound() const { return bound_; }
    const usbport::DeviceIdentity& printer() const { return printer_; }

  private:
    usbport::DeviceIdentity printer_;
    os::FileLock lock_;
    bool bound_ = false;
};

// The lock file of a printer: in $PV4410S_LOCK_DIR when set, else /run/lock (on Windows the bare
// name, which names a kernel object), named from the port the printer is attached to (every byte
// but letters, digits, '.', '-' and '_' written as %XX). A printer keeps its port for the whole of
// a run, resets included, whatever else is attached or leaves, so two runs for one printer always
// meet at the same lock, and printers that share a serial (or have none) still have one each.
std::string printerLockPath(const usbport::DeviceIdentity& printer);

}  // namespace pv::link
