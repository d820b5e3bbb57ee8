#include "cli/ConsolePort.h"

#include <algorithm>
#include <utility>

#include "cli/ConsoleText.h"

namespace cli {
namespace {

constexpr auto kBarRedraw = std::chrono::milliseconds(100);  // the terminal need not see every packet
constexpr int kBarWidth = 30;

}  // namespace

ConsolePort::ConsolePort(Settings settings) : settings_(settings) {}

ConsolePort::~ConsolePort() {
  endProgress();
}

void ConsolePort::changed() {
  changed_.notify_all();
}

void ConsolePort::logLocked(const std::string& line) {
  if (!settings_.verbose) return;
  endProgressLocked();
  std::fprintf(settings_.err, "%s\n", printable(line).c_str());
}

void ConsolePort::errorMsg(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  timerActive_ = false;
  busy_ = false;
  logLocked(line);
  changed();
}

void ConsolePort::infoMsg(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  logLocked(line);
}

void ConsolePort::startBusy() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = true;
}

void ConsolePort::stopBusy() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  changed();
}

void ConsolePort::responseLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.responses.push_back(line);
  lastAnswer_ = Clock::now();
  changed();
}

void ConsolePort::timeoutEnable(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enabled) {
    timerActive_ = false;
  } else if (!timerActive_) {
    // An enabled timer keeps running; enabling it again restarts nothing.
    timerActive_ = true;
    deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  }
  changed();
}

void ConsolePort::timeoutInterval(int milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  // A running timer starts again with its new interval.
  if (timerActive_) deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  changed();
}

bool ConsolePort::saveDialog(std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (saveAnswer_.empty()) return false;
  path = saveAnswer_;
  return true;
}

void ConsolePort::messageBox(MessageKind kind, const std::string& caption, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.boxes.push_back({kind, caption, text});
  logLocked(caption + ": " + text);
  changed();
}

std::string ConsolePort::lengthText() {
  return std::string();
}

void ConsolePort::linkEvent(const LinkEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (event.kind) {
    case LinkEvent::Kind::Connected:
      state_.connected = true;
      state_.serial = event.text;
      break;
    case LinkEvent::Kind::Disconnected:
      state_.connected = false;
      state_.disconnected = true;
      break;
    case LinkEvent::Kind::SoftwareVersion:
      state_.software = event.text;
      break;
    case LinkEvent::Kind::DataProgress:
    case LinkEvent::Kind::FirmwareProgress:
      progressLocked(event.value, event.total);
      return;  // nobody waits for a packet
    case LinkEvent::Kind::DownloadSaved:
      if (event.records) state_.savedRecords = *event.records;
      break;
    case LinkEvent::Kind::OperationFinished:
      state_.finished = true;
      state_.operation = event.operation;
      state_.outcome = event.outcome;
      state_.written = event.value;
      state_.skipped = event.skipped;
      state_.file = event.text;
      break;
    case LinkEvent::Kind::RecordCount:
      state_.counted = true;
      state_.recordCount = event.value;
      break;
    default:
      return;
  }
  changed();
}

void ConsolePort::beginOperation() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool connected = state_.connected;
  const std::string serial = state_.serial;
  state_ = State();
  state_.connected = connected;
  state_.serial = serial;
}

void ConsolePort::setSaveAnswer(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  saveAnswer_ = path;
}

void ConsolePort::setTimeoutHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  onTimeout_ = std::move(handler);
}

void ConsolePort::setProgressLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  label_ = label;
}

bool ConsolePort::waitFor(const std::function<bool(const State&)>& done, std::chrono::milliseconds bound) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      bound == std::chrono::milliseconds::max() ? Clock::time_point::max() : start + bound;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (done(state_)) return true;
    const Clock::time_point now = Clock::now();
    if (timerActive_ && now >= deadline_) {
      // What the window's timer does when it fires; the link ends its operation (NoAnswer).
      timerActive_ = false;
      busy_ = false;
      logLocked("No Answer of Velmora");
      const std::function<void()> handler = onTimeout_;
      lock.unlock();
      if (handler) handler();
      lock.lock();
      continue;
    }
    if (now >= end) return false;
    changed_.wait_until(lock, timerActive_ ? std::min(deadline_, end) : end);
  }
}

bool ConsolePort::waitForQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point end = Clock::now() + bound;
  lastAnswer_ = Clock::now();
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now - lastAnswer_ >= quiet) return true;
    if (now >= end) return false;
    changed_.wait_until(lock, std::min(lastAnswer_ + quiet, end));
  }
}

ConsolePort::State ConsolePort::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool ConsolePort::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

bool ConsolePort::timeoutActive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timerActive_;
}

int ConsolePort::timeoutIntervalMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

void ConsolePort::progressLocked(int64_t value, int64_t total) {
  if (!settings_.progress || total <= 0) return;
  const Clock::time_point now = Clock::now();
  if (!barShown_) {
    barShown_ = true;
    barStart_ = now;
    barDrawn_ = Clock::time_point();
  }
  const bool last = value >= total;
  if (!last && now - barDrawn_ < kBarRedraw) return;
  barDrawn_ = now;
  const int64_t shown = std::clamp<int64_t>(value, 0, total);
  const int filled = static_cast<int>(shown * kBarWidth / total);
  const double seconds = std::chrono::duration<double>(now - barStart_).count();
  const double kib = seconds > 0 ? static_cast<double>(shown) * 64 / 1024 / seconds : 0;
  std::fprintf(settings_.err, "\r%s [%s%s] %lld/%lld packets  %.0f KiB/s\x1b[K", printable(label_).c_str(),
               std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kBarWidth - filled), '-').c_str(),
               static_cast<long long>(shown), static_cast<long long>(total), kib);
  if (last) endProgressLocked();
  std::fflush(settings_.err);
}

void ConsolePort::endProgressLocked() {
  if (!barShown_) return;
  barShown_ = false;
  std::fputc('\n', settings_.err);
}

void ConsolePort::endProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  endProgressLocked();
}

}  // namespace cli
