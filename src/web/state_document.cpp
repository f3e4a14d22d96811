#include "web/state_document.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

std::string member(const char* key, const std::string& value) {
  return std::string("\"") + key + "\": \"" + json_escape(value) + "\"";
}

std::string string_array(const std::vector<std::string>& values) {
  std::string items;
  for (const std::string& value : values) items += (items.empty() ? "\"" : ",\"") + json_escape(value) + "\"";
  return "[" + items + "]";
}

std::string interface_object(const NetIface& iface) {
  return "{ " + member("title", iface.title) + "," + member("ip", iface.ip) + "," +
         member("output", iface.output) + "," + member("input", iface.input) +
         ",\"ipv6\": " + string_array(iface.ipv6) + "}";
}

std::string route_object(const Route& route) {
  std::string destinations;
  for (const RistDestination& destination : route.destinations) {
    if (!destinations.empty()) destinations += ",";
    destinations += "\"" + json_escape(shown_destination(destination)) + "\"";
  }
  return "{\"name\":\"" + json_escape(route.name) + "\",\"destinations\":[" + destinations + "]}";
}

std::string route_list(const RouteTable& routes) {
  std::vector<const Route*> ordered;
  for (const auto& entry : routes) ordered.push_back(&entry.second);
  std::sort(ordered.begin(), ordered.end(), [](const Route* a, const Route* b) { return a->name < b->name; });
  std::string objects;
  for (const Route* route : ordered) {
    if (!objects.empty()) objects += ",";
    objects += route_object(*route);
  }
  return objects;
}

}  // namespace

std::string state_document(const NetIfaceList& interfaces, const RouteTable& routes) {
  std::string objects;
  for (const NetIface& iface : interfaces) {
    if (!objects.empty()) objects += ",";
    objects += interface_object(iface);
  }
  return "{\"ifaces\":[" + objects + "],\"routes\":[" + route_list(routes) + "]}";
}

std::string json_escape(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += c;
    } else if (byte < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", byte);
      escaped += code;
    } else {
      escaped += c;
    }
  }
  return escaped;
}
