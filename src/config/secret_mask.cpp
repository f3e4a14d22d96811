#include "config/secret_mask.h"

#include <functional>

#include "base/text_utils.h"
#include "config/routes.h"

namespace {

const char* const kMask = "***";

bool is_secret_key(const std::string& key) {
  return key == "web_token" || key == "passphrase" || key == "srt_passphrase";
}

// Replaces the value of every "passphrase=" query parameter up to the next '&'.
std::string mask_passphrase_parameters(std::string value) {
  const std::string marker = "passphrase=";
  size_t position = value.find(marker);
  while (position != std::string::npos) {
    size_t start = position + marker.size();
    size_t end = value.find('&', start);
    if (end == std::string::npos) end = value.size();
    value.replace(start, end - start, kMask);
    position = value.find(marker, start + 3);
  }
  return value;
}

// allowed_streams: in every comma-separated entry, what follows the first colon.
std::string mask_stream_passphrases(std::string value) {
  size_t start = 0;
  while (start < value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    size_t colon = value.find(':', start);
    if (colon < end) {
      value.replace(colon + 1, end - colon - 1, kMask);
      end = colon + 1 + 3;
    }
    start = end + 1;
  }
  return value;
}

// Applies `change` to each piece of the text between the separators, which stay.
std::string map_pieces(const std::string& text, char separator,
                       const std::function<std::string(const std::string&)>& change) {
  std::string result;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    result += change(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return result;
    result += separator;
    start = end + 1;
  }
}

// An option whose name, however it is spelled or spaced, speaks of a secret or a
// password: also a misspelt one, refused, is shown without its value.
std::string mask_secret_option(const std::string& option) {
  size_t equals = option.find('=');
  if (equals == std::string::npos) return option;
  std::string name = to_lower(option.substr(0, equals));
  bool secret = name.find("secret") != std::string::npos || name.find("pass") != std::string::npos;
  return secret ? option.substr(0, equals + 1) + kMask : option;
}

// rist_endpoint and route.NAME: the entries are cut at ',', the query at an entry's first '?', the
// options at '&', as parse_destinations cuts them.
std::string mask_destination_secrets(const std::string& value) {
  return map_pieces(value, ',', [](const std::string& entry) {
    size_t query = entry.find('?');
    if (query == std::string::npos) return entry;
    return entry.substr(0, query + 1) + map_pieces(entry.substr(query + 1), '&', mask_secret_option);
  });
}

}  // namespace

std::string mask_secrets(const std::string& key, const std::string& value) {
  if (is_secret_key(key)) return kMask;
  if (key == "allowed_streams") return mask_stream_passphrases(value);
  if (key == "rist_endpoint" || is_route_key(key)) return mask_destination_secrets(value);
  return mask_passphrase_parameters(value);
}
