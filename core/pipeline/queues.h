// The queues between the pipeline's threads: a bounded queue that senders
// and receivers can close from their side, used for jobs and for tokens, and
// an unbounded one that closes when its last sender leaves, used for results.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace quarn::pipeline {

template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

  // Waits while full. False when the receivers have gone.
  bool push(T value) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return receivers_gone_ || items_.size() < capacity_; });
    if (receivers_gone_) return false;
    items_.push_back(std::move(value));
    not_empty_.notify_one();
    return true;
  }

  // Waits while empty. Nothing once the senders have gone and the queue is drained.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return senders_gone_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    not_full_.notify_one();
    return value;
  }

  void close_sending() {
    std::lock_guard lock(mutex_);
    senders_gone_ = true;
    not_empty_.notify_all();
  }

  void close_receiving() {
    std::lock_guard lock(mutex_);
    receivers_gone_ = true;
    items_.clear();
    not_full_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  std::deque<T> items_;
  std::size_t capacity_;
  bool senders_gone_ = false;
  bool receivers_gone_ = false;
};

template <class T>
class ResultQueue {
 public:
  explicit ResultQueue(std::size_t senders) : senders_(senders) {}

  void push(T value) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(value));
    not_empty_.notify_one();
  }

  // One sender is done; the queue closes when the last one is.
  void sender_done() {
    std::lock_guard lock(mutex_);
    if (--senders_ == 0) not_empty_.notify_all();
  }

  // Nothing once every sender is done and the queue is drained.
  std::optional<T> pop() {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return senders_ == 0 || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::deque<T> items_;
  std::size_t senders_;
};

}  // namespace quarn::pipeline
