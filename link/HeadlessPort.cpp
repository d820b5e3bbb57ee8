#include "link/HeadlessPort.h"

#include <utility>

#include "link/Operations.h"

HeadlessPort::HeadlessPort(Sinks sinks)
    : sinks_(std::move(sinks)), timer_(kDefaultTimeoutMs, [this] { timedOut(); }) {}

HeadlessPort::~HeadlessPort() = default;

void HeadlessPort::attach(USBInterface* link) {
  std::lock_guard<std::mutex> lock(linkMutex_);
  link_ = link;
}

void HeadlessPort::saveTo(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  savePath_ = path;
  callerOnly_ = false;
}

void HeadlessPort::saveToCallerOnly() {
  std::lock_guard<std::mutex> lock(mutex_);
  savePath_.clear();
  callerOnly_ = true;
}

bool HeadlessPort::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void HeadlessPort::errorMsg(const std::string& line) {
  timer_.enable(false);
  stopBusy();
  if (sinks_.log) sinks_.log(Line::Error, line);
}

void HeadlessPort::infoMsg(const std::string& line) {
  if (sinks_.log) sinks_.log(Line::Info, line);
}

void HeadlessPort::startBusy() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = true;
}

void HeadlessPort::stopBusy() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
}

void HeadlessPort::responseLine(const std::string& line) {
  if (sinks_.answer) sinks_.answer(line);
}

void HeadlessPort::timeoutEnable(bool enabled) {
  timer_.enable(enabled);
}

void HeadlessPort::timeoutInterval(int milliseconds) {
  timer_.setInterval(milliseconds);
}

bool HeadlessPort::saveDialog(std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (savePath_.empty()) return false;
  path = savePath_;
  return true;
}

SaveTarget HeadlessPort::downloadTarget(std::string& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callerOnly_) return SaveTarget::CallerOnly;
  }
  return saveDialog(path) ? SaveTarget::File : SaveTarget::Cancelled;
}

void HeadlessPort::messageBox(MessageKind kind, const std::string& caption, const std::string& text) {
  (void)kind;
  if (sinks_.log) sinks_.log(Line::Box, caption + ": " + text);
}

void HeadlessPort::linkEvent(const LinkEvent& event) {
  if (sinks_.event) sinks_.event(event);
}

void HeadlessPort::timedOut() {
  // What the window's timer does when it fires; the link then ends its operation as NoAnswer.
  stopBusy();
  if (sinks_.log) sinks_.log(Line::Info, "No Answer of Velmora");
  std::lock_guard<std::mutex> lock(linkMutex_);
  if (link_ != nullptr) operations::answerTimedOut(*link_);
}
