#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "stats/refusal.h"

// The access settings as the configuration holds them; an empty text is a key not set.
struct AccessConfig {
  std::string srt_passphrase;
  std::string srt_pbkeylen;
  std::string allowed_streams;
  std::string allow_from;
  std::string max_streams;
};

// What the listener knows of a caller when it decides.
struct CallerRequest {
  std::string stream_id;         // the name the stream gets: trimmed, "default" when none was sent
  std::optional<uint32_t> ipv4;  // the caller's address in host byte order; none when not IPv4
  size_t open_streams = 0;       // streams that run or wait to be accepted
};

// The outcome for one caller. Only `stream_passphrase` holds a secret.
struct AccessDecision {
  std::optional<Refusal> refusal;  // none: the caller may connect
  std::string reason;              // why it was refused, for the log
  std::string stream_passphrase;   // the allowed_streams entry's own passphrase; empty: none
  int key_length = 0;              // bytes of key the encrypted connection must agree; 0: any
};

// Decides whether a caller may connect, from the settings of this moment alone. The
// checks, in order: allow_from, faults of the settings themselves, allowed_streams,
// max_streams. Pure: no I/O, any thread.
AccessDecision decide_access(const AccessConfig& config, const CallerRequest& caller);

// The resource name `r` of a stream id in SRT's access-control form "#!::r=NAME,...";
// none for any other id, and when `r` is missing, empty or given twice.
std::optional<std::string> access_control_resource(const std::string& stream_id);

// The name allowed_streams matches a stream by (`stream_id` as CallerRequest holds it):
// the resource of the access-control form, the whole id for any other.
std::string access_name(const std::string& stream_id);

// True when the stream asks for talkback instead of forwarding: its access_name holds
// "talkback" or "feedbackplay". The listener decides by the very name that admission
// matched, so other fields of an access-control id ("#!::r=cam1,u=talkback") change
// nothing.
bool is_talkback_stream(const std::string& stream_id);
