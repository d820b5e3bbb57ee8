// One ordered queue of window effects, filled from any thread and carried out on the GUI thread.
//
// post() never blocks (a worker may waitForRoom() first). ask() blocks a worker until the GUI thread has run
// the request and answered; on the GUI thread it runs the request at once, after everything queued before it.
// The GUI thread never waits for a worker. Once closed (the window is going away), queued effects are dropped
// and every ask() returns its fallback at once, so no worker stays blocked on a window that is gone.
#pragma once

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

class GuiQueue : public QObject {
  Q_OBJECT
 public:
  explicit GuiQueue(QObject* parent = nullptr);
  ~GuiQueue() override;

  // Called after each drain and before a request that shows a window: the owner flushes text it
  // gathered during the drain (a batch of log lines) in one go.
  void setFlush(std::function<void()> flush) { flush_ = std::move(flush); }

  bool onGuiThread() const;
  void post(std::function<void()> effect);

  template <typename T>
  T ask(std::function<T()> request, T fallback) {
    if (onGuiThread()) {
      drain();
      if (flush_) flush_();
      return request();
    }
    auto answer = std::make_shared<std::promise<T>>();
    std::future<T> result = answer->get_future();
    bool queued = enqueue([this, answer, request]() {
      if (flush_) flush_();
      answer->set_value(request());
    });
    // Only the queued request may own the promise: dropping it unanswered must break the promise.
    answer.reset();
    if (!queued) return fallback;
    try {
      return result.get();
    } catch (const std::future_error&) {
      return fallback;  // dropped unanswered when the queue was closed
    }
  }

  // Runs the effects queued so far, in order. Re-entrant: a nested drain (from a dialog's event loop
  // or a request on the GUI thread) takes over where the outer one stands, so order is kept.
  void drain();
  // At most this many effects run in one turn of the event loop; the rest follow in the next turns,
  // after painting and input. A download's 16384 log lines then reach the window in slices of a few
  // milliseconds instead of holding the event loop for one long batch.
  static constexpr size_t kEffectsPerTurn = 1000;
  // Drops what is queued and refuses further effects.
  void close();
  size_t pending() const;
  // Holds a worker while more than `limit` effects wait for the GUI thread, for at most `patience`:
  // a source that outruns the window (a logger flooding its debug pipe) then goes at the window's
  // pace instead of filling the memory. Returns at once on the GUI thread and once closed.
  void waitForRoom(size_t limit, std::chrono::milliseconds patience);

 private:
  bool enqueue(std::function<void()> effect);
  // The event loop's drain: at most kEffectsPerTurn effects.
  void drainTurn();
  void run(size_t limit);

  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::deque<std::function<void()>> queue_;
  bool wakePending_ = false;
  bool closed_ = false;
  std::function<void()> flush_;
};
