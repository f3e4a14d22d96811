#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "config/endpoint_settings.h"

// The destinations of one stream, set by a "route.NAME = DESTINATION, ..." key. A route
// left without destinations (all of them refused in a file read at start) is kept, so
// that its stream is refused instead of going to rist_endpoint.
struct Route {
  std::string name;  // lower-cased, as the key gives it
  std::vector<RistDestination> destinations;
};

// Routes by lower-cased stream name: one lookup per caller however many there are.
using RouteTable = std::unordered_map<std::string, Route>;

// The route name shown for a stream that goes to rist_endpoint.
inline constexpr char kDefaultRouteName[] = "default";

// The prefix of every route key.
inline constexpr char kRouteKeyPrefix[] = "route.";

bool is_route_key(const std::string& key);

// The route of the stream named `name`, matched without regard to letter case; nullptr
// when it has none.
const Route* find_route(const RouteTable& routes, const std::string& name);
