#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// Collects byte runs of any length into whole units of a fixed size. Units are handed
// out as addresses inside the ring's own storage, valid until later appends overwrite
// them. The capacity is always a whole multiple of the unit, so a unit never runs past
// the end of the storage. One thread appends and takes; `mutex` keeps `reset` and the
// counters consistent should another thread ever reset the ring.
class AdaptiveRing {
 public:
  // capacity is rounded up to a whole multiple of unit.
  AdaptiveRing(size_t unit_size, size_t capacity);

  // Copies length bytes in. An append too large to fit even after wrapping grows the
  // storage; an append that overtakes unread bytes discards everything buffered.
  void append(const uint8_t* data, size_t length);
  // The next unit, or nullptr when less than one unit is buffered.
  const uint8_t* take_unit();
  // Drops everything buffered.
  void reset();

  size_t buffered() const;
  size_t capacity() const;

 private:
  void grow(const uint8_t* data, size_t length);
  void discard();

  // set at construction
  const size_t unit;

  // guarded by mutex
  mutable std::mutex mutex;
  std::vector<uint8_t> storage;
  size_t read_pos = 0;
  size_t write_pos = 0;  // may equal storage.size(): the next append starts at 0
  size_t fill = 0;
};
