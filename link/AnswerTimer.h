// A single-shot timer with a thread of its own, for the answer time-outs of a caller that has no event
// loop and for the link's own waits. It behaves as the window's timer: enabling a running timer keeps
// its deadline, a new interval restarts a running timer. The handler runs on the timer's thread with
// no lock of the timer held, so it may call the timer again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class AnswerTimer {
 public:
  AnswerTimer(int intervalMs, std::function<void()> fired);
  // Waits for a handler under way; a pending deadline is dropped.
  ~AnswerTimer();
  // The same, ahead of the destructor: the timer fires no more and cannot be armed again. A handler
  // under way may still call the timer.
  void shutdown();
  AnswerTimer(const AnswerTimer&) = delete;
  AnswerTimer& operator=(const AnswerTimer&) = delete;

  // On: armed for the interval unless it runs already. Off: disarmed.
  void enable(bool on);
  // Armed for the interval from now, running or not.
  void restart();
  void setInterval(int milliseconds);
  bool active() const;
  int interval() const;

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  void armLocked();

  std::function<void()> fired_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;  // started with the first deadline
  bool quit_ = false;
  bool active_ = false;
  int interval_;
  Clock::time_point deadline_;
};
