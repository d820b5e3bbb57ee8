// A window port for tests: keeps every effect in one ordered list and answers dialogs from a script.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/WindowPort.h"

class RecordingWindow : public WindowPort {
 public:
  enum class Kind { Error, Info, StartBusy, StopBusy, Response, TimeoutEnable, TimeoutInterval, SaveDialog, MessageBox, LengthText };
  struct Effect {
    Kind kind;
    std::string text;  // line, message box text, chosen path
    int value = 0;     // timer enable (0/1), interval, message kind
    std::string caption;
  };

  // WindowPort
  void errorMsg(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutEnabled_ = false;
    busy_ = false;
    add(make(Kind::Error, line));
  }
  void infoMsg(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    add(make(Kind::Info, line));
  }
  void startBusy() override {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = true;
    add(make(Kind::StartBusy, ""));
  }
  void stopBusy() override {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    add(make(Kind::StopBusy, ""));
  }
  void responseLine(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    add(make(Kind::Response, line));
  }
  void timeoutEnable(bool enabled) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutEnabled_ = enabled;
    add(make(Kind::TimeoutEnable, "", enabled ? 1 : 0));
  }
  void timeoutInterval(int milliseconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = milliseconds;
    add(make(Kind::TimeoutInterval, "", milliseconds));
  }
  bool saveDialog(std::string& path) override {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<std::string> answer;
    if (!saveAnswers_.empty()) {
      answer = saveAnswers_.front();
      saveAnswers_.pop_front();
    }
    add(make(Kind::SaveDialog, answer ? *answer : std::string()));
    if (!answer) return false;
    path = *answer;
    return true;
  }
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    add(make(Kind::MessageBox, text, kind == MessageKind::Error ? 0 : 1, caption));
  }
  std::string lengthText() override {
    std::lock_guard<std::mutex> lock(mutex_);
    add(make(Kind::LengthText, length_));
    return length_;
  }
  // Kept apart from the effects, whose order the tests compare; the records of a saved download are
  // copied into `savedRecords`.
  void linkEvent(const LinkEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkEvent copy = event;
    copy.records = nullptr;
    if (event.records) savedRecords_ = *event.records;
    events_.push_back(std::move(copy));
  }

  // Script.
  void answerSaveDialog(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    saveAnswers_.push_back(path);
  }
  void cancelSaveDialog() {
    std::lock_guard<std::mutex> lock(mutex_);
    saveAnswers_.push_back(std::nullopt);
  }
  void setLengthText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    length_ = text;
  }

  // Observations.
  std::vector<Effect> effects() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return effects_;
  }
  std::vector<LinkEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<messwert_tag> savedRecords() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return savedRecords_;
  }
  // The log (mmoDebug): the lines of errorMsg and infoMsg in order.
  std::vector<std::string> log() const { return texts({Kind::Error, Kind::Info}); }
  std::vector<std::string> responses() const { return texts({Kind::Response}); }
  std::vector<std::string> messageBoxes() const { return texts({Kind::MessageBox}); }
  size_t count(const std::string& line) const {
    size_t n = 0;
    for (const auto& l : log()) n += (l == line);
    return n;
  }
  bool busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
  }
  bool timeoutEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeoutEnabled_;
  }
  int interval() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interval_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    effects_.clear();
  }

  // Waits until the log holds `line` at least `times` times; false after the bound.
  bool waitForLine(const std::string& line, size_t times = 1,
                   std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return countLocked(line) >= times; });
  }
  // Waits until a predicate over the effects holds (evaluated under the lock).
  // Waits until a predicate holds. It is evaluated without the window's lock (it may call the
  // window's observers and look at state outside the window), on every new effect and every few
  // milliseconds.
  bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
  }
  size_t countLocked(const std::string& line) const {
    size_t n = 0;
    for (const auto& e : effects_)
      if ((e.kind == Kind::Error || e.kind == Kind::Info) && e.text == line) ++n;
    return n;
  }

 private:
  static Effect make(Kind kind, const std::string& text, int value = 0, const std::string& caption = "") {
    Effect e;
    e.kind = kind;
    e.text = text;
    e.value = value;
    e.caption = caption;
    return e;
  }
  void add(Effect e) {
    effects_.push_back(std::move(e));
    changed_.notify_all();
  }
  std::vector<std::string> texts(std::initializer_list<Kind> kinds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : effects_)
      for (Kind k : kinds)
        if (e.kind == k) out.push_back(e.text);
    return out;
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Effect> effects_;
  std::vector<LinkEvent> events_;
  std::vector<messwert_tag> savedRecords_;
  std::deque<std::optional<std::string>> saveAnswers_;
  std::string length_;
  bool busy_ = false;
  bool timeoutEnabled_ = false;
  int interval_ = 5000;
};
