#include "base/clock.h"

#include <thread>

namespace {

class SteadyTime final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::milliseconds pause) const override { std::this_thread::sleep_for(pause); }
  bool wait_until(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, TimePoint deadline,
                  const std::function<bool()>& done) const override {
    return wake.wait_until(lock, deadline, done);
  }
};

}  // namespace

const Clock& steady_time() {
  static const SteadyTime clock;
  return clock;
}
