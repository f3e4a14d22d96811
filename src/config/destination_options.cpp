#include "config/destination_options.h"

#include <map>
#include <set>

#include "base/text_utils.h"
#include "config/url_params.h"

namespace {

// librist divides by the recovery buffer when a peer is added (the retransmissions it
// may send per pass are scaled by 1000 / buffer), so 0 ends the process with SIGFPE.
// The sender announces buffer + 2 × the longest round trip (500 ms unless set) to the
// receiver in 16 bits of milliseconds, and keeps that long a history in a queue of
// 524288 packets: 30 s keeps both whole for streams up to about 170 Mbit/s. A request
// for a lost packet that waited in librist's queue longer than the buffer is dropped;
// 50 ms is the floor kept here so that recovery still works, not a limit of librist.
constexpr int kMinBufferMs = 50;
constexpr int kMaxBufferMs = 30000;
// librist compares the retransmission rate with bandwidth × 1000 bits in 32-bit
// arithmetic, which overflows above 4294967 kbit/s; 0 would refuse every retransmission.
constexpr int kMinBandwidthKbps = 1;
constexpr int kMaxBandwidthKbps = 4294967;

const char* const kMask = "***";

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Why a whole number option is out of its range, or empty; sets `field`.
std::string read_number(const std::string& name, const std::string& value, int low, int high, int& field) {
  std::optional<int> number = is_number(value) ? parse_int(value) : std::nullopt;
  if (!number || *number < low || *number > high)
    return name + " " + quoted(value) + " is not a whole number from " + std::to_string(low) + " to " +
           std::to_string(high);
  field = *number;
  return "";
}

// Why a secret text cannot be handed to librist, or empty; sets `field`. Never quotes it.
std::string read_text(const std::string& name, const std::string& value, size_t longest, std::string& field) {
  if (value.empty() || value.size() > longest)
    return name + " has " + std::to_string(value.size()) + " bytes; librist takes 1 to " +
           std::to_string(longest);
  // librist reads these as C strings: a NUL byte would cut them short.
  if (value.find('\0') != std::string::npos) return name + " holds a NUL byte";
  field = value;
  return "";
}

std::string read_option(const std::string& name, const std::string& value, RistOptions& options) {
  if (name == "buffer") return read_number(name, value, kMinBufferMs, kMaxBufferMs, options.buffer_ms);
  if (name == "bandwidth")
    return read_number(name, value, kMinBandwidthKbps, kMaxBandwidthKbps, options.bandwidth_kbps);
  if (name == "secret") return read_text("the secret", value, kMaxSecretLength, options.secret);
  if (name == "username") return read_text("the username", value, kMaxSrpLength, options.username);
  if (name == "password") return read_text("the password", value, kMaxSrpLength, options.password);
  if (name == "aes-type") {
    if (value != "128" && value != "256") return "aes-type " + quoted(value) + " is not 128 or 256";
    options.aes_type = value == "128" ? 128 : 256;
    return "";
  }
  if (name == "profile") {
    if (value != "main" && value != "simple") return "profile " + quoted(value) + " is not main or simple";
    options.profile = value == "main" ? RistProfile::main : RistProfile::simple;
    return "";
  }
  return "unknown option " + quoted(name);
}

// Why options that are each fine cannot go together, or empty.
std::string combination_problem(const std::set<std::string>& given, int port, const RistOptions& options) {
  if (options.profile == RistProfile::simple) {
    for (const char* name : {"secret", "aes-type", "username", "password"}) {
      if (given.count(name) != 0) return std::string("the simple profile takes no ") + name;
    }
    if (port % 2 != 0) return "the simple profile needs an even port (it sends RTCP to the next one)";
    return "";
  }
  if (given.count("aes-type") != 0 && options.secret.empty()) return "aes-type needs a secret";
  if (options.username.empty() != options.password.empty())
    return options.username.empty() ? "a password needs a username" : "a username needs a password";
  return "";
}

}  // namespace

std::string options_problem(const std::string& query, int port, RistOptions& options) {
  std::set<std::string> given;
  for (const std::string& piece : split(query, "&")) {
    size_t equals = piece.find('=');
    std::string name = trim(piece.substr(0, equals));
    if (equals == std::string::npos) return "option " + quoted(name) + " has no value";
    if (!given.insert(name).second) return "option " + quoted(name) + " is given twice";
    std::string problem = read_option(name, trim(piece.substr(equals + 1)), options);
    if (!problem.empty()) return problem;
  }
  if (!options.secret.empty() && options.aes_type == 0) options.aes_type = 128;
  return combination_problem(given, port, options);
}

std::string shown_options(const RistOptions& options) {
  std::vector<std::string> shown;
  if (options.profile == RistProfile::simple) shown.push_back("profile=simple");
  if (options.buffer_ms != 0) shown.push_back("buffer=" + std::to_string(options.buffer_ms));
  if (options.bandwidth_kbps != 0) shown.push_back("bandwidth=" + std::to_string(options.bandwidth_kbps));
  if (!options.secret.empty()) {
    shown.push_back("aes-type=" + std::to_string(options.aes_type));
    shown.push_back(std::string("secret=") + kMask);
  }
  if (!options.username.empty()) {
    shown.push_back("username=" + options.username);
    shown.push_back(std::string("password=") + kMask);
  }
  std::string text;
  for (const std::string& piece : shown) text += (text.empty() ? "" : "&") + piece;
  return text;
}
