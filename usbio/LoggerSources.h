// The loggers this computer offers, switched on and off by a program's entry point. On Windows the
// system's USB driver lists them and there is nothing to switch. Elsewhere the user-space driver
// serves virtual loggers (velmora-sim processes in the run folder) and, where libusb was found, real
// ones on the USB bus, listed before the virtual ones.
#pragma once

namespace usbio {

// Turns both sources on (once; a second call changes nothing). Real loggers are left out, with the
// program running on, when libusb cannot be started.
void EnableLoggerSources();
// Turns them off again: every device they listed is unplugged and its pending transfers end.
void DisableLoggerSources();

}  // namespace usbio
