// Virtual loggers: velmora-sim processes, each serving one device on a Unix socket in a per-user run
// folder, appear to the driver as attached devices.
//
// The run folder is the one given to EnableVirtualLoggers, else the one the environment names
// (usbdev/SocketProtocol.h: DefaultVirtualLoggerRunDir). Each "*.sock" file there is one device; devices
// are listed in the order of the file names. A process connects once to each socket and keeps the
// connection while the device is present; a socket nobody listens on any more (its sim was killed)
// is deleted when it is found.
#pragma once

#include <string>

namespace usbdrv {

// Adds the virtual-logger source to the driver (once; later calls only change the folder).
void EnableVirtualLoggers(const std::string& runDir = "");
// Removes the source and closes every connection it holds (pending transfers end with
// kStatusDeviceRemoved). Enabling again starts afresh.
void DisableVirtualLoggers();

// The folder in use, or, before EnableVirtualLoggers, the one the environment names.
std::string VirtualLoggerRunDir();

// How long a control request (descriptor, configuration) waits for the sim before it fails with
// kStatusNotResponding. The default is 2000 ms; tests shorten it.
void SetVirtualLoggerReplyTimeout(unsigned milliseconds);

}  // namespace usbdrv
