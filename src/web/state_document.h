#pragma once

#include <string>

#include "net/net_iface.h"

// {"ifaces":[{ "title": "…","ip": "…","output": "…","input": "…","ipv6": ["…",…]},…]}, values escaped
// as JSON strings; no other blanks or line breaks.
std::string state_document(const NetIfaceList& interfaces);

// value as the inside of a JSON string: quote, backslash and control bytes escaped.
std::string json_escape(const std::string& value);
