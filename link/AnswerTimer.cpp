#include "link/AnswerTimer.h"

#include <utility>

AnswerTimer::AnswerTimer(int intervalMs, std::function<void()> fired)
    : fired_(std::move(fired)), interval_(intervalMs) {}

AnswerTimer::~AnswerTimer() {
  shutdown();
}

void AnswerTimer::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    active_ = false;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void AnswerTimer::armLocked() {
  if (quit_) return;
  active_ = true;
  deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void AnswerTimer::enable(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!on) {
      active_ = false;
    } else if (!active_) {
      armLocked();
    }
  }
  changed_.notify_all();
}

void AnswerTimer::restart() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    armLocked();
  }
  changed_.notify_all();
}

void AnswerTimer::setInterval(int milliseconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (active_) armLocked();
  }
  changed_.notify_all();
}

bool AnswerTimer::active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

int AnswerTimer::interval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

void AnswerTimer::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (!active_) {
      changed_.wait(lock);
      continue;
    }
    if (Clock::now() < deadline_) {
      changed_.wait_until(lock, deadline_);
      continue;
    }
    active_ = false;
    lock.unlock();
    fired_();
    lock.lock();
  }
}
