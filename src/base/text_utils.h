#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Cuts text at every occurrence of delimiter; pieces are trimmed and empty ones dropped.
std::vector<std::string> split(const std::string& text, const std::string& delimiter);

// Removes spaces, tabs, CR and LF at both ends; every other byte stays.
std::string trim(const std::string& text);

// Lower-cases the ASCII letters A-Z; every other byte stays.
std::string to_lower(std::string text);

bool starts_with(const std::string& text, const std::string& prefix);

// The whole text as a signed 32-bit decimal number (an optional leading '+' or '-'),
// or nothing when it is not one or does not fit.
std::optional<int> parse_int(std::string_view text);

// The signed 32-bit decimal number at the start of a text and the text after it, as
// in "7000 // main" or "200ms". No value when the text does not start with a number
// or the number does not fit; `rest` is then the whole text.
struct LeadingInt {
  std::optional<int> value;
  std::string_view rest;
};
LeadingInt parse_leading_int(std::string_view text);
