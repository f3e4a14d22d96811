#include "web/web_server.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/system_error.h"
#include "base/text_utils.h"
#include "config/config_store.h"
#include "config/settings.h"
#include "core/global_state.h"
#include "stats/stream_registry.h"
#include "web/bearer_token.h"
#include "web/host_names.h"
#include "web/http_limits.h"
#include "web/metrics_text.h"
#include "web/request_screen.h"
#include "web/socket_io.h"
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

// The parameters of a request: those of its query string, then those of a form body,
// in the order the library collects them. The library's own reading stops at 8192
// bytes of form; this one takes a body up to kMaxRequestBodyBytes, which a whole
// config.ini needs. `failure` is the answer when the body could not be read.
struct Form {
  httplib::Params params;
  std::optional<HttpRefusal> failure;
};

Form read_form(const httplib::Request& request, const httplib::ContentReader& body_reader) {
  Form form{request.params, std::nullopt};
  // Any other body is left unread: it is no form, and its connection ends after the answer.
  if (!carries_body(request) ||
      !starts_with(request.get_header_value("Content-Type"), "application/x-www-form-urlencoded")) {
    return form;
  }
  std::string body;
  bool too_long = false;
  bool complete = body_reader([&](const char* data, size_t length) {
    too_long = body.size() + length > kMaxRequestBodyBytes;
    if (!too_long) body.append(data, length);
    return !too_long;
  });
  if (too_long) {
    form.failure = HttpRefusal{413, "the configuration is longer than the " +
                                        std::to_string(kMaxRequestBodyBytes) + " bytes this gateway takes\n"};
  } else if (!complete) {
    form.failure = HttpRefusal{400, "the request body could not be read\n"};
  } else {
    // The library's own parser of form text, which it applies to the bodies it reads.
    httplib::detail::parse_query_text(body, form.params);
  }
  return form;
}

// One line per value that cannot be applied: "key, line N: reason".
std::string problems_text(const std::vector<SettingsProblem>& problems) {
  std::string text;
  for (const SettingsProblem& problem : problems) text += describe(problem) + "\n";
  return text;
}

// The first value of a parameter, as the library's get_param_value gives it.
std::optional<std::string> first_value(const httplib::Params& params, const std::string& key) {
  auto found = params.lower_bound(key);
  if (found == params.end() || found->first != key) return std::nullopt;
  return found->second;
}

}  // namespace

WebServer::WebServer(IGlobalState& application)
    : state(application), machine_name(to_lower(this_host_name())) {
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // The library writes an answer's head and body separately; with Nagle's algorithm the
  // body waits for the client's delayed acknowledgement, about 40 ms per request.
  server.set_tcp_nodelay(true);
  // Runs on the library's worker threads before any route or static file is matched,
  // and before any body is read.
  server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    // Read at each request, so that a newly posted token counts from the next request on.
    std::string token = state.get_config().snapshot()->web_token;
    if (std::optional<HttpRefusal> refusal = refusal_for(request, token)) {
      response.status = refusal->status;
      response.set_content(refusal->reason, "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    return check_access(request, response, token);
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
  server.Post("/api/config", [this](const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& body_reader) {
    handle_config_post(request, response, body_reader);
  });
  server.Get("/api/streams", [this](const httplib::Request& request, httplib::Response& response) {
    handle_streams(request, response);
  });
  server.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
    handle_metrics(request, response);
  });
}

bool WebServer::start(const std::string& host, int listen_port, std::string web_folder) {
  port = listen_port;
  server.set_mount_point("", web_folder);
  LogLine() << "START WEB SERVER: " << port << "  web folder: " << escape_for_log(web_folder);
  serving = true;
  bool failed = !stop_requested && !server.bind_to_port(host, port);
  if (failed) {
    int reason = last_socket_error();  // left by the failed bind or listen
    LogLine() << "*** WEB SERVER CANNOT LISTEN ON PORT " << port << ": " << system_error_text(reason);
  } else if (!stop_requested) {
    server.listen_after_bind();
  }
  serving = false;
  return !failed;
}

void WebServer::stop() {
  stop_requested = true;
  server.stop();
  server.close_connections();
  // The library only stops a loop that already runs: repeat until start has returned.
  while (serving) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.stop();
  }
}

std::optional<HttpRefusal> WebServer::refusal_for(const httplib::Request& request,
                                                  const std::string& token) const {
  std::optional<HttpRefusal> refusal = screen_request(request);
  // Without a token, a page under a name that was pointed at this address could read
  // and change everything; a request without Host (HTTP/1.0) comes from no browser.
  if (!refusal && token.empty() && request.has_header("Host") &&
      !names_this_host(request.get_header_value("Host"), machine_name)) {
    refusal =
        HttpRefusal{403,
                    "without web_token this gateway answers only when the Host header is an IP address, "
                    "localhost or the machine's name\n"};
  }
  return refusal;
}

httplib::Server::HandlerResponse WebServer::check_access(const httplib::Request& request,
                                                         httplib::Response& response,
                                                         const std::string& token) {
  if (!needs_token(request.path) || token.empty()) return httplib::Server::HandlerResponse::Unhandled;
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
  response.set_content(state_document(state.get_interfaces(), state.get_config().snapshot()->routes),
                       "application/json");
}

// The stream handlers do not take api_mutex: the registry is safe to read from any
// number of threads, and a scrape need not wait for a configuration save.
void WebServer::handle_streams(const httplib::Request&, httplib::Response& response) {
  response.set_content(streams_document(state.get_streams().snapshot()), "application/json");
}

void WebServer::handle_metrics(const httplib::Request&, httplib::Response& response) {
  StreamRegistry& streams = state.get_streams();
  ProcessFigures process{streams.accepted_total(), state.get_interfaces(), streams.refused_totals()};
  response.set_content(metrics_text(streams.snapshot(), process), "text/plain; version=0.0.4; charset=utf-8");
}

void WebServer::handle_config_get(const httplib::Request&, httplib::Response& response) {
  std::lock_guard<std::mutex> lock(api_mutex);
  response.set_content(state.get_config().read_text(), "text/plain");
}

void WebServer::handle_config_post(const httplib::Request& request, httplib::Response& response,
                                   const httplib::ContentReader& body_reader) {
  Form form = read_form(request, body_reader);
  if (form.failure) {
    response.status = form.failure->status;
    response.set_content(form.failure->reason, "text/plain");
    return;
  }
  std::optional<std::string> config = first_value(form.params, "config");
  std::lock_guard<std::mutex> lock(api_mutex);
  if (!config) {
    response.status = 400;
    response.set_content("the request has no \"config\" field\n", "text/plain");
    return;
  }
  ApplyOutcome outcome = state.get_config().apply(*config, true);
  switch (outcome.result) {
    case ApplyResult::applied:
      break;
    case ApplyResult::bad_format:
      LogLine() << "fail apply config";
      response.status = 400;
      response.set_content("the text holds no \"key = value\" line\n", "text/plain");
      break;
    case ApplyResult::bad_values:
      LogLine() << "fail apply config";
      response.status = 400;
      response.set_content(problems_text(outcome.problems), "text/plain");
      break;
    case ApplyResult::save_failed:
      LogLine() << "fail apply config";
      response.status = 500;
      response.set_content("config.ini could not be written\n", "text/plain");
      break;
  }
}
