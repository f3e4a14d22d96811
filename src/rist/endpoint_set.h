#pragma once

#include <string>
#include <vector>

#include "rist/uplink_mode.h"

// The route of one accepted SRT connection, filled by IGlobalState::update from the
// configuration and the interface list of that moment.
struct EndpointSet {
  std::vector<std::string> rist_endpoints;
  std::vector<std::string> networks;
  std::string tb_endpoint;
  UplinkMode uplink_mode = UplinkMode::balance;
};
