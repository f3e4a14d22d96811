#include "net/srt_caller.h"

#include "base/log_escape.h"
#include "base/log_line.h"
#include "net/socket_headers.h"

namespace {

// Fills an IPv4 or IPv6 address of the text form and its length; 0 when text is neither.
int to_address(const std::string& text, int port, sockaddr_storage& address) {
  address = sockaddr_storage{};
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET, text.c_str(), &ipv4.sin_addr) > 0) {
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<uint16_t>(port));
    return sizeof ipv4;
  }
  if (inet_pton(AF_INET6, text.c_str(), &ipv6.sin6_addr) > 0) {
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof ipv6;
  }
  return 0;
}

bool fail_and_close(SRTSOCKET socket) {
  srt_close(socket);
  return false;
}

// Encryption fails closed: an option libsrt refuses (a passphrase shorter than 10 or
// longer than 79 characters, a key length other than 0, 16, 24 or 32) ends the
// connection attempt instead of letting it go on in clear text. Enforced encryption
// makes libsrt refuse a source that does not encrypt, whatever its default.
bool set_encryption(SRTSOCKET socket, const SrtCallerParams& params) {
  int enforced = 1;
  bool applied =
      set_option(socket, SRTO_PASSPHRASE, "SRTO_PASSPHRASE", params.passphrase.data(),
                 static_cast<int>(params.passphrase.size())) &&
      set_option(socket, SRTO_PBKEYLEN, "SRTO_PBKEYLEN", &params.pbkeylen, sizeof params.pbkeylen) &&
      set_option(socket, SRTO_ENFORCEDENCRYPTION, "SRTO_ENFORCEDENCRYPTION", &enforced, sizeof enforced);
  // The secret itself never reaches the log.
  if (applied) LogLine() << "set passphrase:*** pbkey:" << params.pbkeylen;
  return applied;
}

}  // namespace

bool set_option(SRTSOCKET socket, SRT_SOCKOPT option, const char* name, const void* value, int length) {
  if (srt_setsockopt(socket, 0, option, value, length) < 0) {
    LogLine() << "-- failed to set option " << name << " on socket:" << srt_getlasterror_str();
    return false;
  }
  return true;
}

bool connect_caller(SRTSOCKET& socket, const SrtCallerParams& params) {
  socket = srt_create_socket();
  if (socket == SRT_INVALID_SOCK) {
    LogLine() << "srt_create_socket failed";
    return false;
  }
  int live = SRTT_LIVE;
  set_option(socket, SRTO_TRANSTYPE, "SRTO_TRANSTYPE", &live, sizeof live);
  sockaddr_storage target;
  int target_length = to_address(params.host, params.port, target);
  if (target_length == 0) {
    LogLine() << "Invalid target IP address " << escape_for_log(params.host) << ":" << params.port;
    return fail_and_close(socket);
  }
  sockaddr_storage local;
  if (to_address(params.bind_address, 0, local) != 0 && local.ss_family == target.ss_family &&
      srt_bind(socket, reinterpret_cast<sockaddr*>(&local), target_length) == SRT_ERROR) {
    LogLine() << "srt_bind failed: " << escape_for_log(params.bind_address);
    return fail_and_close(socket);
  }
  if (srt_setsockopt(socket, 0, SRTO_STREAMID, params.stream_id.data(),
                     static_cast<int>(params.stream_id.size())) == SRT_ERROR) {
    LogLine() << "Failed to set stream ID";
    return fail_and_close(socket);
  }
  if (!params.passphrase.empty() && !set_encryption(socket, params)) return fail_and_close(socket);
  if (params.latency != 0) {
    set_option(socket, SRTO_PEERLATENCY, "SRTO_PEERLATENCY", &params.latency, sizeof params.latency);
    LogLine() << "set latency:" << params.latency;
  }
  LogLine() << "Connecting to " << escape_for_log(params.host) << ":" << params.port;
  if (srt_connect(socket, reinterpret_cast<sockaddr*>(&target), target_length) == SRT_ERROR) {
    LogLine() << "srt_connect error: " << srt_getlasterror_str();
    return fail_and_close(socket);
  }
  return true;
}
