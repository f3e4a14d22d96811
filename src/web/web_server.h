#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "web/http_server.h"
#include "web/request_screen.h"

class IGlobalState;

// The HTTP control server: static files of the web folder, "/hi", the state document,
// the configuration text, the streams document and the metrics page. Requests that
// `screen_request` refuses are answered before anything else. When `web_token` is
// set, every request under "/api" and to "/metrics" must present it as a bearer token
// or is answered 401; when it is not, every request must name this machine as its Host
// (`names_this_host`) or is answered 403. `start` runs the accept loop on the calling
// thread (the main thread) until `stop`; handlers run on the library's worker pool and
// reach the rest of the system through `state`, which must outlive the server. `stop`
// may be called from any thread.
class WebServer {
 public:
  explicit WebServer(IGlobalState& application);
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds host:port and serves until stopped; returns at once when the port cannot be
  // bound (false, with a log line) or stop came first (true).
  bool start(const std::string& host, int listen_port, std::string web_folder);
  // Ends the accept loop; also when it has not begun listening yet.
  void stop();

 private:
  void register_routes();
  // The answer for a request refused before it is routed, or nothing: those of
  // `screen_request`, and without a token 403 for a Host that does not name this machine.
  std::optional<HttpRefusal> refusal_for(const httplib::Request& request, const std::string& token) const;
  // Answers 401 and ends the request when it needs the access token and lacks it.
  httplib::Server::HandlerResponse check_access(const httplib::Request& request, httplib::Response& response,
                                                const std::string& token);
  void handle_state(const httplib::Request& request, httplib::Response& response);
  void handle_config_get(const httplib::Request& request, httplib::Response& response);
  void handle_config_post(const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& body_reader);
  void handle_streams(const httplib::Request& request, httplib::Response& response);
  void handle_metrics(const httplib::Request& request, httplib::Response& response);

  IGlobalState& state;
  // lower-case, read once at construction
  const std::string machine_name;
  int port = 0;
  HttpServer server;
  // held by each API handler for its whole run
  std::mutex api_mutex;
  // handshake between start (main thread) and stop (any thread)
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> serving{false};
};
