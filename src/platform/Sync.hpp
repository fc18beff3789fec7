#pragma once
// Re-entrant locks and the auto-reset wake-up event. Both are built on the standard library,
// which maps them to the native primitives on either system.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace qm {

using RecursiveLock = std::recursive_mutex;
using LockGuard = std::lock_guard<std::recursive_mutex>;

// An auto-reset event: Set wakes one waiter (or the next one to wait); a wait consumes the signal.
// Several Sets before a wait give one wake-up, as with a Win32 auto-reset event.
class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> g(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  void Reset() {
    std::lock_guard<std::mutex> g(mutex_);
    signalled_ = false;
  }
  void Wait() {
    std::unique_lock<std::mutex> g(mutex_);
    cv_.wait(g, [this] { return signalled_; });
    signalled_ = false;
  }
  // True when signalled within the time, false on time-out.
  bool WaitFor(uint32_t milliseconds) {
    std::unique_lock<std::mutex> g(mutex_);
    if (!cv_.wait_for(g, std::chrono::milliseconds(milliseconds), [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// A value that several threads read and replace as a whole (names, switches set at start-up).
template <class T>
class Guarded {
 public:
  explicit Guarded(T value = T{}) : value_(std::move(value)) {}
  T Get() const {
    std::lock_guard<std::mutex> g(mutex_);
    return value_;
  }
  void Set(T value) {
    std::lock_guard<std::mutex> g(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

}  // namespace qm
