#include "usbio/LoggerSources.h"

#ifndef _WIN32
#include "platform/usbdrv/SocketSource.h"
#ifdef TARNWICK_HAVE_LIBUSB
#include "platform/usbdrv/LibusbSource.h"
#endif
#endif

namespace usbio {

void EnableLoggerSources() {
#ifndef _WIN32
  usbdrv::EnableVirtualLoggers();
#ifdef TARNWICK_HAVE_LIBUSB
  usbdrv::EnableHardwareLoggers();
#endif
#endif
}

void DisableLoggerSources() {
#ifndef _WIN32
#ifdef TARNWICK_HAVE_LIBUSB
  usbdrv::DisableHardwareLoggers();
#endif
  usbdrv::DisableVirtualLoggers();
#endif
}

}  // namespace usbio
