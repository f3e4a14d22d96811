#pragma once

#include <string>

// The librist options of one RIST destination, from the query of its rist_endpoint entry
// ("HOST:PORT?buffer=500&secret=…"), with librist's own option names. Each value is
// checked against what librist can apply where the entry is parsed; the sender sets the
// fields of librist's peer configuration from them and never hands librist this text.

enum class RistProfile { main, simple };

// librist keeps the secret in 128 bytes with its terminator.
constexpr size_t kMaxSecretLength = 127;
// rist_enable_eap_srp_2 takes a user name and a password of 1 to 255 bytes each.
constexpr size_t kMaxSrpLength = 255;

struct RistOptions {
  RistProfile profile = RistProfile::main;
  std::string secret;      // empty: no encryption; else 1 to kMaxSecretLength bytes
  int aes_type = 0;        // 128 or 256 with a secret, 0 without
  int buffer_ms = 0;       // 0: librist's default (1000 ms); else 50 to 30000
  int bandwidth_kbps = 0;  // 0: librist's default (100000 kbit/s); else 1 to 4294967
  std::string username;    // SRP, main profile only: both or neither, 1 to kMaxSrpLength bytes
  std::string password;
};

// Why the query of an entry ("NAME=VALUE&…", without its "?") cannot be applied to a
// destination on `port`, or empty when it can; fills the options. Names and values are
// trimmed, empty pieces skipped; an unknown or repeated name, a value out of range,
// aes-type without a secret, credentials or a secret on the simple profile and an odd
// port on it are refused. The reason never quotes a secret or a password.
std::string options_problem(const std::string& query, int port, RistOptions& options);

// The options as a URL query shows them ("buffer=500&aes-type=128&secret=***"), in a fixed
// order, the secret and the password as "***"; empty when none is set. The one place
// that decides how a destination's options are shown.
std::string shown_options(const RistOptions& options);
