#pragma once

#include <string>

// The system's own description of an error code that a system call left: strerror's
// text on Linux; FormatMessage's on Windows, which covers both GetLastError's and the
// Windows Sockets' codes.
std::string system_error_text(int code);

// The code the last failed socket call of the calling thread left: errno on Linux,
// WSAGetLastError on Windows.
int last_socket_error();
