// What one run of tarnwick-cli works with: its streams and clock, the console window port, the link
// (made on first use), and its messages.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "cli/ConsolePort.h"
#include "history/History.h"

class USBInterface;
struct ScannedLogger;

namespace cli {

struct Io {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // The PC clock that set-time sends and scheduled file names carry; tests fix it.
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  // Adds the logger sources to the driver, once, before the first scan; none when empty (tests attach
  // their loggers themselves).
  std::function<void()> enableLoggers;
  // How long a download's import waits for another program that writes the history.
  int historyWaitMs = history::kBusyTimeoutMs;
};

class Session {
 public:
  Session(const Io& io, bool quiet, bool verbose);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Io& io() const { return io_; }
  ConsolePort& port() { return port_; }
  USBInterface& link();
  // Ends the link object and waits for its workers; the next link() makes a new one.
  void closeLink();

  // "tarnwick-cli: <text>" on standard error; `note` only without --quiet. UTF-8.
  void note(const std::string& text);
  void problem(const std::string& text);

 private:
  Io io_;
  bool quiet_;
  ConsolePort port_;
  std::unique_ptr<USBInterface> link_;  // goes before the port it reports to
};

// A logger's name in messages (UTF-8, printable).
std::string loggerName(const ScannedLogger& logger);

}  // namespace cli
