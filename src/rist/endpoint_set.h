#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/endpoint_settings.h"
#include "config/routes.h"
#include "config/uplink_mode.h"

// The route of one accepted SRT connection, filled by IGlobalState::update from one
// settings snapshot and the interface list of that moment.
struct EndpointSet {
  std::vector<RistDestination> rist_endpoints;
  std::string route_name = kDefaultRouteName;  // the route.NAME the destinations come from
  std::vector<std::string> networks;
  std::optional<TalkbackEndpoint> tb_endpoint;
  UplinkMode uplink_mode = UplinkMode::balance;
};
