#include "talkback/talkback_loop.h"

#include <optional>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "net/srt_caller.h"
#include "rist/adaptive_ring.h"
#include "rist/media_unit.h"

namespace {

const size_t kTalkbackRingUnits = 1000;
// How long one receive waits on a silent talkback source.
const int kReceiveTimeoutMs = 1000;

// The first local address of the source's family, IPv4 or IPv6; empty when none.
std::string first_network_for(const std::vector<std::string>& networks, const std::string& host) {
  bool ipv6 = host.find(':') != std::string::npos;
  for (const std::string& network : networks) {
    if (!network.empty() && (network.find(':') != std::string::npos) == ipv6) return network;
  }
  return "";
}

// The outgoing connection to the talkback source, bound to the first local network of
// its family; nothing, with a log line, when tb_endpoint names none.
std::optional<SrtCallerParams> caller_params(const TalkbackContext& context) {
  if (!context.route.tb_endpoint) {
    LogLine() << "-- NO TALKBACK SOURCE: tb_endpoint names none";
    return std::nullopt;
  }
  const TalkbackEndpoint& source = *context.route.tb_endpoint;
  SrtCallerParams params;
  params.bind_address = first_network_for(context.route.networks, source.host);
  params.host = source.host;
  params.port = source.port;
  params.stream_id = source.stream_id.value_or(context.stream_id);
  params.latency = source.latency;
  params.passphrase = source.passphrase;
  params.pbkeylen = source.pbkeylen;
  LogLine() << "talkback source streamid:" << escape_for_log(params.stream_id);
  return params;
}

// Opens the outgoing connection and hands it over, so that a stop() from another
// thread closes it. A stop that came first is seen right after the hand-over.
bool connect_talkback(const TalkbackContext& context) {
  SRTSOCKET socket = 0;
  std::optional<SrtCallerParams> params = caller_params(context);
  if (!params || !connect_caller(socket, *params)) {
    LogLine() << "FAIL srt connect";
    return false;
  }
  context.talkback_socket = socket;
  set_option(socket, SRTO_RCVTIMEO, "SRTO_RCVTIMEO", &kReceiveTimeoutMs, sizeof kReceiveTimeoutMs);
  return !context.stopped.load();
}

bool send_unit(SRTSOCKET socket, const uint8_t* unit) {
  size_t sent = 0;
  while (sent < kMediaUnit) {
    int result =
        srt_send(socket, reinterpret_cast<const char*>(unit + sent), static_cast<int>(kMediaUnit - sent));
    if (result <= 0) {
      LogLine() << "-- ERR:srt  send " << result;
      return false;
    }
    sent += static_cast<size_t>(result);
  }
  return true;
}

// Sends every whole unit buffered to the caller; false when a send failed.
bool send_units(const TalkbackContext& context, AdaptiveRing& ring, SRTSOCKET caller) {
  while (const uint8_t* unit = ring.take_unit()) {
    if (!send_unit(caller, unit)) return false;
    context.stats.units_written.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

// One pass per message received from the talkback source, of any size up to the live
// maximum; every whole unit buffered then goes to the caller at once, so the source is
// read as fast as it sends (libsrt drops what waits too long in its receive buffer).
// Ends when either side is no longer connected or the worker is stopped; while the
// source is silent the caller is looked at every receive timeout.
LoopEnd relay(const TalkbackContext& context, SRTSOCKET caller, SRTSOCKET source) {
  AdaptiveRing talkback_ring(kMediaUnit, kTalkbackRingUnits * kMediaUnit);
  uint8_t buffer[kMaxSrtPayload];
  while (!context.stopped.load() && srt_getsockstate(caller) == SRTS_CONNECTED) {
    if (srt_getsockstate(source) != SRTS_CONNECTED) return LoopEnd::source_closed;
    int received = srt_recv(source, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (received < 0 && srt_getlasterror(nullptr) == SRT_ETIMEOUT) continue;
    if (received <= 0) {
      LogLine() << "SRT Error: " << srt_getlasterror_str();
      return LoopEnd::source_closed;
    }
    talkback_ring.append(buffer, static_cast<size_t>(received));
    if (!send_units(context, talkback_ring, caller)) return LoopEnd::caller_closed;
  }
  return LoopEnd::caller_closed;
}

}  // namespace

LoopEnd process_talkback_srt2srt(const TalkbackContext& context) {
  LogLine() << "run process_talkback_srt2srt";
  LoopEnd end = connect_talkback(context)
                    ? relay(context, context.caller.load(), context.talkback_socket.load())
                    : LoopEnd::source_closed;
  return unless_stopped(context.stopped, end);
}
