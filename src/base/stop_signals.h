#pragma once

#include <atomic>
#include <functional>
#include <thread>

// Routes the requests to stop the process to StopSignalWatcher. main calls it before
// any other thread exists. On Linux it blocks SIGHUP, SIGINT and SIGTERM, and SIGUSR1
// and SIGUSR2, so that every thread inherits the mask and the signals reach only the
// watcher's sigwait; on Windows it installs a console control handler for Ctrl+C,
// Ctrl+Break, closing the console and system shutdown.
void capture_stop_signals();

// Waits for a stop request on a thread of its own and then calls `on_stop` there
// (never inside a signal or console handler); on Linux SIGUSR1 and SIGUSR2 are taken
// and dropped. The destructor wakes and joins that thread; on Linux it first sets
// `ending`, which tells its wake-up signal from the same signal sent from outside.
class StopSignalWatcher {
 public:
  StopSignalWatcher() = default;
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

  void start(std::function<void()> on_stop);

 private:
  std::atomic<bool> ending{false};
  std::thread thread;
};
