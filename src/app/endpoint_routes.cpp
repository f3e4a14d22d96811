#include "app/endpoint_routes.h"

#include <algorithm>

#include "base/log_escape.h"
#include "base/log_line.h"

namespace {

bool is_listed(const std::vector<std::string>& ignore_list, const std::string& entry) {
  return std::find(ignore_list.begin(), ignore_list.end(), entry) != ignore_list.end();
}

// With any ignore entry, an interface without an address is left out as well.
bool is_ignored(const NetIface& iface, const std::vector<std::string>& ignore_list) {
  bool has_address = !iface.ip.empty() || !iface.ipv6.empty();
  return !ignore_list.empty() && (!has_address || is_listed(ignore_list, iface.title) ||
                                  (!iface.ip.empty() && is_listed(ignore_list, iface.ip)));
}

// The addresses an interface sends from: its IPv4 address and each IPv6 address that
// ignore does not name; "" (no address) for the aggregate.
void add_networks(std::vector<std::string>& networks, const NetIface& iface,
                  const std::vector<std::string>& ignore) {
  if (iface.ip.empty() && iface.ipv6.empty()) networks.push_back("");
  if (!iface.ip.empty()) networks.push_back(iface.ip);
  for (const std::string& address : iface.ipv6) {
    if (!is_listed(ignore, address)) networks.push_back(address);
  }
}

}  // namespace

void fill_endpoint_set(EndpointSet& set, const Settings& settings, const NetIfaceList& interfaces,
                       const Route* route) {
  set.networks.clear();
  for (const NetIface& iface : interfaces) {
    if (!is_ignored(iface, settings.ignore)) add_networks(set.networks, iface, settings.ignore);
  }
  set.rist_endpoints = route != nullptr ? route->destinations : settings.rist_endpoint;
  set.route_name = route != nullptr ? route->name : kDefaultRouteName;
  set.tb_endpoint = settings.tb_endpoint;
  set.uplink_mode = settings.uplink_mode;
  std::vector<std::string> destinations;
  for (const RistDestination& destination : set.rist_endpoints)
    destinations.push_back(shown_destination(destination));
  print_list("networks: ", set.networks);
  print_list(route != nullptr ? "route." + escape_for_log(route->name) + ": " : "rist_endpoint: ",
             destinations);
}

void print_list(const std::string& prefix, const std::vector<std::string>& items) {
  std::string line = prefix;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) line += ", ";
    line += escape_for_log(items[i]);
  }
  write_unframed(line + "\n");
}
