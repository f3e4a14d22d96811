#pragma once

#include <string>
#include <vector>

#include "stats/stream_snapshot.h"

// The "/api/streams" document: {"streams":[...]} with one object per running stream,
// both legs' figures in it. Bytes that are not UTF-8 (a stream id may hold any) come
// out as U+FFFD.
std::string streams_document(const std::vector<StreamSnapshot>& streams);
