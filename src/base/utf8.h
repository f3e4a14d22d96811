#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence that starts at text[at] (1 to 4 bytes),
// or 0 when the bytes there are not one: a stray continuation byte, a cut sequence, an
// overlong form, a surrogate or a code point above U+10FFFF.
size_t utf8_sequence_length(std::string_view text, size_t at);

// text with every byte that is not part of a well-formed sequence replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);
