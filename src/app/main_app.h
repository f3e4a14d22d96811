#pragma once

#include <shared_mutex>
#include <string>

#include "base/periodic_task.h"
#include "base/stop_signals.h"
#include "config/config_store.h"
#include "core/global_state.h"
#include "net/net_iface.h"
#include "srt/srt_server.h"
#include "web/web_server.h"

// The thread that rebuilds the interface list every 30 s.
using InterfaceMonitor = PeriodicTask;

// The running gateway. The constructor starts everything and then serves HTTP on the
// calling (main) thread until the web server stops; the destructor stops the rest.
// When config.ini exists but cannot be read, or a port cannot be bound, the constructor
// returns at once and `failed_start` says why, so that main can exit with a failure
// status after the orderly stop.
// `update` runs on the SRT listener thread, `get_interfaces` and `get_config` on
// HTTP workers too; `ifaces` is guarded by `ifaces_lock`. Members are destroyed in
// reverse order: the signal watcher and the interface monitor are joined first.
class MainApp final : public IGlobalState {
 public:
  MainApp();
  ~MainApp();
  MainApp(const MainApp&) = delete;
  MainApp& operator=(const MainApp&) = delete;

  // Empty when the gateway started and served until it was asked to stop.
  const std::string& failed_start() const;

  ConfigStore& get_config() override;
  NetIfaceList get_interfaces() override;
  void update(EndpointSet& set, const Settings& settings, const Route* route) override;
  StreamRegistry& get_streams() override;

 private:
  void refresh_interfaces();

  ConfigStore config;
  SrtServer srt_server{*this};
  WebServer web_server{*this};
  NetIfaceList ifaces;
  std::shared_mutex ifaces_lock;
  InterfaceMonitor interface_monitor{std::chrono::seconds(30)};
  StopSignalWatcher stop_signal_watcher;
  // set by the constructor, read by main
  std::string start_failure;
};
