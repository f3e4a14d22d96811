#pragma once

#include <list>
#include <string>

// One network interface as shown to the outside: its description ("All" for the
// aggregate entry), first IPv4 address, and transmit and receive rates as text and
// in bits per second.
struct NetIface {
  std::string title;
  std::string ip;
  std::string output;
  std::string input;
  double output_bps = 0;
  double input_bps = 0;
};

using NetIfaceList = std::list<NetIface>;
