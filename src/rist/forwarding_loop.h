#pragma once

#include <srt/srt.h>

#include <atomic>
#include <string>

#include "base/clock.h"
#include "base/loop_end.h"
#include "rist/adaptive_ring.h"
#include "rist/endpoint_set.h"
#include "rist/rist_output.h"
#include "stats/stream_stats.h"

// What the forwarding loop works with, lent by its RistWorker for the loop's run.
struct ForwardingContext {
  const EndpointSet& route;
  const std::string& stream_id;
  const std::atomic<SRTSOCKET>& caller;  // the accepted socket; 0 once the worker closed it
  const std::atomic<bool>& stopped;      // set when the worker is stopped
  AdaptiveRing& ring;
  RistOutput& output;
  StreamStats& stats;
  const Clock& clock;  // times the hold while the peers connect
};

// The forwarding worker's loop, on its own thread: brings up the RIST output and moves
// the SRT payload to it in 1316-byte units until the SRT side closes or fails, the
// worker is stopped, the output dies or the sixth RIST write in a row fails; gives which.
LoopEnd process_data_send(const ForwardingContext& context);
