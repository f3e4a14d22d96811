#include <windows.h>

#include "base/heap_release.h"

// The Windows heap gives large blocks their own virtual allocation already.
void tune_heap_for_long_runs() {}

void release_free_heap_memory() { HeapCompact(GetProcessHeap(), 0); }
