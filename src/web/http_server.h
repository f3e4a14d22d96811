#pragma once

#include <httplib.h>

#include <string>

#include "web/connection_table.h"
#include "web/http_limits.h"

// cpp-httplib's server with the bounds a gateway on a shared network needs: a pool of
// kWorkerThreads workers, of which the address that holds the most gets no more once
// fewer than kReservedWorkers are free (ConnectionTable), every request bounded in time
// and bytes (ConnectionStream), Range headers that would multiply an answer ignored,
// and a listening port that no second process can share. Owns the table of connections
// being served. The library calls `process_and_close_socket` on a pool worker for every
// accepted connection; `close_connections` may be called from any thread.
class HttpServer : public httplib::Server {
 public:
  HttpServer();

  // The library's bind_to_port, with a listen backlog of kListenBacklog.
  bool bind_to_port(const std::string& host, int port, int socket_flags = 0);

  // Ends every connection now being served and refuses the ones still queued: called
  // after `stop`, so that stopping never waits for a slow client.
  void close_connections();

 private:
  // Takes the place of the library's own loop over the requests of a connection.
  bool process_and_close_socket(socket_t sock) override;
  bool serve(socket_t sock);

  ConnectionTable connections{kWorkerThreads, kReservedWorkers};
};
