#include "app/main_app.h"

#include <mutex>

#include "app/endpoint_routes.h"
#include "base/log_line.h"
#include "config/paths.h"
#include "net/interfaces.h"

IGlobalState* global_state = nullptr;

MainApp::MainApp() : config(config_path()) {
  global_state = this;
  if (!config.load()) {
    start_failure = "config.ini cannot be read";
    return;
  }
  // The interface list is complete, under its lock, before the listener starts: the
  // first caller accepted is routed over every network.
  refresh_interfaces();
  std::shared_ptr<const Settings> settings = config.snapshot();
  int srt_port = settings->srt_port;
  LogLine() << "LISTENER PORT:" << srt_port;
  if (!srt_server.start(srt_port)) {
    start_failure = "the SRT port " + std::to_string(srt_port) + " cannot be used";
    return;
  }
  interface_monitor.start([this] { refresh_interfaces(); });
  int web_port = settings->web_port;
  stop_signal_watcher.start([this] { web_server.stop(); });
  if (!web_server.start("0.0.0.0", web_port, web_folder_path())) {
    start_failure = "the web port " + std::to_string(web_port) + " cannot be used";
  }
}

MainApp::~MainApp() {
  srt_server.stop();
  web_server.stop();
}

const std::string& MainApp::failed_start() const { return start_failure; }

ConfigStore& MainApp::get_config() { return config; }

StreamRegistry& MainApp::get_streams() { return srt_server.streams(); }

NetIfaceList MainApp::get_interfaces() {
  std::shared_lock<std::shared_mutex> lock(ifaces_lock);
  return ifaces;
}

void MainApp::update(EndpointSet& set, const Settings& settings, const Route* route) {
  NetIfaceList interfaces = get_interfaces();
  LogLine() << "update " << interfaces.size();
  fill_endpoint_set(set, settings, interfaces, route);
}

void MainApp::refresh_interfaces() {
  std::unique_lock<std::shared_mutex> lock(ifaces_lock);
  ifaces = enumerate_interfaces();
}
