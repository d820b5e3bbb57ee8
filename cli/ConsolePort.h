// What tarnwick-cli makes of the link's reports: the link reports to a headless port (link/
// HeadlessPort: the answer time-out, the "where to save" answer), whose log lines go to standard error
// with --verbose and whose events this keeps for the command that waits for them; a progress bar on a
// terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/HeadlessPort.h"

namespace cli {

class ConsolePort {
 public:
  struct Settings {
    std::FILE* err = stderr;
    bool verbose = false;   // every log line on `err`
    bool progress = false;  // a progress bar on `err`, which is a terminal
  };

  // What the link reported since the operation began. Texts are Windows-1252.
  struct State {
    bool connected = false;
    std::string serial;         // of the last Connected
    bool disconnected = false;  // the link ended
    // Message boxes the link raised ("<caption>: <text>"): a scan that cannot read a device says so
    // only that way; an operation's boxes come with its outcome.
    std::vector<std::string> boxes;
    // DownloadSaved.
    std::shared_ptr<const std::vector<messwert_tag>> savedRecords;
    std::shared_ptr<const std::string> savedCsv;
    bool counted = false;  // the record count asked for on its own came
    int64_t recordCount = 0;
    std::string software;
    // OperationFinished.
    bool finished = false;
    Operation operation = Operation::None;
    Outcome outcome = Outcome::Done;
    int64_t written = 0;  // records or bytes
    int64_t skipped = 0;
    std::string file;  // or the answer, or the firmware version
  };

  explicit ConsolePort(Settings settings);
  ~ConsolePort();

  // What the link reports to.
  WindowPort& port() { return headless_; }
  // The link whose operation the answer time-out ends; nullptr before it goes.
  void attach(USBInterface* link) { headless_.attach(link); }
  // A line of the command's own in the log (--verbose), as the window logs it.
  void log(const std::string& line);

  // Forgets what the last operation left.
  void beginOperation();
  // Where the link saves a download or a memory read from now on; empty: nowhere (the operation ends
  // Cancelled).
  void setSaveAnswer(const std::string& path) { headless_.saveTo(path); }
  // A download's text and records come only with its event; no file is written.
  void keepDownloadInMemory() { headless_.saveToCallerOnly(); }
  // The name the progress bar shows.
  void setProgressLabel(const std::string& label);
  // Ends a progress bar still on the terminal's line, before a message follows.
  void endProgress();

  // Waits until `done` holds (true), or until `bound` has passed (false). `done` sees the state under
  // the port's lock and must not call the port.
  bool waitFor(const std::function<bool(const State&)>& done,
               std::chrono::milliseconds bound = std::chrono::milliseconds::max());
  State state() const;
  // Waits until no answer has come for `quiet` since `listening` first held (true), or until `bound` has
  // passed (false). `listening` is asked without the port's lock, every millisecond until it holds.
  bool waitForQuiet(
      std::chrono::milliseconds quiet, std::chrono::milliseconds bound,
      const std::function<bool()>& listening = [] { return true; });

 private:
  using Clock = std::chrono::steady_clock;
  void line(HeadlessPort::Line kind, const std::string& text);
  void event(const LinkEvent& event);
  void answer();
  void logLocked(const std::string& line);
  void progressLocked(int64_t value, int64_t total);
  void endProgressLocked();

  Settings settings_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
  Clock::time_point lastAnswer_;
  // Progress bar.
  std::string label_;
  bool barShown_ = false;
  Clock::time_point barStart_;
  Clock::time_point barDrawn_;
  HeadlessPort headless_;  // last: its time-out stops before the rest goes
};

}  // namespace cli
