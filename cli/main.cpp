// tarnwick-cli: the program's operations for scripts and servers, without a display.
#include "cli/Cli.h"
#include "platform/usbdrv/socket_source.h"
#ifdef TARNWICK_HAVE_LIBUSB
#include "platform/usbdrv/libusb_source.h"
#endif

int main(int argc, char* argv[]) {
  cli::Io io;
  // The same loggers as the window: virtual ones from the run folder, real ones first on the bus.
  // Only a command that reaches a logger starts them.
  bool enabled = false;
  io.enableLoggers = [&enabled] {
    enabled = true;
    usbdrv::EnableVirtualLoggers();
#ifdef TARNWICK_HAVE_LIBUSB
    usbdrv::EnableHardwareLoggers();
#endif
  };
  const int status = cli::run(argc, argv, io);
  if (enabled) {
#ifdef TARNWICK_HAVE_LIBUSB
    usbdrv::DisableHardwareLoggers();
#endif
    usbdrv::DisableVirtualLoggers();
  }
  return status;
}
