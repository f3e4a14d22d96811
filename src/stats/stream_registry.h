#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "stats/stream_stats.h"

// The streams that run now, for the HTTP handlers. Holds shared pointers to the
// workers' StreamStats and forgets a stream once it has ended.
// Threads: the SRT listener adds streams and counts accepted callers; HTTP handlers
// take snapshots. The lock is held only to copy the list, never across libsrt calls.
class StreamRegistry {
 public:
  void count_accepted();
  uint64_t accepted_total() const;

  void add(std::shared_ptr<StreamStats> stream);
  // One snapshot per running stream, in the order they were added.
  std::vector<StreamSnapshot> snapshot();

 private:
  std::atomic<uint64_t> accepted{0};

  // guarded by mutex
  std::mutex mutex;
  std::vector<std::shared_ptr<StreamStats>> streams;
};
