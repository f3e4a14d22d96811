#include "app/interface_monitor.h"

InterfaceMonitor::InterfaceMonitor(std::chrono::milliseconds period) : period(period) {}

InterfaceMonitor::~InterfaceMonitor() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop_requested = true;
  }
  wake.notify_all();
  if (thread.joinable()) thread.join();
}

void InterfaceMonitor::start(std::function<void()> refresh) {
  thread = std::thread([this, refresh = std::move(refresh)] { run(refresh); });
}

void InterfaceMonitor::run(const std::function<void()>& refresh) {
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    auto deadline = std::chrono::steady_clock::now() + period;
    if (wake.wait_until(lock, deadline, [this] { return stop_requested; })) return;
    lock.unlock();
    refresh();
    lock.lock();
  }
}
