#include "base/periodic_task.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace {

using namespace std::chrono_literals;

// Periods of a clock that the test moves on, so that 30 s take no 30 s: the task runs
// when a period has passed and not a millisecond before, and the destructor ends the
// wait without running it.
TEST(PeriodicTask, RunsOncePerPeriodUntilDestroyed) {
  FakeClock clock;
  std::atomic<int> runs{0};
  auto until_the_wait_reads_the_clock_again = [&] {
    int reads = clock.reads;
    EXPECT_TRUE(wait_until([&] { return clock.reads > reads + 1; }));
  };
  {
    PeriodicTask task(30s, clock);
    task.start([&] { ++runs; });
    for (int period = 1; period <= 2; ++period) {
      until_the_wait_reads_the_clock_again();
      clock.advance(30s - 1ms);
      until_the_wait_reads_the_clock_again();
      EXPECT_EQ(runs, period - 1);
      clock.advance(1ms);
      EXPECT_TRUE(wait_until([&] { return runs == period; }));
    }
  }
  EXPECT_EQ(runs, 2);
}

}  // namespace
