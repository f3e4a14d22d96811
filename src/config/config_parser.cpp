#include "config/config_parser.h"

#include "base/text_utils.h"

namespace {

// Editors on Windows start a UTF-8 file with it; it is not part of the first key.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// The entry a line holds, if any. A comment may be indented.
void add_entry(const std::string& line, int number, std::vector<ConfigEntry>& entries) {
  if (starts_with(trim(line), "//")) return;
  size_t equals = line.find('=');
  if (equals == std::string::npos) return;
  std::string key = to_lower(trim(line.substr(0, equals)));
  std::string value = trim(line.substr(equals + 1));
  if (key.empty()) return;
  entries.push_back({std::move(key), std::move(value), number});
}

}  // namespace

std::vector<ConfigEntry> parse_config_entries(const std::string& text) {
  std::vector<ConfigEntry> entries;
  size_t start = starts_with(text, kByteOrderMark) ? 3 : 0;
  // LF, CR LF and a lone CR (old Mac editors) all end a line.
  for (int number = 1; start <= text.size(); ++number) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    add_entry(text.substr(start, end - start), number, entries);
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return entries;
}
