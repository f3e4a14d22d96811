#pragma once

#include <string>
#include <string_view>

// Whether the Host header of a request names this gateway. A page whose name an
// attacker points at the gateway's address (DNS rebinding) is the same origin as the
// gateway to the browser, and its requests carry the attacker's name as Host; names
// that no outsider can point here are the IP literals, localhost and the machine's own
// name. A pure function; called on the HTTP worker threads.

// True when host, a Host header value with or without ":port" and in any letter case,
// is an IPv4 literal, an IPv6 literal in brackets, "localhost", a name ending in
// ".localhost", or machine_name (lower-case; empty matches nothing).
bool names_this_host(std::string_view host, const std::string& machine_name);
