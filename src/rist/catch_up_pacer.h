#pragma once

#include <chrono>
#include <cstddef>

#include "base/clock.h"

// Paces the backlog a stream built up while its start was held back for its RIST
// peers. Sent all at once, a few seconds of a stream leave in a few milliseconds,
// overflow the receiver's socket buffer and lose more than its recovery fetches again
// in time; paced, the backlog goes out at kCatchUpFactor times the stream's own rate
// until the loop has caught up with the caller. Used by the forwarding loop's thread only.
class CatchUpPacer {
 public:
  static constexpr double kCatchUpFactor = 2.0;

  // No pacing at all.
  CatchUpPacer() = default;
  // `backlog_bytes` wait in SRT's receive buffer and span `backlog_span` of the stream.
  CatchUpPacer(size_t backlog_bytes, std::chrono::milliseconds backlog_span, Clock::TimePoint now);

  // How long to wait before `bytes` more go out at `now`; zero once caught up.
  Clock::TimePoint::duration wait_before(size_t bytes, Clock::TimePoint now);
  // The caller's buffer ran empty: the stream is live again and goes unpaced.
  void caught_up() { pacing = false; }
  bool active() const { return pacing; }

 private:
  bool pacing = false;
  double bytes_per_second = 0;
  size_t bytes_released = 0;
  Clock::TimePoint started{};
  Clock::TimePoint give_up_at{};
};
