#include "web/web_server.h"

#include <chrono>
#include <thread>

#include "app/global_state.h"
#include "app/log_line.h"
#include "config/config_store.h"
#include "config/text_utils.h"
#include "stats/stream_registry.h"
#include "web/bearer_token.h"
#include "web/metrics_text.h"
#include "web/state_document.h"
#include "web/streams_document.h"

namespace {

// An idle keep-alive connection holds a worker, and stopping the server waits for every
// worker. A browser that polls the page keeps one open all the time, so the library's
// 5 s would delay every stop by up to 5 s; one second still spares the reconnects.
const time_t kKeepAliveSeconds = 1;

// Every path under "/api" is checked, also those that no route serves yet, and the
// metrics page, which tells as much about the streams as "/api/streams".
bool needs_token(const std::string& path) {
  return path == "/api" || starts_with(path, "/api/") || path == "/metrics";
}

}  // namespace

WebServer::WebServer() {
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // The library writes an answer's head and body separately; with Nagle's algorithm the
  // body waits for the client's delayed acknowledgement, about 40 ms per request.
  server.set_tcp_nodelay(true);
  // Runs on the library's worker threads before any route or static file is matched.
  server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    return check_access(request, response);
  });
  server.Get("/hi", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("Hello from server", "text/plain");
  });
  register_routes();
}

void WebServer::register_routes() {
  server.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
    handle_state(request, response);
  });
  server.Get("/api/config", [this](const httplib::Request& request, httplib::Response& response) {
    handle_config_get(request, response);
  });
  server.Post("/api/config", [this](const httplib::Request& request, httplib::Response& response) {
    handle_config_post(request, response);
  });
  server.Get("/api/streams", [this](const httplib::Request& request, httplib::Response& response) {
    handle_streams(request, response);
  });
  server.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
    handle_metrics(request, response);
  });
}

void WebServer::start(int port, std::string web_folder) {
  this->port = port;
  server.set_mount_point("", web_folder);
  LogLine() << "START WEB SERVER: " << port << "  web folder: " << web_folder;
  serving = true;
  if (!stop_requested && server.bind_to_port("0.0.0.0", port)) {
    server.listen_after_bind();
  } else if (!stop_requested) {
    LogLine() << "-- WEB SERVER CANNOT LISTEN ON PORT " << port;
  }
  serving = false;
}

void WebServer::stop() {
  stop_requested = true;
  server.stop();
  // The library only stops a loop that already runs: repeat until start has returned.
  while (serving) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.stop();
  }
}

httplib::Server::HandlerResponse WebServer::check_access(const httplib::Request& request,
                                                         httplib::Response& response) {
  if (!needs_token(request.path)) return httplib::Server::HandlerResponse::Unhandled;
  // Read at each request, so that a newly posted token counts from the next request on.
  std::string token = global_state->get_config().get("web_token", "");
  if (token.empty()) return httplib::Server::HandlerResponse::Unhandled;
  if (bearer_token_matches(request.get_header_value("Authorization"), token)) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  response.status = 401;
  response.set_header("WWW-Authenticate", "Bearer");
  const char* reason = request.has_header("Authorization")
                           ? "the access token is wrong\n"
                           : "this gateway needs the header \"Authorization: Bearer <web_token>\"\n";
  response.set_content(reason, "text/plain");
  return httplib::Server::HandlerResponse::Handled;
}

void WebServer::handle_state(const httplib::Request&, httplib::Response& response) {
  std::lock_guard<std::mutex> lock(api_mutex);
  response.set_content(state_document(global_state->get_interfaces()), "application/json");
}

// The stream handlers do not take api_mutex: the registry is safe to read from any
// number of threads, and a scrape need not wait for a configuration save.
void WebServer::handle_streams(const httplib::Request&, httplib::Response& response) {
  response.set_content(streams_document(global_state->get_streams().snapshot()), "application/json");
}

void WebServer::handle_metrics(const httplib::Request&, httplib::Response& response) {
  StreamRegistry& streams = global_state->get_streams();
  ProcessFigures process{streams.accepted_total(), global_state->get_interfaces(), streams.refused_totals()};
  response.set_content(metrics_text(streams.snapshot(), process), "text/plain; version=0.0.4; charset=utf-8");
}

void WebServer::handle_config_get(const httplib::Request&, httplib::Response& response) {
  std::lock_guard<std::mutex> lock(api_mutex);
  response.set_content(global_state->get_config().read_text(), "text/plain");
}

void WebServer::handle_config_post(const httplib::Request& request, httplib::Response& response) {
  std::lock_guard<std::mutex> lock(api_mutex);
  if (!request.has_param("config")) {
    response.status = 400;
    response.set_content("the request has no \"config\" field\n", "text/plain");
    return;
  }
  switch (global_state->get_config().apply(request.get_param_value("config"), true)) {
    case ApplyResult::applied:
      break;
    case ApplyResult::bad_format:
      LogLine() << "fail apply config";
      response.status = 400;
      response.set_content("the text holds no \"key = value\" line\n", "text/plain");
      break;
    case ApplyResult::save_failed:
      LogLine() << "fail apply config";
      response.status = 500;
      response.set_content("config.ini could not be written\n", "text/plain");
      break;
  }
}
