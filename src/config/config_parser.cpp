#include "config/config_parser.h"

#include <algorithm>

#include "base/text_utils.h"

namespace {

// Editors on Windows start a UTF-8 file with it; it is not part of the first key.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// The text with its byte-order mark dropped and every CR made a line end: LF, CR LF
// and a lone CR (old Mac editors) all end a line.
std::string with_line_feeds(const std::string& text) {
  std::string lines = starts_with(text, kByteOrderMark) ? text.substr(3) : text;
  std::replace(lines.begin(), lines.end(), '\r', '\n');
  return lines;
}

}  // namespace

std::vector<ConfigEntry> parse_config_entries(const std::string& text) {
  std::vector<ConfigEntry> entries;
  for (const std::string& line : split(with_line_feeds(text), "\n")) {
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
