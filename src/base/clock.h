#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// The time that the gateway's timed waits read, and the waits themselves. Abstract so
// tests can move time on themselves instead of sitting through seconds; steady_time()
// is the real one. Implementations keep no state that a wait changes: any thread.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  virtual void sleep_for(std::chrono::milliseconds pause) const = 0;
  // With `lock` held on the mutex `wake` is used with: waits until `deadline`, or until
  // `done()` holds when `wake` is notified; gives done().
  virtual bool wait_until(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                          TimePoint deadline, const std::function<bool()>& done) const = 0;
};

// std::chrono::steady_clock and the standard library's waits.
const Clock& steady_time();
