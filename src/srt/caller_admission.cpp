#include "srt/caller_admission.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/text_utils.h"
#include "config/config_store.h"
#include "config/settings.h"
#include "core/global_state.h"
#include "net/peer_address.h"
#include "net/socket_headers.h"
#include "srt/access_policy.h"
#include "stats/stream_registry.h"

namespace {

std::string caller_text(const sockaddr* peer) {
  if (peer == nullptr) return "";
  sockaddr_storage address{};
  if (peer->sa_family == AF_INET) std::memcpy(&address, peer, sizeof(sockaddr_in));
  if (peer->sa_family == AF_INET6) std::memcpy(&address, peer, sizeof(sockaddr_in6));
  return address_text(address);
}

std::optional<IpAddress> caller_address(const sockaddr* peer) {
  if (peer == nullptr) return std::nullopt;
  IpAddress address;
  if (peer->sa_family == AF_INET) {
    std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, 4);
    return address;
  }
  if (peer->sa_family != AF_INET6) return std::nullopt;
  address.family = IpFamily::ipv6;
  std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, 16);
  return address;
}

bool set_passphrase(SRTSOCKET socket, const std::string& passphrase) {
  return srt_setsockflag(socket, SRTO_PASSPHRASE, passphrase.data(), static_cast<int>(passphrase.size())) !=
         SRT_ERROR;
}

}  // namespace

std::string stream_name(const std::string& announced) {
  std::string name = trim(announced);
  return name.empty() ? "default" : name;
}

CallerAdmission::CallerAdmission(IGlobalState& application, StreamRegistry& stream_registry)
    : state(application), registry(stream_registry) {}

bool CallerAdmission::install(SRTSOCKET listener) {
  // on_caller runs on libsrt's receiver thread, once per caller's handshake.
  if (srt_listen_callback(listener, &CallerAdmission::on_caller, this) == SRT_ERROR) {
    LogLine() << "-- CANNOT CHECK CALLERS, NOT LISTENING: srt_listen_callback: " << srt_getlasterror_str();
    return false;
  }
  // A key length set on the listener before it listens is the one every caller adopts.
  int key_length = state.get_config().snapshot()->access.key_length;
  if (key_length != 0 &&
      srt_setsockflag(listener, SRTO_PBKEYLEN, &key_length, sizeof key_length) == SRT_ERROR) {
    LogLine() << "-- failed to set option SRTO_PBKEYLEN on socket:" << srt_getlasterror_str();
  }
  return true;
}

int CallerAdmission::on_caller(void* self, SRTSOCKET socket, int, const sockaddr* peer,
                               const char* stream_id) {
  return static_cast<CallerAdmission*>(self)->admit(socket, peer, stream_id == nullptr ? "" : stream_id);
}

// libsrt calls this for one caller at a time, so the count of open streams cannot move
// between the decision and the record of an admitted socket.
int CallerAdmission::admit(SRTSOCKET socket, const sockaddr* peer, const std::string& stream_id) {
  std::string caller = caller_text(peer);
  // One snapshot for the whole decision: values taken from two configurations could let
  // in a caller that neither of them admits.
  std::shared_ptr<const Settings> settings = state.get_config().snapshot();
  const AccessSettings& access = settings->access;
  CallerRequest request{stream_name(stream_id), caller_address(peer), open_streams()};
  AccessDecision decision = decide_access(access, request);
  if (decision.refusal) return refuse(socket, *decision.refusal, decision.reason, caller, stream_id);
  const Route* route = find_stream_route(settings->routes, request.stream_id);
  if (route != nullptr && route->destinations.empty()) {
    return refuse(socket, Refusal::no_route, "route." + route->name + " has no destination", caller,
                  stream_id);
  }
  // Both passphrases are set, so that one libsrt refuses shuts out every caller.
  if (!access.passphrase.empty() && !set_passphrase(socket, access.passphrase)) {
    return refuse(socket, Refusal::misconfigured,
                  "libsrt refuses srt_passphrase; a passphrase has 10 to 79 characters", caller, stream_id);
  }
  if (!decision.stream_passphrase.empty() && !set_passphrase(socket, decision.stream_passphrase)) {
    return refuse(
        socket, Refusal::misconfigured,
        "libsrt refuses the stream's passphrase in allowed_streams; a passphrase has 10 to 79 characters",
        caller, stream_id);
  }
  std::lock_guard<std::mutex> lock(mutex);
  admitted[socket] = decision.key_length;
  return 0;
}

int CallerAdmission::refuse(SRTSOCKET socket, Refusal refusal, const std::string& reason,
                            const std::string& caller, const std::string& stream_id) {
  srt_setrejectreason(socket, refusal_reject_code(refusal));
  log_and_count(refusal, reason, caller, stream_id);
  return -1;
}

void CallerAdmission::log_and_count(Refusal refusal, const std::string& reason, const std::string& caller,
                                    const std::string& stream_id) {
  registry.count_refused(refusal);
  LogLine() << "-- CALLER REFUSED: " << refusal_name(refusal) << " (" << escape_for_log(reason)
            << ") caller:" << caller << " stream:" << escape_for_log(stream_id);
}

bool CallerAdmission::confirm_key_length(SRTSOCKET accepted, const std::string& caller,
                                         const std::string& stream_id) {
  int asked = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = admitted.find(accepted);
    if (found != admitted.end()) asked = found->second;
  }
  if (asked == 0) return true;
  int agreed = 0;
  int size = sizeof agreed;
  if (srt_getsockflag(accepted, SRTO_PBKEYLEN, &agreed, &size) != SRT_ERROR && agreed == asked) return true;
  log_and_count(Refusal::forbidden,
                "key length " + std::to_string(agreed) + ", srt_pbkeylen asks " + std::to_string(asked),
                caller, stream_id);
  return false;
}

bool CallerAdmission::confirm_latency(SRTSOCKET accepted, const std::string& caller,
                                      const std::string& stream_id, const Settings& settings) {
  int most = settings.srt_max_latency;
  int agreed = 0;
  int size = sizeof agreed;
  if (srt_getsockflag(accepted, SRTO_RCVLATENCY, &agreed, &size) == SRT_ERROR) {
    log_and_count(Refusal::latency, std::string("agreed latency unknown: ") + srt_getlasterror_str(), caller,
                  stream_id);
    return false;
  }
  if (agreed <= most) return true;
  log_and_count(
      Refusal::latency,
      "agreed latency " + std::to_string(agreed) + " ms, srt_max_latency is " + std::to_string(most), caller,
      stream_id);
  return false;
}

size_t CallerAdmission::open_streams() {
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(admitted, [](const auto& entry) { return srt_getsockstate(entry.first) >= SRTS_BROKEN; });
  return admitted.size();
}
