#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

// Ends the run with a message when a property of the fuzzed function does not hold;
// libFuzzer then keeps the input as a crash artifact.
inline void fuzz_check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

inline std::string fuzz_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Splits a fuzz input at its first line feed: "head\ntail". Without one, head is empty.
inline std::pair<std::string, std::string> fuzz_head_and_tail(const std::string& input) {
  size_t line_end = input.find('\n');
  if (line_end == std::string::npos) return {"", input};
  return {input.substr(0, line_end), input.substr(line_end + 1)};
}
