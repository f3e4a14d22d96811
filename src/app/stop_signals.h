#pragma once

#include <functional>
#include <thread>

// Blocks SIGINT and SIGTERM in the calling thread. main calls it before any other
// thread exists, so that every thread inherits the mask and the signals reach only
// StopSignalWatcher's sigwait.
void block_stop_signals();

// Waits for SIGINT or SIGTERM on a thread of its own and then calls `on_stop` there
// (never inside a signal handler). The destructor wakes and joins that thread.
class StopSignalWatcher {
 public:
  StopSignalWatcher() = default;
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

  void start(std::function<void()> on_stop);

 private:
  std::thread thread;
};
