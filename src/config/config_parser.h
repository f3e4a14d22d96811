#pragma once

#include <string>
#include <vector>

// One accepted "key = value" line: key trimmed, lower-cased and not empty, value
// trimmed; `line` counts from 1.
struct ConfigEntry {
  std::string key;
  std::string value;
  int line = 0;
};

// The accepted entries of a config.ini text in the order of its lines, repeated keys
// included. A line ends at LF, CR LF or a lone CR; a leading UTF-8 byte-order mark is
// dropped. Lines starting with "//", lines without "=", and lines whose key is empty
// are skipped. Writes nothing to the log.
std::vector<ConfigEntry> parse_config_entries(const std::string& text);
