#pragma once

#include <string>

// A rate in bits per second as short text: two decimals, a blank and the largest
// decimal unit it reaches ("1.50 Gbps", "12.00 Mbps", "1000.00 Kbps", "999.00 bps").
// The unit is chosen before rounding, so 999999 bit/s reads "1000.00 Kbps".
std::string format_bitrate(double bits_per_second);
