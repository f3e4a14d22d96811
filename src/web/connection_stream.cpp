#include "web/connection_stream.h"

#include <algorithm>
#include <cstring>

#include "web/http_limits.h"
#include "web/socket_io.h"

ConnectionStream::ConnectionStream(socket_t socket, std::chrono::milliseconds timeout)
    : sock(socket), write_timeout(timeout) {}

bool ConnectionStream::wait_for_request(std::chrono::milliseconds idle) {
  return buffer_begin < buffer_end || wait_until_readable(sock, idle);
}

void ConnectionStream::begin_request() {
  request_deadline = Clock::now() + kRequestArrivalTime;
  request_bytes_left = kMaxRequestHeadBytes;
}

void ConnectionStream::begin_body() {
  // With room for the framing of a chunked body, whose content is bounded where it
  // is read.
  request_bytes_left = kMaxRequestBodyBytes + kMaxRequestHeadBytes;
}

std::chrono::milliseconds ConnectionStream::time_left() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(request_deadline - Clock::now());
}

bool ConnectionStream::is_readable() const {
  return buffer_begin < buffer_end || (time_left().count() > 0 && wait_until_readable(sock, time_left()));
}

bool ConnectionStream::is_writable() const { return wait_until_writable(sock, write_timeout); }

long ConnectionStream::fill_buffer() {
  if (time_left().count() <= 0 || !wait_until_readable(sock, time_left())) return -1;
  long received = receive_some(sock, buffer.data(), buffer.size());
  if (received > 0) {
    buffer_begin = 0;
    buffer_end = static_cast<std::size_t>(received);
  }
  return received;
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  if (request_bytes_left == 0) return -1;
  if (buffer_begin == buffer_end) {
    long received = fill_buffer();
    if (received <= 0) return received;
  }
  std::size_t count = std::min({size, buffer_end - buffer_begin, request_bytes_left});
  std::memcpy(ptr, buffer.data() + buffer_begin, count);
  buffer_begin += count;
  request_bytes_left -= count;
  return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  std::size_t written = 0;
  while (written < size) {
    if (!wait_until_writable(sock, write_timeout)) return -1;
    long sent = send_some(sock, ptr + written, size - written);
    if (sent < 0) return -1;
    written += static_cast<std::size_t>(sent);
  }
  return static_cast<ssize_t>(written);
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  peer_endpoint(sock, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  local_endpoint(sock, ip, port);
}

socket_t ConnectionStream::socket() const { return sock; }
