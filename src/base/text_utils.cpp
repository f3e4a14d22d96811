#include "base/text_utils.h"

#include <charconv>

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    std::string whole = trim(text);
    if (!whole.empty()) pieces.push_back(whole);
    return pieces;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t found = text.find(delimiter, start);
    size_t end = found == std::string::npos ? text.size() : found;
    std::string piece = trim(text.substr(start, end - start));
    if (!piece.empty()) pieces.push_back(std::move(piece));
    if (found == std::string::npos) break;
    start = found + delimiter.size();
  }
  return pieces;
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string to_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<int> parse_int(std::string_view text) {
  LeadingInt leading = parse_leading_int(text);
  if (!leading.rest.empty()) return std::nullopt;
  return leading.value;
}

LeadingInt parse_leading_int(std::string_view text) {
  std::string_view number = text;
  if (!number.empty() && number.front() == '+') {
    number.remove_prefix(1);
    if (number.empty() || number.front() < '0' || number.front() > '9') return {std::nullopt, text};
  }
  int value = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc()) return {std::nullopt, text};
  return {value, number.substr(static_cast<size_t>(end - number.data()))};
}
