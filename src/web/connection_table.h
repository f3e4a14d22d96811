#pragma once

#include <httplib.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

enum class Admission { admitted, workers_scarce, closing };

// The connections that HTTP workers are serving, by socket and by the client's
// address. While workers are plenty, any address may hold as many as it likes; once
// admitting one more would leave fewer than `reserve` of the `workers` free, the address
// that holds the most is refused, so that one slow or hostile client cannot keep the
// others out. At shutdown it ends every connection, so that no worker waits on a slow
// client. `admit` and `release` run on the workers, `close_all` on the thread that
// stops the server; a mutex guards everything.
class ConnectionTable {
 public:
  ConnectionTable(std::size_t workers, std::size_t reserve) : pool_size(workers), kept_free(reserve) {}

  // Takes the connection in, unless workers are scarce and its address holds the most,
  // or the server is stopping. A connection that was admitted must be released before
  // its socket is closed.
  Admission admit(socket_t sock, const std::string& address);
  void release(socket_t sock);
  // Shuts every admitted socket down (their workers see the end at once) and admits
  // nothing from now on.
  void close_all();

 private:
  // True when address holds connections and no other address holds more.
  bool holds_the_most(const std::string& address) const;

  const std::size_t pool_size;
  const std::size_t kept_free;
  std::mutex mutex;
  bool closing = false;
  std::map<socket_t, std::string> address_of;
  std::map<std::string, std::size_t> count_of;
};
