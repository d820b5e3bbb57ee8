// Virtual loggers: velmora-sim processes, each serving one device on a Unix socket in a per-user run
// folder, appear to the driver as attached devices.
//
// The run folder is the one given to EnableVirtualLoggers, else the one the environment names
// (usbdev/SocketProtocol.h: DefaultVirtualLoggerRunDir). It is used only when it is a folder of this
// user that nobody else may enter; otherwise nothing is listed from it and one debug line says why.
// Each "*.sock" socket there is one device; devices are listed in the order of the file names. A
// process connects once to each socket and keeps the connection while the device is present. A peer
// must run as this user and greet within a short deadline with a valid instance id; a socket that
// failed is skipped until it changes. A socket of ours that nobody listens on any more (its sim was
// killed) is deleted when it is found; nothing else in the folder is.
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
