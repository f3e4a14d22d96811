#pragma once

#include <string>
#include <vector>

#include "net/net_iface.h"
#include "rist/endpoint_set.h"

class ConfigStore;

// Fills set from the configuration and the interface list: the RIST destinations of
// `rist_endpoint`, the addresses of the interfaces not named in `ignore`,
// `tb_endpoint` and `uplink_mode` (an unknown mode is logged and balance used).
// Starts from empty lists.
void fill_endpoint_set(EndpointSet& set, const ConfigStore& config, const NetIfaceList& interfaces);

// Writes prefix and the items separated by ", " as one unframed line.
void print_list(const std::string& prefix, const std::vector<std::string>& items);
