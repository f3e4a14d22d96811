#include "rist/talkback_loop.h"

#include <srt/srt.h>

#include <optional>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "config/secret_mask.h"
#include "config/text_utils.h"
#include "config/url_params.h"
#include "net/srt_caller.h"
#include "rist/adaptive_ring.h"
#include "rist/rist_worker.h"

namespace {

const size_t kTalkbackRingUnits = 1000;
// How long one receive waits on a silent talkback source.
const int kReceiveTimeoutMs = 1000;

// A parameter that is a plain decimal number, else 0 (also when too long for 32 bits).
int numeric_param(const UrlParams& params, const std::string& key) {
  std::string text = get_param(params, key, "0");
  if (!is_number(text)) return 0;
  return parse_int(text).value_or(0);
}

// Opens the outgoing connection and hands it to the worker, whose stop() from another
// thread then closes it. A stop that came first is seen right after the hand-over.
bool connect_talkback(RistWorker* worker) {
  SRTSOCKET socket = 0;
  std::optional<SrtCallerParams> params =
      talkback_caller_params(worker->tb_endpoint, worker->networks, worker->stream_id);
  if (!params || !connect_caller(socket, *params)) {
    LogLine() << "FAIL srt connect";
    return false;
  }
  worker->talkback_socket = socket;
  set_option(socket, SRTO_RCVTIMEO, "SRTO_RCVTIMEO", &kReceiveTimeoutMs, sizeof kReceiveTimeoutMs);
  return !worker->stopped.load();
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
bool send_units(RistWorker* worker, AdaptiveRing& ring, SRTSOCKET caller) {
  while (const uint8_t* unit = ring.take_unit()) {
    if (!send_unit(caller, unit)) return false;
    worker->stats->units_written.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

// One pass per message received from the talkback source, of any size up to the live
// maximum; every whole unit buffered then goes to the caller at once, so the source is
// read as fast as it sends (libsrt drops what waits too long in its receive buffer).
// Ends when either side is no longer connected or the worker is stopped; while the
// source is silent the caller is looked at every receive timeout.
void relay(RistWorker* worker, SRTSOCKET caller, SRTSOCKET source) {
  AdaptiveRing talkback_ring(kMediaUnit, kTalkbackRingUnits * kMediaUnit);
  uint8_t buffer[kMaxSrtPayload];
  while (!worker->stopped.load() && srt_getsockstate(caller) == SRTS_CONNECTED) {
    if (srt_getsockstate(source) != SRTS_CONNECTED) return;
    int received = srt_recv(source, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (received < 0 && srt_getlasterror(nullptr) == SRT_ETIMEOUT) continue;
    if (received <= 0) {
      LogLine() << "SRT Error: " << srt_getlasterror_str();
      worker->ring.reset();
      return;
    }
    talkback_ring.append(buffer, static_cast<size_t>(received));
    if (!send_units(worker, talkback_ring, caller)) return;
  }
}

// Why the talkback URL names no usable endpoint, or empty. A URL without "://" is left
// to the connect, which reports its empty host.
std::string endpoint_problem(const std::string& tb_endpoint, int port) {
  if (tb_endpoint.find("://") == std::string::npos) return "";
  if (is_ipv6_authority(url_authority(tb_endpoint))) return "IPv6 is not supported";
  if (!is_valid_port(port)) return "the port must be a number from 1 to 65535";
  return "";
}

}  // namespace

std::optional<SrtCallerParams> talkback_caller_params(const std::string& tb_endpoint,
                                                      const std::vector<std::string>& networks,
                                                      const std::string& stream_id) {
  SrtCallerParams params;
  UrlParams url_params;
  parse_url(tb_endpoint, params.host, params.port, url_params);
  std::string problem = endpoint_problem(tb_endpoint, params.port);
  if (!problem.empty()) {
    LogLine() << "Invalid talkback endpoint " << escape_for_log(url_authority(tb_endpoint)) << ": "
              << problem;
    return std::nullopt;
  }
  if (!networks.empty()) params.bind_address = networks.front();
  LogLine() << "url params:";
  for (const auto& [key, value] : url_params) {
    LogLine() << "  " << escape_for_log(key) << " " << escape_for_log(mask_secrets(key, value));
  }
  params.stream_id = get_param(url_params, "streamid", stream_id);
  params.latency = numeric_param(url_params, "latency");
  params.passphrase = get_param(url_params, "passphrase", "");
  params.pbkeylen = numeric_param(url_params, "pbkeylen");
  return params;
}

void process_talkback_srt2srt(RistWorker* worker) {
  LogLine() << "run process_talkback_srt2srt";
  if (connect_talkback(worker)) relay(worker, worker->srt_socket.load(), worker->talkback_socket.load());
  worker->stop();
}
