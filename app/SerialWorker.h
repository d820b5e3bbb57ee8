// One worker thread that runs jobs one after another, in the order they were given: the history's
// imports, which must not hold the GUI thread and must not overtake each other.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialWorker {
 public:
  SerialWorker() = default;
  // Runs the jobs still waiting, then ends the thread.
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // The thread starts with the first job.
  void post(std::function<void()> job);
  // Returns once every job given so far has run.
  void finish();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};
