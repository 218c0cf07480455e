#pragma once
// --capture: every transfer of every printer a DevicePort opens, written to one pcap file
// (pcap_writer.h) while the capture is on. A capture that cannot be written never stops a
// transfer: the log says why once, and the transfers go on uncaptured.

#include <memory>
#include <string>

#include "platform/usbport/device_port.h"

namespace usbport {

// Starts capturing to `path` for the rest of the process; false, with the reason logged, when
// the file cannot be created.
bool startCapture(const std::string& path);
// Closes the capture file (also at exit).
void stopCapture();
// `device` as it is, or, while a capture is on, a device that writes its transfers to it.
std::shared_ptr<OpenDevice> captured(std::shared_ptr<OpenDevice> device);

}  // namespace usbport
