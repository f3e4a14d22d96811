#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "net/net_iface.h"
#include "rist/endpoint_set.h"

// Fills set from one settings snapshot and the interface list: the RIST destinations
// of the stream's route (of `rist_endpoint` when route is nullptr) and its name, the
// IPv4 and IPv6 addresses of the interfaces not named in `ignore` (an IPv6 address named
// there is left out alone), "" for the aggregate, `tb_endpoint` and `uplink_mode`.
// Starts from empty lists.
void fill_endpoint_set(EndpointSet& set, const Settings& settings, const NetIfaceList& interfaces,
                       const Route* route);

// Writes prefix and the items separated by ", " as one unframed line.
void print_list(const std::string& prefix, const std::vector<std::string>& items);
