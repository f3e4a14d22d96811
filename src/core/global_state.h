#pragma once

#include <string>
#include <vector>

#include "net/net_iface.h"
#include "rist/endpoint_set.h"

class ConfigStore;
class StreamRegistry;
struct Route;
struct Settings;

// What the other subsystems may reach of the application core. MainApp is the one
// implementation; it hands itself to the servers it owns, and tests hand them a fake.
class IGlobalState {
 public:
  virtual ConfigStore& get_config() = 0;
  virtual NetIfaceList get_interfaces() = 0;
  // Fills set from settings and the interface list of this moment; the destinations are
  // the route's, or rist_endpoint's when route is nullptr.
  virtual void update(EndpointSet& set, const Settings& settings, const Route* route) = 0;
  virtual StreamRegistry& get_streams() = 0;

 protected:
  ~IGlobalState() = default;
};

// The process-wide pointer to the application core, set by MainApp's constructor. The
// servers are handed the same object by reference instead of reading it.
extern IGlobalState* global_state;
