#pragma once

#include <srt/srt.h>

#include <atomic>
#include <string>

#include "base/loop_end.h"
#include "rist/endpoint_set.h"
#include "stats/stream_stats.h"

// What the talkback loop works with, lent by its RistWorker for the loop's run.
struct TalkbackContext {
  const EndpointSet& route;  // tb_endpoint and the networks to bind to
  const std::string& stream_id;
  const std::atomic<SRTSOCKET>& caller;  // the accepted socket; 0 once the worker closed it
  // The loop hands its outgoing socket over here, so that the worker's stop() from
  // another thread can close it; whoever exchanges it for 0 closes it.
  std::atomic<SRTSOCKET>& talkback_socket;
  const std::atomic<bool>& stopped;  // set when the worker is stopped
  StreamStats& stats;
};

// The talkback worker's loop, on its own thread: connects as an SRT caller to the
// route's tb_endpoint and relays what arrives (messages of any size up to 1456 bytes)
// in 1316-byte units to the accepted socket until either side fails or closes or the
// worker is stopped; gives which.
LoopEnd process_talkback_srt2srt(const TalkbackContext& context);
