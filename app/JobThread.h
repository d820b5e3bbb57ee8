// One thread that runs jobs one after another, for jobs that share something only one thread may use
// at a time (a history connection). A pool of one thread with QtConcurrent::run does not keep that
// promise: waiting for the future of a job that has not started yet runs the job on the waiting
// thread, beside the job the pool's thread is running. The futures given here have no job attached,
// so waiting for one only waits.
#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

class JobThread {
 public:
  JobThread() { pool_.setMaxThreadCount(1); }
  // Waits for the jobs given so far.
  ~JobThread() { pool_.waitForDone(); }
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  template <typename Job>
  auto run(Job job) -> QFuture<std::invoke_result_t<Job&>> {
    using Result = std::invoke_result_t<Job&>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    pool_.start([promise, job = std::move(job)]() mutable {
      try {
        if constexpr (std::is_void_v<Result>) {
          job();
        } else {
          promise->addResult(job());
        }
      } catch (...) {
        promise->setException(std::current_exception());
      }
      promise->finish();
    });
    return future;
  }

  void waitForDone() { pool_.waitForDone(); }

 private:
  QThreadPool pool_;
};
