#pragma once

#include <srt/srt.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/socket_headers.h"
#include "stats/refusal.h"

class IGlobalState;
class StreamRegistry;
struct Settings;

// Who may send: decides in libsrt's listen callback, before the handshake completes,
// whether a caller may connect (decide_access with a snapshot of the settings, then
// whether its route has a destination),
// sets the passphrase its connection must use, and refuses the others with an SRT
// reject reason, one log line and a count in the registry. Keeps the sockets it
// admitted until they close: they are the streams that max_streams counts.
// Threads: on_caller runs on libsrt's receiver thread, the confirm_ checks on the
// accept loop's thread; both touch `admitted` under `mutex`. Installed on the listening
// socket, it must outlive that socket; `state` must outlive it.
class CallerAdmission {
 public:
  CallerAdmission(IGlobalState& application, StreamRegistry& stream_registry);
  CallerAdmission(const CallerAdmission&) = delete;
  CallerAdmission& operator=(const CallerAdmission&) = delete;

  // Before srt_listen: installs the callback and offers callers the configured key
  // length. False (logged) when libsrt takes no callback.
  bool install(SRTSOCKET listener);
  // After accept. libsrt lets the listener's key length win only when it was set before
  // listening, so after a change over HTTP a caller may have agreed another one: false
  // (logged and counted as forbidden) when the key is not the length asked of it; the
  // caller must then be closed.
  bool confirm_key_length(SRTSOCKET accepted, const std::string& caller, const std::string& stream_id);
  // After accept. SRT agrees the larger of both sides' latencies, and the receive
  // buffer holds that long a stretch of the stream: false (logged and counted as
  // latency) when the agreed one is above the settings' srt_max_latency; the caller
  // must then be closed.
  bool confirm_latency(SRTSOCKET accepted, const std::string& caller, const std::string& stream_id,
                       const Settings& settings);

 private:
  static int on_caller(void* self, SRTSOCKET socket, int hs_version, const sockaddr* peer,
                       const char* stream_id);
  int admit(SRTSOCKET socket, const sockaddr* peer, const std::string& stream_id);
  int refuse(SRTSOCKET socket, Refusal refusal, const std::string& reason, const std::string& caller,
             const std::string& stream_id);
  void log_and_count(Refusal refusal, const std::string& reason, const std::string& caller,
                     const std::string& stream_id);
  // Forgets the admitted sockets that have closed; gives the number still open.
  size_t open_streams();

  // set at construction
  IGlobalState& state;
  StreamRegistry& registry;

  // guarded by mutex
  std::mutex mutex;
  std::unordered_map<SRTSOCKET, int> admitted;  // socket → key length it must agree, 0: any
};

// The name a caller's stream gets from the stream id it announced: trimmed of blanks
// and line ends, "default" when nothing is left.
std::string stream_name(const std::string& announced);
