// Interface titles and addresses in the state document: json_escape of any bytes holds
// no control byte and only the escapes \" \\ \uXXXX, and reading those back gives the
// original bytes.

#include "fuzz_check.h"
#include "web/state_document.h"

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes a JSON reader gets from the escaped text; fails on anything JSON rejects.
std::string unescape(const std::string& escaped) {
  std::string original;
  for (size_t i = 0; i < escaped.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(escaped[i]);
    fuzz_check(byte >= 0x20, "no raw control byte");
    fuzz_check(escaped[i] != '"', "no bare quote");
    if (escaped[i] != '\\') {
      original += escaped[i];
      continue;
    }
    fuzz_check(i + 1 < escaped.size(), "no backslash at the end");
    char kind = escaped[++i];
    if (kind == '"' || kind == '\\') {
      original += kind;
      continue;
    }
    fuzz_check(kind == 'u' && i + 4 < escaped.size(), "only \\\", \\\\ and \\uXXXX escapes");
    int code = 0;
    for (int digit = 0; digit < 4; ++digit) {
      int value = hex_digit(escaped[++i]);
      fuzz_check(value >= 0, "\\u takes four hex digits");
      code = code * 16 + value;
    }
    fuzz_check(code < 0x20, "\\u is used for control bytes only");
    original += static_cast<char>(code);
  }
  return original;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string value = fuzz_text(data, size);
  fuzz_check(unescape(json_escape(value)) == value, "escaping loses nothing");
  return 0;
}
