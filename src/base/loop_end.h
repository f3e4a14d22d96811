#pragma once

#include <atomic>

// Why a worker's loop ended, for its owner and its tests; the loop also logs it in its
// own words.
enum class LoopEnd {
  caller_closed,  // the accepted caller hung up, failed or had its socket closed
  stopped,        // the worker was told to stop
  output_died,    // the last RIST peer timed out
  send_errors,    // the sixth RIST write in a row failed
  source_closed,  // the talkback source could not be reached, failed or closed
};

// The owner's stop closes the loop's sockets to wake it, so the failure a stopped loop
// sees next is the stop's doing: a loop that was told to stop ended for that.
inline LoopEnd unless_stopped(const std::atomic<bool>& stopped, LoopEnd reason) {
  return stopped.load() ? LoopEnd::stopped : reason;
}
