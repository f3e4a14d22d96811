// Outside text through the text helpers; input "delimiter\ntext". The log and JSON
// escapes leave no control byte (nor DEL in the log) and read back; split gives
// trimmed pieces without the delimiter; parse_int reads the signed 32-bit decimals.

#include <cerrno>
#include <climits>
#include <optional>

#include "base/log_escape.h"
#include "base/text_utils.h"
#include "fuzz_check.h"
#include "web/state_document.h"

namespace {

// Reads escapes back: "\\" + a letter of `from` gives the byte at its place in `to`,
// "\\" + `hex` the byte of the next `digits` hex digits. No byte of `bare` stands alone.
std::string unescape(const std::string& text, const std::string& from, const std::string& to, char hex,
                     size_t digits, const std::string& bare) {
  std::string raw;
  for (size_t i = 0; i < text.size(); ++i) {
    fuzz_check(static_cast<unsigned char>(text[i]) >= 0x20, "no control byte");
    if (text[i] != '\\') {
      fuzz_check(bare.find(text[i]) == npos, "no bare byte that must be escaped");
      raw += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == hex && i + 1 + digits < text.size()) {
      raw += static_cast<char>(std::strtol(text.substr(i + 2, digits).c_str(), nullptr, 16));
      i += 1 + digits;
    } else {
      fuzz_check(i + 1 < text.size() && from.find(text[i + 1]) != npos, "only known escapes");
      raw += to[from.find(text[++i])];
    }
  }
  return raw;
}

void check_parse_int(const std::string& text) {
  size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  bool digits = text.size() > start && text.find_first_not_of("0123456789", start) == npos;
  errno = 0;
  long long value = digits ? std::strtoll(text.c_str(), nullptr, 10) : 0;
  bool fits = digits && errno == 0 && value >= INT_MIN && value <= INT_MAX;
  fuzz_check(parse_int(text) == (fits ? std::optional<int>(static_cast<int>(value)) : std::nullopt),
             "parse_int reads exactly the whole decimal numbers");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string logged = escape_for_log(input);
  fuzz_check(unescape(logged, "nrt\\", "\n\r\t\\", 'x', 2, "\x7F") == input, "the log escape reads back");
  for (size_t i = 0; i + 1 < logged.size(); ++i)
    fuzz_check(logged[i] != '\xC2' || static_cast<unsigned char>(logged[i + 1]) > 0x9F, "no C1 control");
  fuzz_check(unescape(json_escape(input), "\"\\", "\"\\", 'u', 4, "\"") == input,
             "the JSON escape reads back");
  auto [delimiter, text] = fuzz_head_and_tail(input);
  check_parse_int(text);
  std::vector<std::string> pieces = split(text, delimiter);
  fuzz_check(!delimiter.empty() || pieces.size() <= 1, "an empty delimiter gives the whole text");
  for (const std::string& piece : pieces) {
    fuzz_check(!piece.empty() && trim(piece) == piece, "split pieces are trimmed and not empty");
    fuzz_check(delimiter.empty() || piece.find(delimiter) == npos, "split pieces hold no delimiter");
    check_parse_int(piece);
  }
  return 0;
}
