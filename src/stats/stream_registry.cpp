#include "stats/stream_registry.h"

#include <utility>

void StreamRegistry::count_accepted() { accepted.fetch_add(1, std::memory_order_relaxed); }

uint64_t StreamRegistry::accepted_total() const { return accepted.load(std::memory_order_relaxed); }

void StreamRegistry::count_refused(Refusal refusal) {
  refused[refusal_index(refusal)].fetch_add(1, std::memory_order_relaxed);
}

StreamRegistry::RefusalTotals StreamRegistry::refused_totals() const {
  RefusalTotals totals{};
  for (size_t index = 0; index < totals.size(); ++index)
    totals[index] = refused[index].load(std::memory_order_relaxed);
  return totals;
}

// Ended streams go here too, so that the list stays as long as the running streams
// when nobody reads the snapshots.
void StreamRegistry::add(std::shared_ptr<StreamStats> stream) {
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(streams, [](const auto& known) { return known->ended(); });
  streams.push_back(std::move(stream));
}

std::vector<StreamSnapshot> StreamRegistry::snapshot() {
  std::vector<std::shared_ptr<StreamStats>> running;
  {
    std::lock_guard<std::mutex> lock(mutex);
    std::erase_if(streams, [](const auto& stream) { return stream->ended(); });
    running = streams;
  }
  std::vector<StreamSnapshot> snapshots;
  for (const auto& stream : running) {
    if (!stream->ended()) snapshots.push_back(stream->snapshot());
  }
  return snapshots;
}
