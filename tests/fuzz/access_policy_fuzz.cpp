// decide_access on any allow-list and any stream id. Input: "allowed_streams\nstream id".
// A caller is admitted only by an entry that names its whole id or else the resource of
// its "#!::r=" form, and gets that entry's passphrase.

#include <vector>

#include "config/text_utils.h"
#include "fuzz_check.h"
#include "srt/access_policy.h"

namespace {

struct Entry {
  std::string id;
  std::string passphrase;
};

// The first entry whose id is name.
const Entry* entry_named(const std::vector<Entry>& entries, const std::string& name) {
  for (const Entry& entry : entries) {
    if (entry.id == name) return &entry;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [allowed, stream_id] = fuzz_head_and_tail(fuzz_text(data, size));
  AccessDecision decision =
      decide_access(AccessConfig{"", "", allowed, "", ""}, CallerRequest{stream_id, 0x7f000001});
  std::optional<std::string> resource = access_control_resource(stream_id);
  if (resource) fuzz_check(resource->find(',') == std::string::npos, "a resource holds no comma");
  if (decision.refusal || allowed.empty()) return 0;
  std::vector<Entry> entries;
  for (const std::string& piece : split(allowed, ",")) {
    size_t colon = piece.find(':');
    entries.push_back(
        {trim(piece.substr(0, colon)), colon == std::string::npos ? "" : trim(piece.substr(colon + 1))});
  }
  const Entry* naming = entry_named(entries, stream_id);
  if (naming == nullptr && resource) naming = entry_named(entries, *resource);
  fuzz_check(naming != nullptr, "an admitted caller is named by an entry");
  fuzz_check(decision.stream_passphrase == naming->passphrase, "the naming entry's passphrase is used");
  return 0;
}
