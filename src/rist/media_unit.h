#pragma once

#include <cstddef>

// The size of every ring unit, RIST write and talkback send.
constexpr size_t kMediaUnit = 1316;
// The largest message an SRT live-mode peer can send (SRTO_PAYLOADSIZE at most 1456):
// every SRT receive takes this much, and the rings cut what arrives into units.
constexpr size_t kMaxSrtPayload = 1456;
