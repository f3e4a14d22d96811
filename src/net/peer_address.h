#pragma once

#include <srt/srt.h>

#include <string>

#include "net/socket_headers.h"

// An IPv4 address as "ip:port", an IPv6 one as "[ip]:port", an IPv4 address mapped into
// IPv6 (::ffff:a.b.c.d, as a dual-stack socket reports IPv4 peers) as "a.b.c.d:port";
// empty for anything else.
std::string address_text(const sockaddr_storage& address);

// The far end of a connected SRT socket as address_text; empty when libsrt cannot tell.
std::string peer_address(SRTSOCKET socket);
