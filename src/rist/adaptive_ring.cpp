#include "rist/adaptive_ring.h"

#include <algorithm>
#include <cstring>

#include "base/log_line.h"

namespace {

size_t round_up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace

AdaptiveRing::AdaptiveRing(size_t unit_size, size_t capacity)
    : unit(unit_size), storage(round_up(std::max(capacity, unit_size), unit_size), 0) {}

void AdaptiveRing::append(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex);
  size_t capacity = storage.size();
  if (write_pos + length <= capacity) {
    std::memcpy(storage.data() + write_pos, data, length);
    write_pos += length;
  } else {
    size_t tail = capacity - write_pos;
    size_t remainder = length - tail;
    if (remainder > capacity) {
      grow(data, length);
      return;
    }
    std::memcpy(storage.data() + write_pos, data, tail);
    std::memcpy(storage.data(), data + tail, remainder);
    write_pos = remainder;
  }
  fill += length;
  if (fill > capacity) {
    LogLine() << "audio ring overflow " << fill - capacity << "  " << length;
    discard();
  }
}

// Moves the unread bytes to the front of a larger storage and appends after them. The
// new capacity is the next whole multiple of the unit that holds twice the append,
// which is always enough for what was buffered as well: an append grows the ring only
// when it is longer than the old capacity, so it is longer than the old fill too.
void AdaptiveRing::grow(const uint8_t* data, size_t length) {
  LogLine() << "-- CRITICAL SIZE NEED REALLOC";
  size_t old_capacity = storage.size();
  std::vector<uint8_t> grown(round_up(2 * length, unit));
  size_t first = std::min(fill, old_capacity - read_pos);
  std::memcpy(grown.data(), storage.data() + read_pos, first);
  std::memcpy(grown.data() + first, storage.data(), fill - first);
  std::memcpy(grown.data() + fill, data, length);
  storage = std::move(grown);
  read_pos = 0;
  fill += length;
  write_pos = fill;
}

const uint8_t* AdaptiveRing::take_unit() {
  std::lock_guard<std::mutex> lock(mutex);
  if (fill < unit) return nullptr;
  fill -= unit;
  const uint8_t* start = storage.data() + read_pos;
  read_pos = (read_pos + unit) % storage.size();
  return start;
}

void AdaptiveRing::reset() {
  std::lock_guard<std::mutex> lock(mutex);
  discard();
}

void AdaptiveRing::discard() {
  read_pos = 0;
  write_pos = 0;
  fill = 0;
}

size_t AdaptiveRing::buffered() const {
  std::lock_guard<std::mutex> lock(mutex);
  return fill;
}

size_t AdaptiveRing::capacity() const {
  std::lock_guard<std::mutex> lock(mutex);
  return storage.size();
}
