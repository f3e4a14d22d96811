#pragma once

#include <string>
#include <string_view>

// Text from outside the gateway (a caller's stream id, a posted configuration, a value
// or URL from config.ini, what an HTTP client sent) as it may stand inside a log line,
// where it can neither end the line nor steer a terminal: line feed, carriage return
// and tab are shown as \n, \r and \t, other control characters and DEL as \xHH (ESC as
// \x1b), a backslash as \\, and every byte that is not part of well-formed UTF-8, or
// that belongs to a C1 control character (U+0080 to U+009F), as \xHH. Everything else,
// other languages' letters included, stays as it is.
std::string escape_for_log(std::string_view text);
