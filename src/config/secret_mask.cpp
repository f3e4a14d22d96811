#include "config/secret_mask.h"

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

}  // namespace

std::string mask_secrets(const std::string& key, const std::string& value) {
  if (is_secret_key(key)) return kMask;
  if (key == "allowed_streams") return mask_stream_passphrases(value);
  return mask_passphrase_parameters(value);
}
