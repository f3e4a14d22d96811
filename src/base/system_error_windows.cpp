#include <winsock2.h>

#include "base/system_error.h"

std::string system_error_text(int code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0) return "error " + std::to_string(code);
  std::string message(text, length);
  LocalFree(text);
  // The system's texts end with a line break.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

int last_socket_error() { return WSAGetLastError(); }
