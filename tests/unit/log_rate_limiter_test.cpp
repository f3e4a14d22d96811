// The limiter that keeps librist's lines about junk datagrams from flooding the log,
// on a clock the test moves.
#include "base/log_rate_limiter.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::seconds;

struct LimiterOnFakeClock {
  std::chrono::steady_clock::time_point now{};
  LogRateLimiter limiter{5, seconds(10), [this] { return now; }};

  // How many of `count` lines made by `line_of(i)` were let through.
  size_t written(size_t count, const std::function<std::string(size_t)>& line_of) {
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
      LogRateLimiter::Verdict verdict = limiter.admit(line_of(i));
      EXPECT_TRUE(verdict.summaries.empty()) << line_of(i);
      written += verdict.write;
    }
    return written;
  }
};

std::string too_small(size_t bytes) { return "ERROR: Packet too small: " + std::to_string(bytes) + " bytes"; }

TEST(LogRateLimiter, FiveLinesOfAKindPerIntervalThenOneCountWithTheNextLine) {
  LimiterOnFakeClock clock;
  EXPECT_EQ(clock.written(20000, [](size_t i) { return too_small(i % 3); }), 5u);
  EXPECT_EQ(clock.written(1, [](size_t) { return std::string("peer timed out"); }), 1u) << "another kind";
  clock.now += seconds(9);
  EXPECT_EQ(clock.written(3, too_small), 0u);

  clock.now += seconds(1);
  LogRateLimiter::Verdict next = clock.limiter.admit("peer timed out");
  EXPECT_TRUE(next.write);
  ASSERT_EQ(next.summaries.size(), 1u) << "the kind that lost no line has no count";
  EXPECT_EQ(next.summaries[0].left_out, 19998u);
  EXPECT_EQ(next.summaries[0].first_left_out, too_small(2));
  EXPECT_EQ(clock.written(5, too_small), 5u) << "a new interval";
  clock.now += seconds(60);
  EXPECT_TRUE(clock.limiter.admit("x").summaries.empty()) << "nothing was left out";
}

TEST(LogRateLimiter, KindsBeyondTheBoundShareOneCount) {
  LimiterOnFakeClock clock;
  auto kind = [](size_t i) { return std::string(i + 1, 'k'); };
  EXPECT_EQ(clock.written(LogRateLimiter::kMaxKinds, kind), LogRateLimiter::kMaxKinds);
  EXPECT_EQ(clock.written(1000, [&](size_t i) { return kind(LogRateLimiter::kMaxKinds + i); }), 5u);
  clock.now += seconds(10);
  LogRateLimiter::Verdict next = clock.limiter.admit("x");
  ASSERT_EQ(next.summaries.size(), 1u);
  EXPECT_EQ(next.summaries[0].left_out, 995u);
}

}  // namespace
