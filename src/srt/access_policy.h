#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "config/access_settings.h"
#include "config/routes.h"
#include "stats/refusal.h"

// What the listener knows of a caller when it decides.
struct CallerRequest {
  std::string stream_id;             // the name the stream gets: trimmed, "default" when none was sent
  std::optional<IpAddress> address;  // as the socket reports it; none when not IP
  size_t open_streams = 0;           // streams that run or wait to be accepted
};

// The outcome for one caller. Only `stream_passphrase` holds a secret.
struct AccessDecision {
  std::optional<Refusal> refusal;  // none: the caller may connect
  std::string reason;              // why it was refused, for the log
  std::string stream_passphrase;   // the allowed_streams entry's own passphrase; empty: none
  int key_length = 0;              // bytes of key the encrypted connection must agree; 0: any
};

// Decides whether a caller may connect, from the settings of this moment alone. The
// checks, in order: settings that cannot be applied, allow_from (an IPv4 caller that a
// dual-stack socket reports as ::ffff:a.b.c.d is matched as a.b.c.d), allowed_streams (an
// entry whose passphrase cannot be applied refuses its callers), max_streams. Pure:
// no I/O, any thread.
AccessDecision decide_access(const AccessSettings& access, const CallerRequest& caller);

// The resource name `r` of a stream id in SRT's access-control form "#!::r=NAME,...";
// none for any other id, and when `r` is missing, empty or given twice.
std::optional<std::string> access_control_resource(const std::string& stream_id);

// The name allowed_streams matches a stream by (`stream_id` as CallerRequest holds it):
// the resource of the access-control form, the whole id for any other.
std::string access_name(const std::string& stream_id);

// The route of a stream (`stream_id` as CallerRequest holds it), found by its
// access_name without regard to letter case; nullptr when it goes to rist_endpoint.
const Route* find_stream_route(const RouteTable& routes, const std::string& stream_id);

// True when the stream asks for talkback instead of forwarding: its access_name holds
// "talkback" or "feedbackplay". The listener decides by the very name that admission
// matched, so other fields of an access-control id ("#!::r=cam1,u=talkback") change
// nothing.
bool is_talkback_stream(const std::string& stream_id);
