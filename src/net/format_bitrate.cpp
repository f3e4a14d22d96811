#include "net/format_bitrate.h"

#include <cstdio>

std::string format_bitrate(double bits_per_second) {
  char text[64];
  if (bits_per_second >= 1e9) {
    std::snprintf(text, sizeof text, "%.2f Gbps", bits_per_second / 1e9);
  } else if (bits_per_second >= 1e6) {
    std::snprintf(text, sizeof text, "%.2f Mbps", bits_per_second / 1e6);
  } else if (bits_per_second >= 1000) {
    std::snprintf(text, sizeof text, "%.2f Kbps", bits_per_second / 1000);
  } else {
    std::snprintf(text, sizeof text, "%.2f bps", bits_per_second);
  }
  return text;
}
