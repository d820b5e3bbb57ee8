#include "cli/ConsolePort.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "cli/ConsoleText.h"

namespace cli {
namespace {

constexpr auto kBarRedraw = std::chrono::milliseconds(100);  // the terminal need not see every packet
constexpr int kBarWidth = 30;

}  // namespace

ConsolePort::ConsolePort(Settings settings)
    : settings_(settings),
      headless_({[this](HeadlessPort::Line kind, const std::string& text) { line(kind, text); },
                 [this](const LinkEvent& e) { event(e); }, [this](const std::string&) { answer(); }}) {}

ConsolePort::~ConsolePort() {
  endProgress();
}

void ConsolePort::logLocked(const std::string& line) {
  if (!settings_.verbose) return;
  endProgressLocked();
  writeAll(settings_.err, printable(line) + "\n");
}

void ConsolePort::log(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  logLocked(text);
}

void ConsolePort::line(HeadlessPort::Line kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  logLocked(text);
  if (kind == HeadlessPort::Line::Box) state_.boxes.push_back(text);
}

void ConsolePort::answer() {
  std::lock_guard<std::mutex> lock(mutex_);
  lastAnswer_ = Clock::now();
  changed_.notify_all();
}

void ConsolePort::event(const LinkEvent& event) {
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
      if (event.records)
        state_.savedRecords = std::make_shared<const std::vector<messwert_tag>>(*event.records);
      if (event.csv) state_.savedCsv = std::make_shared<const std::string>(*event.csv);
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
  changed_.notify_all();
}

void ConsolePort::beginOperation() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool connected = state_.connected;
  const std::string serial = state_.serial;
  state_ = State();
  state_.connected = connected;
  state_.serial = serial;
}

void ConsolePort::setProgressLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  label_ = label;
}

bool ConsolePort::waitFor(const std::function<bool(const State&)>& done, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (bound == std::chrono::milliseconds::max()) {
    changed_.wait(lock, [&] { return done(state_); });
    return true;
  }
  return changed_.wait_for(lock, bound, [&] { return done(state_); });
}

bool ConsolePort::waitForQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds bound,
                               const std::function<bool()>& listening) {
  const Clock::time_point end = Clock::now() + bound;
  while (!listening()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::unique_lock<std::mutex> lock(mutex_);
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
