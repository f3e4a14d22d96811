#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

constexpr size_t npos = std::string::npos;

// Ends the run with a message when a property of the fuzzed function does not hold;
// libFuzzer then keeps the input as a crash artifact.
inline void fuzz_check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

// Splits a fuzz input at its first line feed: "head\ntail". Without one, head is empty.
inline std::pair<std::string, std::string> fuzz_head_and_tail(const std::string& input) {
  size_t line_end = input.find('\n');
  if (line_end == std::string::npos) return {"", input};
  return {input.substr(0, line_end), input.substr(line_end + 1)};
}

// The pieces of text between the separators (any of `separators`), empty ones kept.
inline std::vector<std::string> fuzz_pieces(const std::string& text, std::string_view separators) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (separators.find(c) == std::string_view::npos)
      pieces.back() += c;
    else
      pieces.emplace_back();
  }
  return pieces;
}
