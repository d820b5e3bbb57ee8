#include "GuiQueue.h"

#include <QThread>
#include <algorithm>
#include <cstdint>

GuiQueue::GuiQueue(QObject* parent) : QObject(parent) {}

GuiQueue::~GuiQueue() {
  close();
}

bool GuiQueue::onGuiThread() const {
  return QThread::currentThread() == thread();
}

void GuiQueue::post(std::function<void()> effect) {
  enqueue(std::move(effect));
}

bool GuiQueue::enqueue(std::function<void()> effect) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  queue_.push_back(std::move(effect));
  if (!wakePending_) {
    wakePending_ = true;
    // Posted under the lock so that close() cannot slip in between and leave a wake-up aimed at a
    // queue that is being destroyed; Qt discards posted events of a deleted receiver.
    QMetaObject::invokeMethod(this, &GuiQueue::drainTurn, Qt::QueuedConnection);
  }
  return true;
}

void GuiQueue::drain() {
  run(SIZE_MAX);
}

void GuiQueue::drainTurn() {
  run(kEffectsPerTurn);
}

void GuiQueue::run(size_t limit) {
  size_t budget;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakePending_ = false;
    budget = std::min(queue_.size(), limit);
  }
  // Only what was queued when the drain began: a worker that keeps posting must not hold the event
  // loop; the rest goes to the next turn.
  for (; budget > 0; --budget) {
    std::function<void()> effect;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      effect = std::move(queue_.front());
      queue_.pop_front();
    }
    effect();
  }
  if (flush_) flush_();
  room_.notify_all();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty() && !wakePending_ && !closed_) {
    wakePending_ = true;
    QMetaObject::invokeMethod(this, &GuiQueue::drainTurn, Qt::QueuedConnection);
  }
}

void GuiQueue::close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }
  room_.notify_all();
  // Destroyed outside the lock: dropping an unanswered request wakes its worker.
}

void GuiQueue::waitForRoom(size_t limit, std::chrono::milliseconds patience) {
  if (onGuiThread()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait_for(lock, patience, [&] { return closed_ || queue_.size() <= limit; });
}

size_t GuiQueue::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}
