// Any text posted as the configuration: every entry found is a trimmed, lower-cased,
// non-empty key and a trimmed, non-empty value taken from one line of the text.

#include "config/config_parser.h"
#include "config/text_utils.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz_text(data, size);
  for (const ConfigEntry& entry : parse_config_entries(text)) {
    fuzz_check(!entry.key.empty() && !entry.value.empty(), "key and value are not empty");
    fuzz_check(trim(entry.key) == entry.key && trim(entry.value) == entry.value, "key and value are trimmed");
    fuzz_check(to_lower(entry.key) == entry.key, "key is lower-cased");
    fuzz_check(entry.key.find('=') == std::string::npos, "key ends at the first '='");
    fuzz_check(entry.key.find_first_of("\r\n") == std::string::npos &&
                   entry.value.find_first_of("\r\n") == std::string::npos,
               "an entry lies within one line (LF, CR LF or CR)");
    fuzz_check(!starts_with(entry.key, "//"), "comment lines give no entry");
    fuzz_check(text.find(entry.value) != std::string::npos, "the value is a piece of the text");
  }
  return 0;
}
