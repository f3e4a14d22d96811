#include "app/endpoint_routes.h"

#include <algorithm>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/text_utils.h"
#include "config/config_store.h"

namespace {

// With any ignore entry, an interface without an address is left out as well.
bool is_ignored(const NetIface& iface, const std::vector<std::string>& ignore_list) {
  return std::any_of(ignore_list.begin(), ignore_list.end(), [&](const std::string& entry) {
    return iface.ip.empty() || iface.title == entry || iface.ip == entry;
  });
}

UplinkMode configured_uplink_mode(const ConfigStore& config) {
  std::string text = config.get("uplink_mode", "balance");
  std::optional<UplinkMode> mode = parse_uplink_mode(text);
  if (mode) return *mode;
  LogLine() << "-- BAD VALUE uplink_mode=" << text << " (expected balance or duplicate), using balance";
  return UplinkMode::balance;
}

}  // namespace

void fill_endpoint_set(EndpointSet& set, const ConfigStore& config, const NetIfaceList& interfaces) {
  set.rist_endpoints.clear();
  set.networks.clear();
  std::vector<std::string> ignore_list = split(config.get("ignore", ""), ",");
  for (const NetIface& iface : interfaces) {
    if (!is_ignored(iface, ignore_list)) set.networks.push_back(iface.ip);
  }
  set.rist_endpoints = split(config.get("rist_endpoint", ""), ",");
  set.tb_endpoint = config.get("tb_endpoint", "");
  set.uplink_mode = configured_uplink_mode(config);
  print_list("networks: ", set.networks);
  print_list("rist_endpoint: ", set.rist_endpoints);
}

void print_list(const std::string& prefix, const std::vector<std::string>& items) {
  std::string line = prefix;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) line += ", ";
    line += escape_for_log(items[i]);
  }
  write_unframed(line + "\n");
}
