#pragma once

#include <functional>
#include <thread>

// Routes the requests to stop the process to StopSignalWatcher. main calls it before
// any other thread exists. On Linux it blocks SIGINT and SIGTERM, so that every thread
// inherits the mask and the signals reach only the watcher's sigwait; on Windows it
// installs a console control handler for Ctrl+C, Ctrl+Break, closing the console and
// system shutdown.
void capture_stop_signals();

// Waits for a stop request on a thread of its own and then calls `on_stop` there
// (never inside a signal or console handler). The destructor wakes and joins that
// thread.
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
