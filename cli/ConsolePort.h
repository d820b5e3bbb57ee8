// The port through which the link reports to tarnwick-cli: a log sink (standard error with
// --verbose), the answer time-out (run on the thread that waits for the operation, handed to the link
// when it expires), the "where to save" answer (the path the command chose; there is no dialog), the
// link's events, of which the command follows OperationFinished, and a progress bar on a terminal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/WindowPort.h"

namespace cli {

class ConsolePort : public WindowPort {
 public:
  struct Settings {
    std::FILE* err = stderr;
    bool verbose = false;   // every log line on `err`
    bool progress = false;  // a progress bar on `err`, which is a terminal
  };

  struct Box {
    MessageKind kind;
    std::string caption;
    std::string text;
  };

  // What the link reported since the operation began. Texts are Windows-1252.
  struct State {
    bool connected = false;
    std::string serial;                  // of the last Connected
    bool disconnected = false;           // the link ended
    std::vector<std::string> responses;  // the logger's answers
    // Boxes the link raised outside an operation (a scan that cannot read a device); an operation's
    // boxes come with its outcome, which the command reports.
    std::vector<Box> boxes;
    std::vector<messwert_tag> savedRecords;  // of DownloadSaved
    bool counted = false;                    // the record count asked for on its own came
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
  ~ConsolePort() override;

  void errorMsg(const std::string& line) override;
  void infoMsg(const std::string& line) override;
  void startBusy() override;
  void stopBusy() override;
  void responseLine(const std::string& line) override;
  void timeoutEnable(bool enabled) override;
  void timeoutInterval(int milliseconds) override;
  bool saveDialog(std::string& path) override;
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override;
  std::string lengthText() override;
  void linkEvent(const LinkEvent& event) override;

  // Forgets what the last operation left; the timer keeps its interval, as the window's does.
  void beginOperation();
  // Where the link saves a download or a memory read from now on; empty: nowhere (the operation ends
  // Cancelled).
  void setSaveAnswer(const std::string& path);
  // Called (without the port's lock) when the answer time-out expires, after "No Answer of Velmora".
  void setTimeoutHandler(std::function<void()> handler);
  // The name the progress bar shows.
  void setProgressLabel(const std::string& label);
  // Ends a progress bar still on the terminal's line, before a message follows.
  void endProgress();

  // Runs the answer time-out until `done` holds (true), or until `bound` has passed (false). `done`
  // sees the state under the port's lock and must not call the port.
  bool waitFor(const std::function<bool(const State&)>& done,
               std::chrono::milliseconds bound = std::chrono::milliseconds::max());
  State state() const;
  // Waits until no answer has come for `quiet` (true), or until `bound` has passed (false).
  bool waitForQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds bound);

  bool busy() const;
  bool timeoutActive() const;
  int timeoutIntervalMs() const;

 private:
  using Clock = std::chrono::steady_clock;
  void logLocked(const std::string& line);
  void progressLocked(int64_t value, int64_t total);
  void endProgressLocked();
  void changed();

  Settings settings_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
  std::string saveAnswer_;
  std::function<void()> onTimeout_;
  bool busy_ = false;
  bool timerActive_ = false;
  int interval_ = 5000;  // the window's timer starts with 5 s
  Clock::time_point deadline_;
  Clock::time_point lastAnswer_;
  // Progress bar.
  std::string label_;
  bool barShown_ = false;
  Clock::time_point barStart_;
  Clock::time_point barDrawn_;
};

}  // namespace cli
