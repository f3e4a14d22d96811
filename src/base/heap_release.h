#pragma once

// The process heap over months of streams coming and going. Each stream brings a
// librist sender and SRT socket with large blocks of their own; glibc's default
// raises its mmap threshold after such blocks are freed, so later ones land in the
// per-thread arenas and stay resident after the stream has ended.

// Keeps large blocks in their own mappings, returned to the system when freed. main
// calls it once, before any other thread exists.
void tune_heap_for_long_runs();

// Gives the free pages of every arena back to the system. Called after finished
// workers were destroyed (listener thread); not on a per-packet path.
void release_free_heap_memory();
