#pragma once

#include <list>
#include <string>
#include <vector>

// One network interface as shown to the outside: its description ("All" for the
// aggregate entry), first IPv4 address (empty when it has none), transmit and receive
// rates as text and in bits per second, and its IPv6 addresses (neither link-local nor
// loopback).
struct NetIface {
  std::string title;
  std::string ip;
  std::string output;
  std::string input;
  double output_bps = 0;
  double input_bps = 0;
  std::vector<std::string> ipv6;
};

using NetIfaceList = std::list<NetIface>;
