// The text helpers on any bytes. Input: "delimiter\ntext". split gives trimmed,
// non-empty pieces without the delimiter; parse_int agrees with a plain reference
// reading of a signed 32-bit decimal number.

#include <climits>
#include <optional>

#include "config/text_utils.h"
#include "fuzz_check.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// [+-]digits with nothing around, within the range of int.
std::optional<int> reference_int(const std::string& text) {
  size_t position = 0;
  bool negative = false;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
    negative = text[position] == '-';
    ++position;
  }
  if (position == text.size()) return std::nullopt;
  long long value = 0;
  for (; position < text.size(); ++position) {
    if (text[position] < '0' || text[position] > '9') return std::nullopt;
    value = value * 10 + (text[position] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

void check_parse_int(const std::string& text) {
  fuzz_check(parse_int(text) == reference_int(text), "parse_int reads exactly the whole decimal numbers");
}

void check_trim(const std::string& text) {
  std::string trimmed = trim(text);
  fuzz_check(text.find(trimmed) != std::string::npos, "trim gives a piece of the text");
  fuzz_check(trimmed.empty() || (!is_blank(trimmed.front()) && !is_blank(trimmed.back())),
             "trim leaves no blank at either end");
  fuzz_check(trim(trimmed) == trimmed, "trim twice changes nothing");
}

void check_to_lower(const std::string& text) {
  std::string lower = to_lower(text);
  fuzz_check(lower.size() == text.size(), "to_lower keeps the length");
  for (size_t i = 0; i < text.size(); ++i) {
    bool upper = text[i] >= 'A' && text[i] <= 'Z';
    fuzz_check(lower[i] == (upper ? static_cast<char>(text[i] + 32) : text[i]), "to_lower changes A-Z only");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [delimiter, text] = fuzz_head_and_tail(fuzz_text(data, size));
  check_parse_int(text);
  check_trim(text);
  check_to_lower(text);
  std::vector<std::string> pieces = split(text, delimiter);
  for (const std::string& piece : pieces) {
    fuzz_check(!piece.empty() && trim(piece) == piece, "split pieces are trimmed and not empty");
    fuzz_check(delimiter.empty() || piece.find(delimiter) == std::string::npos,
               "split pieces hold no delimiter");
    check_parse_int(piece);
  }
  fuzz_check(!delimiter.empty() || pieces.size() <= 1, "an empty delimiter gives the whole text");
  return 0;
}
