#include <malloc.h>

#include "base/heap_release.h"

namespace {

// glibc's initial threshold: blocks from 128 KiB up get a mapping of their own.
const int kMmapThreshold = 128 * 1024;

}  // namespace

void tune_heap_for_long_runs() {
  // A fixed threshold also turns off glibc's dynamic raising of it.
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
}

void release_free_heap_memory() { malloc_trim(0); }
