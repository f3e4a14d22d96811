// The pace at which a stream's held-back start leaves once its peers are up.
#include "rist/catch_up_pacer.h"

#include <gtest/gtest.h>

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(CatchUpPacer, ABacklogLeavesAtTwiceTheStreamsRateUntilCaughtUpOrOverdue) {
  Clock::TimePoint start{};
  CatchUpPacer pacer(1'000'000, seconds(1), start);  // a 1 MB/s stream held for 1 s
  EXPECT_EQ(pacer.wait_before(500'000, start), milliseconds(0));
  EXPECT_EQ(pacer.wait_before(500'000, start), milliseconds(250));
  EXPECT_EQ(pacer.wait_before(500'000, start + milliseconds(100)), milliseconds(400));
  pacer.caught_up();
  EXPECT_EQ(pacer.wait_before(500'000, start), milliseconds(0));

  CatchUpPacer overdue(1'000'000, seconds(1), start);
  overdue.wait_before(100'000'000, start);
  EXPECT_GT(overdue.wait_before(1, start + milliseconds(2999)), seconds(40));
  EXPECT_EQ(overdue.wait_before(1, start + seconds(3)), milliseconds(0));
  EXPECT_FALSE(CatchUpPacer(0, seconds(2), start).active());
  EXPECT_FALSE(CatchUpPacer(50'000, milliseconds(99), start).active()) << "too short to pace";
}
