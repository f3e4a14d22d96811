#include <cerrno>
#include <system_error>

#include "base/system_error.h"

std::string system_error_text(int code) { return std::generic_category().message(code); }

int last_socket_error() { return errno; }
