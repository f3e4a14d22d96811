#include "config/config_parser.h"

#include "config/text_utils.h"

std::vector<ConfigEntry> parse_config_entries(const std::string& text) {
  std::vector<ConfigEntry> entries;
  for (const std::string& line : split(text, "\n")) {
    if (starts_with(line, "//")) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = to_lower(trim(line.substr(0, equals)));
    std::string value = trim(line.substr(equals + 1));
    if (key.empty() || value.empty()) continue;
    entries.push_back({std::move(key), std::move(value)});
  }
  return entries;
}
