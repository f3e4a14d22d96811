// What the log shows of a setting. Input: "key\nvalue". Secret keys show only the mask;
// allowed_streams shows only the mask after the first colon of each entry; in any other
// value every query parameter named "passphrase" (as the talkback URL's parser cuts the
// query at '?' and '&') shows only the mask.

#include <vector>

#include "config/secret_mask.h"
#include "config/text_utils.h"
#include "fuzz_check.h"

namespace {

const std::string kMask = "***";
const std::string kMarker = "passphrase=";

// Pieces between commas, empty ones kept.
std::vector<std::string> split_raw(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t comma = text.find(','); comma != std::string::npos; comma = text.find(',', start)) {
    pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

void check_parameters_masked(const std::string& shown) {
  size_t start = 0;
  while (start <= shown.size()) {
    size_t end = shown.find_first_of("?&", start);
    if (end == std::string::npos) end = shown.size();
    std::string piece = shown.substr(start, end - start);
    if (starts_with(piece, kMarker)) fuzz_check(piece == kMarker + kMask, "a passphrase parameter is masked");
    start = end + 1;
  }
}

// Each comma-separated entry is the original up to its first colon, then the mask.
void check_stream_entries_masked(const std::string& value, const std::string& shown) {
  std::vector<std::string> original = split_raw(value), masked = split_raw(shown);
  fuzz_check(original.size() == masked.size(), "allowed_streams keeps its entries");
  for (size_t i = 0; i < original.size(); ++i) {
    size_t colon = original[i].find(':');
    std::string expected =
        colon == std::string::npos ? original[i] : original[i].substr(0, colon + 1) + kMask;
    fuzz_check(masked[i] == expected, "an allowed_streams entry shows its id and the mask");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [key, value] = fuzz_head_and_tail(fuzz_text(data, size));
  std::string shown = mask_secrets(key, value);
  if (key == "web_token" || key == "passphrase" || key == "srt_passphrase") {
    fuzz_check(shown == kMask, "a secret key shows only the mask");
    return 0;
  }
  if (key == "allowed_streams") {
    check_stream_entries_masked(value, shown);
    return 0;
  }
  check_parameters_masked(shown);
  if (value.find(kMarker) == std::string::npos) fuzz_check(shown == value, "a value without secrets is kept");
  return 0;
}
