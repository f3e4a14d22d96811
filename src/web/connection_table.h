#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

enum class Admission { admitted, address_full, closing };

// The connections that HTTP workers are serving, by socket and by the client's
// address. It caps the connections one address may hold at a time, and at shutdown it
// ends every one of them, so that no worker waits on a slow client. `admit` and
// `release` run on the workers, `close_all` on the thread that stops the server; a
// mutex guards everything.
class ConnectionTable {
 public:
  explicit ConnectionTable(std::size_t limit) : per_address(limit) {}

  // Takes the connection in, unless its address already holds the most it may or the
  // server is stopping. A connection that was admitted must be released before its
  // socket is closed.
  Admission admit(socket_t sock, const std::string& address);
  void release(socket_t sock);
  // Shuts every admitted socket down (their workers see the end at once) and admits
  // nothing from now on.
  void close_all();

 private:
  const std::size_t per_address;
  std::mutex mutex;
  bool closing = false;
  std::map<socket_t, std::string> address_of;
  std::map<std::string, std::size_t> count_of;
};
