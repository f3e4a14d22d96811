#include "stats/refusal.h"

#include <srt/access_control.h>

const char* refusal_name(Refusal refusal) {
  switch (refusal) {
    case Refusal::forbidden:
      return "forbidden";
    case Refusal::not_found:
      return "not_found";
    case Refusal::overload:
      return "overload";
    case Refusal::misconfigured:
      return "misconfigured";
    case Refusal::latency:
      return "latency";
    case Refusal::no_route:
      return "no_route";
  }
  return "unknown";
}

// A setting the gateway cannot apply is its own fault, not the caller's: "internal
// server error" tells the caller that trying again will not help until it is fixed.
// libsrt tells the agreed latency only after the handshake, so a caller refused for it
// is closed and never sees its code. A stream whose route has nowhere to send is what a
// gateway without a working target answers: "bad gateway".
int refusal_reject_code(Refusal refusal) {
  switch (refusal) {
    case Refusal::forbidden:
      return SRT_REJX_FORBIDDEN;
    case Refusal::not_found:
      return SRT_REJX_NOTFOUND;
    case Refusal::overload:
      return SRT_REJX_OVERLOAD;
    case Refusal::misconfigured:
      return SRT_REJX_ISE;
    case Refusal::latency:
      return SRT_REJX_BAD_REQUEST;
    case Refusal::no_route:
      return SRT_REJX_GW;
  }
  return SRT_REJX_FALLBACK;
}
