#include "rist/catch_up_pacer.h"

namespace {

// A backlog shorter than this leaves as it is: a receiver takes that much in one go.
const auto kShortestPacedBacklog = std::chrono::milliseconds(100);
// A stream that grew faster than the pace while catching up would never drain; the
// pacing ends after this many backlog spans at the latest.
const int kLongestCatchUpInSpans = 3;

}  // namespace

CatchUpPacer::CatchUpPacer(size_t backlog_bytes, std::chrono::milliseconds backlog_span, Clock::TimePoint now)
    : pacing(backlog_bytes > 0 && backlog_span >= kShortestPacedBacklog),
      started(now),
      give_up_at(now + kLongestCatchUpInSpans * backlog_span) {
  if (pacing) {
    bytes_per_second = kCatchUpFactor * static_cast<double>(backlog_bytes) /
                       std::chrono::duration<double>(backlog_span).count();
  }
}

Clock::TimePoint::duration CatchUpPacer::wait_before(size_t bytes, Clock::TimePoint now) {
  if (pacing && now >= give_up_at) pacing = false;
  if (!pacing) return Clock::TimePoint::duration::zero();
  auto due = started + std::chrono::duration_cast<Clock::TimePoint::duration>(std::chrono::duration<double>(
                           static_cast<double>(bytes_released) / bytes_per_second));
  bytes_released += bytes;
  return due > now ? due - now : Clock::TimePoint::duration::zero();
}
