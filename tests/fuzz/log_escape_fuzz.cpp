// Any text from outside (a stream id, a posted configuration) as the log shows it: the
// escaped text holds no control character, DEL or C1 control, so it cannot end a log
// line or steer a terminal, and it reads back to exactly the input.

#include <cstdlib>

#include "base/log_escape.h"
#include "fuzz_check.h"

namespace {

// Undoes the escapes: \n, \r, \t, \\ and \xHH.
std::string unescape(const std::string& text) {
  std::string raw;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      raw += text[i];
      continue;
    }
    fuzz_check(i + 1 < text.size(), "a backslash always starts an escape");
    char kind = text[++i];
    if (kind == 'x') {
      fuzz_check(i + 2 < text.size(), "\\x has two hex digits");
      raw += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      fuzz_check(kind == 'n' || kind == 'r' || kind == 't' || kind == '\\', "only known escapes");
      raw += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : '\\';
    }
  }
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz_text(data, size);
  std::string escaped = escape_for_log(text);
  for (size_t i = 0; i < escaped.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(escaped[i]);
    fuzz_check(byte >= 0x20 && byte != 0x7F, "no control character or DEL");
    bool c1 = byte == 0xC2 && i + 1 < escaped.size() && static_cast<unsigned char>(escaped[i + 1]) <= 0x9F;
    fuzz_check(!c1, "no C1 control character");
  }
  fuzz_check(unescape(escaped) == text, "the escaped text reads back to the input");
  return 0;
}
