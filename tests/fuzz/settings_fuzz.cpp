// Settings as posted, shown in the log and applied to callers. The whole input is a
// configuration text; its "head\ntail" is a key and value for the log's masking, and an
// allowed_streams list and a caller's stream id for the access decision.

#include "base/text_utils.h"
#include "config/config_parser.h"
#include "config/secret_mask.h"
#include "fuzz_check.h"
#include "srt/access_policy.h"

namespace {

const std::string kMask = "***";

// Every entry is a trimmed, lower-cased, non-empty key and value from one line.
void check_entries(const std::string& text) {
  for (const auto& [key, value] : parse_config_entries(text)) {
    fuzz_check(!key.empty() && !value.empty() && trim(key) == key && trim(value) == value, "trimmed");
    fuzz_check(to_lower(key) == key && !starts_with(key, "//") && key.find('=') == npos, "a lower-cased key");
    fuzz_check((key + value).find_first_of("\r\n") == npos && text.find(value) != npos, "from one line");
  }
}

// Secret keys show only the mask, allowed_streams each entry's id and the mask, any
// other value the mask for every "passphrase" parameter (cut at '?' and '&').
void check_masked(const std::string& key, const std::string& value) {
  std::string shown = mask_secrets(key, value);
  if (key == "web_token" || key == "passphrase" || key == "srt_passphrase") {
    fuzz_check(shown == kMask, "a secret key shows only the mask");
  } else if (key == "allowed_streams") {
    std::vector<std::string> expected;
    for (const std::string& entry : fuzz_pieces(value, ","))
      expected.push_back(entry.find(':') == npos ? entry : entry.substr(0, entry.find(':') + 1) + kMask);
    fuzz_check(fuzz_pieces(shown, ",") == expected, "each allowed_streams entry shows its id and the mask");
  } else {
    for (const std::string& piece : fuzz_pieces(shown, "?&"))
      fuzz_check(!starts_with(piece, "passphrase=") || piece == "passphrase=" + kMask, "masked");
    fuzz_check(value.find("passphrase=") != std::string::npos || shown == value, "other values are kept");
  }
}

// A caller is admitted only by the first entry naming its whole id, or else the
// resource of its "#!::r=" form, and gets that entry's passphrase.
void check_access(const std::string& allowed, const std::string& stream_id) {
  AccessDecision decision =
      decide_access(AccessConfig{"", "", allowed, "", ""}, CallerRequest{stream_id, 0x7f000001});
  std::optional<std::string> resource = access_control_resource(stream_id);
  fuzz_check(!resource || resource->find(',') == npos, "a resource holds no comma");
  if (decision.refusal || allowed.empty()) return;
  std::optional<std::string> passphrase;
  for (const std::string& name : {stream_id, resource.value_or(stream_id)}) {
    for (const std::string& entry : split(allowed, ",")) {
      size_t colon = entry.find(':');
      if (!passphrase && trim(entry.substr(0, colon)) == name)
        passphrase = colon == npos ? "" : trim(entry.substr(colon + 1));
    }
  }
  fuzz_check(passphrase && decision.stream_passphrase == *passphrase, "the naming entry's passphrase");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_entries(text);
  auto [head, tail] = fuzz_head_and_tail(text);
  check_masked(head, tail);
  check_access(head, tail);
  return 0;
}
