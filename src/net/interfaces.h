#pragma once

#include "net/net_iface.h"

// A fresh list of the host's operational interfaces with an IPv4 address, in
// ascending order of description, then the aggregate "All". Rates are averages since
// the previous call. Not reentrant: callers serialise it (MainApp's ifaces_lock).
NetIfaceList enumerate_interfaces();
