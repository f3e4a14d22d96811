#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs `refresh` every period on a thread of its own until destroyed. Owns that
// thread; `start` and the destructor run on the owner's thread, and the destructor
// wakes the sleep and joins, so `refresh` never runs after it returns.
class InterfaceMonitor {
 public:
  explicit InterfaceMonitor(std::chrono::milliseconds period = std::chrono::seconds(30));
  ~InterfaceMonitor();
  InterfaceMonitor(const InterfaceMonitor&) = delete;
  InterfaceMonitor& operator=(const InterfaceMonitor&) = delete;

  void start(std::function<void()> refresh);

 private:
  void run(const std::function<void()>& refresh);

  // set at construction
  const std::chrono::milliseconds period;

  // guarded by mutex
  std::mutex mutex;
  std::condition_variable wake;
  bool stop_requested = false;

  std::thread thread;
};
