#pragma once

#include <string>

// The description of one outgoing SRT caller connection.
struct SrtCallerParams {
  std::string bind_address;  // local address to bind first; empty or of another family: no bind
  std::string host;          // target IPv4 or IPv6 address
  int port = 0;              // target port, 1-65535
  std::string stream_id;     // announced to the peer, may be empty
  int latency = 0;           // peer latency in ms; 0 leaves the library default
  std::string passphrase;    // empty: no encryption
  int pbkeylen = 0;          // key length in bytes, applied only with a passphrase
};
