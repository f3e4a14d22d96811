#pragma once

#include <array>
#include <cstddef>

// Why the SRT listener refused a caller. Each reason is one label value of the
// refusal counter and maps to one of SRT's application reject codes, which the caller
// sees as the reason its connection was rejected.
enum class Refusal {
  forbidden,      // the caller's address is not allowed, or its key length is not the one asked for
  not_found,      // the stream id is not in the allowed list
  overload,       // the most streams at once are running
  misconfigured,  // an access setting cannot be applied: every caller it concerns is refused
  latency,        // the agreed latency is above srt_max_latency (known only once connected)
  no_route,       // the stream's route has no destination it could send to
};

inline constexpr std::array<Refusal, 6> kRefusals = {Refusal::forbidden, Refusal::not_found,
                                                     Refusal::overload,  Refusal::misconfigured,
                                                     Refusal::latency,   Refusal::no_route};

// The label value: "forbidden", "not_found", "overload", "misconfigured", "latency" or
// "no_route".
const char* refusal_name(Refusal refusal);

// The SRT_REJX_* code that the caller receives.
int refusal_reject_code(Refusal refusal);

inline size_t refusal_index(Refusal refusal) { return static_cast<size_t>(refusal); }
