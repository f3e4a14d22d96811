#include "base/periodic_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(PeriodicTask, RunsTheTaskOncePerPeriod) {
  std::atomic<int> runs{0};
  {
    PeriodicTask task(milliseconds(10));
    task.start([&runs] { ++runs; });
    auto deadline = steady_clock::now() + std::chrono::seconds(5);
    while (runs < 3 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_GE(runs, 3);
}

// A period of an hour: the test returns at once only if the destructor wakes the wait.
TEST(PeriodicTask, DestructorEndsTheWaitWithoutRunningTheTask) {
  std::atomic<int> runs{0};
  {
    PeriodicTask task(std::chrono::hours(1));
    task.start([&runs] { ++runs; });
    PeriodicTask never_started(milliseconds(1));
  }
  EXPECT_EQ(runs, 0);
}

}  // namespace
