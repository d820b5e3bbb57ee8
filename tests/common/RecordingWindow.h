// The window port of every test, fuzz target, benchmark and the fault campaign: keeps every effect in
// one ordered list and answers dialogs from a script. For floods (debug lines, the record lines of
// long downloads) it keeps only counts and the latest lines instead (Options::keepEffects).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/WindowPort.h"

class RecordingWindow : public WindowPort {
 public:
  // How long a wait for an effect goes on before it fails: far beyond what any step takes on a
  // loaded machine under a sanitizer. A wait ends as soon as its effect is there.
  static constexpr std::chrono::milliseconds kWaitBound{60000};

  enum class Kind {
    Error,
    Info,
    StartBusy,
    StopBusy,
    Response,
    TimeoutEnable,
    TimeoutInterval,
    SaveDialog,
    MessageBox,
    LengthText
  };
  struct Effect {
    Kind kind;
    std::string text;  // line, message box text, chosen path
    int value = 0;     // timer enable (0/1), interval, message kind
    std::string caption;
  };
  struct Options {
    // Keep every effect in order, and the link events. Without it only the counters below and the
    // latest lines stay.
    bool keepEffects = true;
    // Log lines counted only in lines(), not by text nor among the latest lines: floods of distinct
    // lines that nobody waits for.
    std::function<bool(const std::string&)> countOnly;
    // Error lines that firstUnexpected() passes over.
    std::vector<std::string> expectedErrors;
    // How long waitUntil and waitQuiet wait when not told.
    std::chrono::milliseconds waitBound = kWaitBound;
  };

  RecordingWindow() = default;
  explicit RecordingWindow(Options options) : options_(std::move(options)) {}

  // WindowPort
  void errorMsg(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutEnabled_ = false;
    busy_ = false;
    if (unexpected_.empty() && !expectedError(line)) unexpected_ = line;
    addLine(Kind::Error, line);
  }
  void infoMsg(const std::string& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    addLine(Kind::Info, line);
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
    ++responseCounts_[line];
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
    } else if (standingAnswer_ && !standingAnswer_->empty()) {
      answer = standingAnswer_;
    }
    ++dialogs_;
    add(make(Kind::SaveDialog, answer ? *answer : std::string()));
    if (!answer) return false;
    path = *answer;
    return true;
  }
  void messageBox(MessageKind kind, const std::string& caption, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++boxCounts_[text];
    if (unexpected_.empty()) unexpected_ = caption + ": " + text;
    remember("box: " + text);
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
    if (!options_.keepEffects) return;
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
  // Answers every save dialog that the script above does not with `path` (empty: cancels them).
  void answerEverySaveDialog(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    standingAnswer_ = path;
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
  // How often `line` reached the log (not counting Options::countOnly lines).
  size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(line);
  }
  size_t responseCount(const std::string& line) const { return lookup(responseCounts_, line); }
  size_t boxCount(const std::string& text) const { return lookup(boxCounts_, text); }
  // Log lines of any kind, effects of any kind, save dialogs asked, since the last clear().
  uint64_t lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  uint64_t effectCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return effectCount_;
  }
  size_t dialogs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dialogs_;
  }
  // The latest log lines and message boxes ("box: " and the text), cut to 100 characters.
  std::vector<std::string> lastLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<std::string>(last_.begin(), last_.end());
  }
  // The first error line not in Options::expectedErrors or the first message box ("caption: text"),
  // or empty.
  std::string firstUnexpected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unexpected_;
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
  // Forgets the kept effects only; the counters go on.
  void dropEffects() {
    std::lock_guard<std::mutex> lock(mutex_);
    effects_.clear();
  }
  // Forgets the effects, the events and every counter; the save-dialog answers and the length text
  // stay.
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    effects_.clear();
    events_.clear();
    savedRecords_.clear();
    counts_.clear();
    responseCounts_.clear();
    boxCounts_.clear();
    last_.clear();
    unexpected_.clear();
    lines_ = effectCount_ = 0;
    dialogs_ = 0;
  }

  // Waits until the log holds `line` at least `times` times; false after the bound.
  bool waitForLine(const std::string& line, size_t times = 1,
                   std::chrono::milliseconds bound = kWaitBound) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return countLocked(line) >= times; });
  }
  // Waits until a predicate over the effects holds (evaluated under the lock).
  // Waits until a predicate holds. It is evaluated without the window's lock (it may call the
  // window's observers and look at state outside the window), on every new effect and every few
  // milliseconds.
  bool waitUntil(const std::function<bool()>& pred) const { return waitUntil(pred, options_.waitBound); }
  bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) const {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
  }
  // Waits until nothing has reached the window for `quiet`; false if that never happens in `bound`.
  bool waitQuiet(std::chrono::milliseconds quiet) const { return waitQuiet(quiet, options_.waitBound); }
  bool waitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds bound) const {
    const auto end = std::chrono::steady_clock::now() + bound;
    uint64_t seen = effectCount();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const uint64_t now = effectCount();
      if (now != seen) {
        seen = now;
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since >= quiet) {
        return true;
      }
    }
    return false;
  }
  size_t countLocked(const std::string& line) const {
    auto it = counts_.find(line);
    return it == counts_.end() ? 0 : it->second;
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
    ++effectCount_;
    if (options_.keepEffects) effects_.push_back(std::move(e));
    changed_.notify_all();
  }
  // A flood line wakes no waiter: nobody waits for one, and waking them for each would cost more
  // than the flood itself.
  void addLine(Kind kind, const std::string& line) {
    ++lines_;
    ++effectCount_;
    const bool counted = !(options_.countOnly && options_.countOnly(line));
    if (counted) {
      ++counts_[line];
      remember(line);
    }
    if (options_.keepEffects) effects_.push_back(make(kind, line));
    if (counted) changed_.notify_all();
  }
  void remember(const std::string& line) {
    last_.push_back(line.substr(0, 100));
    if (last_.size() > 30) last_.pop_front();
  }
  bool expectedError(const std::string& line) const {
    for (const auto& e : options_.expectedErrors)
      if (e == line) return true;
    return false;
  }
  size_t lookup(const std::map<std::string, size_t>& counts, const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts.find(key);
    return it == counts.end() ? 0 : it->second;
  }
  std::vector<std::string> texts(std::initializer_list<Kind> kinds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : effects_)
      for (Kind k : kinds)
        if (e.kind == k) out.push_back(e.text);
    return out;
  }

  Options options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Effect> effects_;
  std::vector<LinkEvent> events_;
  std::vector<messwert_tag> savedRecords_;
  std::map<std::string, size_t> counts_, responseCounts_, boxCounts_;
  std::deque<std::string> last_;
  std::string unexpected_;
  uint64_t lines_ = 0, effectCount_ = 0;
  size_t dialogs_ = 0;
  std::deque<std::optional<std::string>> saveAnswers_;
  std::optional<std::string> standingAnswer_;
  std::string length_;
  bool busy_ = false;
  bool timeoutEnabled_ = false;
  int interval_ = 5000;
};
