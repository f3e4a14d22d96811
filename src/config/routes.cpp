#include "config/routes.h"

#include "base/text_utils.h"

bool is_route_key(const std::string& key) { return starts_with(key, kRouteKeyPrefix); }

const Route* find_route(const RouteTable& routes, const std::string& name) {
  auto found = routes.find(to_lower(name));
  return found == routes.end() ? nullptr : &found->second;
}
