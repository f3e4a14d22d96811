#include "app/endpoint_routes.h"

#include <algorithm>

#include "base/log_escape.h"
#include "base/log_line.h"

namespace {

// With any ignore entry, an interface without an address is left out as well.
bool is_ignored(const NetIface& iface, const std::vector<std::string>& ignore_list) {
  return std::any_of(ignore_list.begin(), ignore_list.end(), [&](const std::string& entry) {
    return iface.ip.empty() || iface.title == entry || iface.ip == entry;
  });
}

}  // namespace

void fill_endpoint_set(EndpointSet& set, const Settings& settings, const NetIfaceList& interfaces) {
  set.networks.clear();
  for (const NetIface& iface : interfaces) {
    if (!is_ignored(iface, settings.ignore)) set.networks.push_back(iface.ip);
  }
  set.rist_endpoints = settings.rist_endpoint;
  set.tb_endpoint = settings.tb_endpoint;
  set.uplink_mode = settings.uplink_mode;
  std::vector<std::string> destinations;
  for (const RistDestination& destination : set.rist_endpoints)
    destinations.push_back(shown_destination(destination));
  print_list("networks: ", set.networks);
  print_list("rist_endpoint: ", destinations);
}

void print_list(const std::string& prefix, const std::vector<std::string>& items) {
  std::string line = prefix;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) line += ", ";
    line += escape_for_log(items[i]);
  }
  write_unframed(line + "\n");
}
