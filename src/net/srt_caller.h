#pragma once

#include <srt/srt.h>

#include <string>

// The description of one outgoing SRT caller connection.
struct SrtCallerParams {
  std::string bind_address;  // local IPv4 address to bind first; empty: no bind
  std::string host;          // target IPv4 address in dotted form
  int port = 0;              // target port, 1-65535
  std::string stream_id;     // announced to the peer, may be empty
  int latency = 0;           // peer latency in ms; 0 leaves the library default
  std::string passphrase;    // empty: no encryption
  int pbkeylen = 0;          // key length in bytes, applied only with a passphrase
};

// Sets one SRT socket option; a failure is logged under `name` and gives false.
bool set_option(SRTSOCKET socket, SRT_SOCKOPT option, const char* name, const void* value, int length);

// Creates a live-mode SRT socket and connects it to params.host:params.port, blocking
// for the handshake. On success `socket` holds the open connection, which then belongs
// to the caller. On failure, also when an encryption option cannot be applied, the
// created socket has already been closed.
bool connect_caller(SRTSOCKET& socket, const SrtCallerParams& params);

// Warns when host is not written as four dot-separated pieces (no name resolution is
// done anywhere) and gives it back unchanged.
std::string check_host(const std::string& host);
