#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

// One accepted HTTP connection as the library reads and writes it, with the bounds the
// library's own socket stream lacks: each request must arrive within a time and a
// number of bytes counted from its start, so a client that trickles a request or
// sends one without end is cut off. It reads ahead into a buffer of its own, which it
// keeps from one request to the next on the connection. Owned and used by the one
// worker thread that serves the connection; it never closes the socket.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(socket_t socket, std::chrono::milliseconds timeout);

  // Waits up to idle for the next request to begin; false when none came or the
  // connection ended.
  bool wait_for_request(std::chrono::milliseconds idle);
  // Starts the clock of the request that has begun and bounds its head...
  void begin_request();
  // ...then, once the head is read, its body. The clock runs on.
  void begin_body();

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override;

 private:
  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds time_left() const;
  // Receives more bytes into the empty buffer: their count, 0 at the end, -1 on an
  // error or when the request ran out of time.
  long fill_buffer();

  const socket_t sock;
  const std::chrono::milliseconds write_timeout;
  Clock::time_point request_deadline;
  std::size_t request_bytes_left = 0;
  std::array<char, 4096> buffer{};
  std::size_t buffer_begin = 0;
  std::size_t buffer_end = 0;
};
