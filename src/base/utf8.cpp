#include "base/utf8.h"

namespace {

const char kReplacementCharacter[] = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

size_t utf8_sequence_length(std::string_view text, size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[at + i]);
    if (!is_continuation(byte)) return 0;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  bool overlong = (length == 3 && code_point < 0x800) || (length == 4 && code_point < 0x10000);
  bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  if (overlong || surrogate || code_point > 0x10FFFF) return 0;
  return length;
}

std::string to_valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8_sequence_length(text, at);
    if (length == 0) {
      valid += kReplacementCharacter;
      ++at;
    } else {
      valid.append(text, at, length);
      at += length;
    }
  }
  return valid;
}
