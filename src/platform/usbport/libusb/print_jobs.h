#pragma once
// Print jobs through the kernel's printer driver: a process that holds the driver's device node
// (/dev/usb/lpN) open is printing through it, and detaching the driver would cut its job.

#include <string>

namespace usbport {

// The print job on interface `interfaceNumber` of the USB device at `portPath` ("1-4.2"), in
// words ("/dev/usb/lp0 is open in process 812 (usb)"); empty when its printer driver's node is
// open nowhere this process can see.
std::string printJobOn(const std::string& portPath, int interfaceNumber);

// The processes that hold `node` open, as "process PID (NAME)", joined by ", "; empty when none.
std::string processesHolding(const std::string& node);

}  // namespace usbport
