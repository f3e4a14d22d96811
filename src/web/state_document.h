#pragma once

#include <string>

#include "config/routes.h"
#include "net/net_iface.h"

// {"ifaces":[{ "title": "…","ip": "…","output": "…","input": "…","ipv6": ["…",…]},…],
//  "routes":[{"name":"…","destinations":["host:port",…]},…]}, routes ordered by name,
// destinations as shown_destination gives them, values escaped as JSON strings; no other
// blanks or line breaks.
std::string state_document(const NetIfaceList& interfaces, const RouteTable& routes);

// value as the inside of a JSON string: quote, backslash and control bytes escaped.
std::string json_escape(const std::string& value);
