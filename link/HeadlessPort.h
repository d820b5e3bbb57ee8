// The window port of a caller without a window (a command line, a service): the link's log lines go to
// a sink, its events to a handler, a download goes where the caller said beforehand (a file, or only
// to the caller with its DownloadSaved event), and the answer time-out runs on a timer of its own that
// ends the operation under way as the window's timer does. Nothing is shown and nobody is asked.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "link/AnswerTimer.h"
#include "link/WindowPort.h"

class USBInterface;

class HeadlessPort : public WindowPort {
 public:
  enum class Line { Info, Error, Box };
  struct Sinks {
    // Every log line; a message box comes as one line "<caption>: <text>". Windows-1252.
    std::function<void(Line, const std::string&)> log;
    // Every link event, on the thread that reports it.
    std::function<void(const LinkEvent&)> event;
    // Every answer of the logger (the service console's response lines); may be empty.
    std::function<void(const std::string&)> answer;
  };
  // The window's timer starts with 5 s.
  static constexpr int kDefaultTimeoutMs = 5000;

  explicit HeadlessPort(Sinks sinks);
  ~HeadlessPort() override;

  // The link whose operation the answer time-out ends; nullptr before that link goes.
  void attach(USBInterface* link);
  // Where a download or a memory read goes from now on: the file `path`, or, when empty, nowhere
  // (the transfer ends Cancelled).
  void saveTo(const std::string& path);
  // A download's text and records go only to its DownloadSaved event; no file is written.
  void saveToCallerOnly();

  bool busy() const;
  bool timeoutActive() const { return timer_.active(); }
  int timeoutIntervalMs() const { return timer_.interval(); }

  void errorMsg(const std::string& line) override;
  void infoMsg(const std::string& line) override;
  void startBusy() override;
  void stopBusy() override;
  void responseLine(const std::string& line) override;
  void timeoutEnable(bool enabled) override;
  void timeoutInterval(int milliseconds) override;
  bool saveDialog(std::string& path) override;
  SaveTarget downloadTarget(std::string& path) override;
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override;
  // No length field: a memory read writes what the transfer brought (none).
  std::string lengthText() override { return std::string(); }
  void linkEvent(const LinkEvent& event) override;

 private:
  void timedOut();

  Sinks sinks_;
  mutable std::mutex mutex_;  // the save answer and the busy state
  std::string savePath_;
  bool callerOnly_ = false;
  bool busy_ = false;
  std::mutex linkMutex_;  // held while the time-out ends the link's operation
  USBInterface* link_ = nullptr;
  AnswerTimer timer_;  // last: it stops before the rest goes
};
