#include "cli/Session.h"

#include <unistd.h>

#include "cli/ConsoleText.h"
#include "link/USBInterface.h"

namespace cli {
namespace {

ConsolePort::Settings portSettings(const Io& io, bool quiet, bool verbose) {
  ConsolePort::Settings settings;
  settings.err = io.err;
  settings.verbose = verbose;
  // A bar only for a person watching; with --verbose the log lines show the progress.
  const int fd = fileno(io.err);
  settings.progress = !quiet && !verbose && fd >= 0 && isatty(fd);
  return settings;
}

}  // namespace

Session::Session(const Io& io, bool quiet, bool verbose)
    : io_(io), quiet_(quiet), port_(portSettings(io, quiet, verbose)) {}

Session::~Session() {
  closeLink();  // stops the link's workers while the port is still there
}

USBInterface& Session::link() {
  if (!link_) {
    if (io_.enableLoggers) io_.enableLoggers();
    link_ = std::make_unique<USBInterface>(&port_.port());
    port_.attach(link_.get());
  }
  return *link_;
}

void Session::closeLink() {
  port_.attach(nullptr);  // waits for a time-out that is ending the link's operation
  link_.reset();
}

void Session::note(const std::string& text) {
  if (quiet_) return;
  port_.endProgress();
  std::fprintf(io_.err, "tarnwick-cli: %s\n", text.c_str());
}

void Session::problem(const std::string& text) {
  port_.endProgress();
  std::fprintf(io_.err, "tarnwick-cli: %s\n", text.c_str());
}

std::string loggerName(const ScannedLogger& logger) {
  if (!logger.hasSerial) return "the logger without serial number";
  if (logger.serialText.empty()) return "the logger with an empty serial number";
  return printable(logger.serialText);
}

}  // namespace cli
