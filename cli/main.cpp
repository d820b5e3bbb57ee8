// tarnwick-cli: the program's operations for scripts and servers, without a display.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>
#include <thread>

#include "cli/Cli.h"
#include "data/SafeFile.h"
#include "link/LoggerSources.h"

namespace {

// INT, TERM and HUP are taken by one thread of their own (blocked everywhere else, so no handler ever
// interrupts the program's work): it removes the temporaries made so far and ends the program with
// the shell's 128 + signal number. A closed standard output is a write error, not a signal.
void stopCleanlyOnSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
  // Before any other thread starts, so that every one of them inherits the mask.
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops] {
    int signal = 0;
    while (sigwait(&stops, &signal) != 0) {
    }
    temporaries::removeAllForExit();
    const char* name = signal == SIGINT ? "interrupted" : signal == SIGTERM ? "terminated" : "hung up";
    const std::string line = std::string("\ntarnwick-cli: ") + name + "; temporary files removed\n";
    if (::write(STDERR_FILENO, line.data(), line.size()) < 0) {
      // nowhere left to say it
    }
    _exit(128 + signal);
  }).detach();
}

}  // namespace

int main(int argc, char* argv[]) {
  stopCleanlyOnSignals();
  cli::Io io;
  // The same loggers as the window: virtual ones from the run folder, real ones first on the bus.
  // Only a command that reaches a logger starts them.
  std::optional<LoggerSources> loggers;
  io.enableLoggers = [&loggers] {
    if (!loggers) loggers.emplace();
  };
  return cli::run(argc, argv, io);
}
