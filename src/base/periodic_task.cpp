#include "base/periodic_task.h"

PeriodicTask::PeriodicTask(std::chrono::milliseconds interval, const Clock& time)
    : period(interval), clock(time) {}

PeriodicTask::~PeriodicTask() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop_requested = true;
  }
  wake.notify_all();
  if (thread.joinable()) thread.join();
}

void PeriodicTask::start(std::function<void()> task) {
  thread = std::thread([this, task = std::move(task)] { run(task); });
}

void PeriodicTask::run(const std::function<void()>& task) {
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    Clock::TimePoint deadline = clock.now() + period;
    if (clock.wait_until(wake, lock, deadline, [this] { return stop_requested; })) return;
    lock.unlock();
    task();
    lock.lock();
  }
}
