#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "base/clock.h"

// Runs `task` every period, as `clock` counts it, on a thread of its own until
// destroyed. Owns that thread; `start` (once) and the destructor run on the owner's
// thread, and the destructor wakes the wait and joins, so `task` never runs after it
// returns.
class PeriodicTask {
 public:
  explicit PeriodicTask(std::chrono::milliseconds interval, const Clock& clock = steady_time());
  ~PeriodicTask();
  PeriodicTask(const PeriodicTask&) = delete;
  PeriodicTask& operator=(const PeriodicTask&) = delete;

  void start(std::function<void()> task);

 private:
  void run(const std::function<void()>& task);

  // set at construction
  const std::chrono::milliseconds period;
  const Clock& clock;

  // guarded by mutex
  std::mutex mutex;
  std::condition_variable wake;
  bool stop_requested = false;

  std::thread thread;
};
