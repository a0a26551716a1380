#pragma once

// An unbounded first-in first-out channel with any number of senders and one receiver.
// The receiver learns when the last sender is gone, so a loop waiting on a producer thread
// notices that thread's end instead of waiting forever.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace telmir::platform {

enum class ReceiveStatus {
  kReceived,      // a value was taken
  kTimedOut,      // the deadline passed with nothing queued
  kDisconnected,  // nothing queued and no sender is left
};

template <class T>
struct Received {
  ReceiveStatus status = ReceiveStatus::kTimedOut;
  std::optional<T> value;
};

namespace channel_detail {

template <class T>
struct State {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> queue;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace channel_detail

template <class T>
class Sender;
template <class T>
class Receiver;
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel();

template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) { attach(); }
  Sender& operator=(const Sender& other) {
    if (this != &other) {
      detach();
      state_ = other.state_;
      attach();
    }
    return *this;
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      detach();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { detach(); }

  // False when the receiver is gone; the value is then dropped.
  bool send(T value) {
    if (!state_) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(value));
    }
    state_->ready.notify_one();
    return true;
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {
    attach();
  }
  void attach() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  void detach() {
    if (!state_) return;
    bool last = false;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();
    state_.reset();
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
class Receiver {
 public:
  using Clock = std::chrono::steady_clock;

  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) noexcept = default;
  ~Receiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }

  // Waits until a value is queued, every sender is gone, or `deadline` passes; without a
  // deadline it waits for one of the first two. Queued values are handed out before a
  // disconnection is reported.
  Received<T> receive_until(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(state_->mutex);
    auto settled = [&] { return !state_->queue.empty() || state_->senders == 0; };
    if (deadline) {
      if (!state_->ready.wait_until(lock, *deadline, settled))
        return {ReceiveStatus::kTimedOut, {}};
    } else {
      state_->ready.wait(lock, settled);
    }
    if (state_->queue.empty()) return {ReceiveStatus::kDisconnected, {}};
    Received<T> out{ReceiveStatus::kReceived, std::move(state_->queue.front())};
    state_->queue.pop_front();
    return out;
  }

  // Removes every value queued right now; returns how many were dropped.
  std::size_t drop_pending() {
    std::lock_guard lock(state_->mutex);
    std::size_t n = state_->queue.size();
    state_->queue.clear();
    return n;
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<channel_detail::State<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace telmir::platform
