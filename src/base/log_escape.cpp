#include "base/log_escape.h"

#include <cstdio>

#include "base/utf8.h"

namespace {

void append_hex(std::string& out, unsigned char byte) {
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02x", byte);
  out += code;
}

void append_ascii(std::string& out, char c) {
  switch (c) {
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      if (c < 0x20 || c == 0x7F) {
        append_hex(out, static_cast<unsigned char>(c));
      } else {
        out += c;
      }
  }
}

// U+0080 to U+009F are encoded as C2 80 to C2 9F.
bool is_c1_control(std::string_view sequence) {
  return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
         static_cast<unsigned char>(sequence[1]) <= 0x9F;
}

}  // namespace

std::string escape_for_log(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8_sequence_length(text, at);
    std::string_view sequence = text.substr(at, length == 0 ? 1 : length);
    if (length == 1) {
      append_ascii(out, sequence[0]);
    } else if (length == 0 || is_c1_control(sequence)) {
      for (char byte : sequence) append_hex(out, static_cast<unsigned char>(byte));
    } else {
      out += sequence;
    }
    at += sequence.size();
  }
  return out;
}
