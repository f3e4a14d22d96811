// What the log shows of a setting. Input: "key\nvalue". Secret keys show only the mask;
// in any other value every query parameter named "passphrase" (as the talkback URL's
// parser cuts the query at '?' and '&') shows only the mask.

#include "config/secret_mask.h"
#include "config/text_utils.h"
#include "fuzz_check.h"

namespace {

const std::string kMask = "***";
const std::string kMarker = "passphrase=";

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [key, value] = fuzz_head_and_tail(fuzz_text(data, size));
  std::string shown = mask_secrets(key, value);
  if (key == "web_token" || key == "passphrase") {
    fuzz_check(shown == kMask, "a secret key shows only the mask");
    return 0;
  }
  check_parameters_masked(shown);
  if (value.find(kMarker) == std::string::npos) fuzz_check(shown == value, "a value without secrets is kept");
  return 0;
}
