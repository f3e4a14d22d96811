#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "stats/refusal.h"
#include "stats/stream_stats.h"

// The streams that run now, for the HTTP handlers. Holds shared pointers to the
// workers' StreamStats and forgets a stream once it has ended; counts the callers
// accepted and refused since the start.
// Threads: the SRT listener adds streams and counts accepted callers; libsrt's receiver
// thread and the listener count refusals; HTTP handlers take snapshots and totals. The
// lock is held only to copy the list, never across libsrt calls.
class StreamRegistry {
 public:
  using RefusalTotals = std::array<uint64_t, kRefusals.size()>;

  void count_accepted();
  uint64_t accepted_total() const;
  void count_refused(Refusal refusal);
  // Indexed by refusal_index.
  RefusalTotals refused_totals() const;

  void add(std::shared_ptr<StreamStats> stream);
  // One snapshot per running stream, in the order they were added.
  std::vector<StreamSnapshot> snapshot();

 private:
  std::atomic<uint64_t> accepted{0};
  std::array<std::atomic<uint64_t>, kRefusals.size()> refused{};

  // guarded by mutex
  std::mutex mutex;
  std::vector<std::shared_ptr<StreamStats>> streams;
};
