#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/access_settings.h"
#include "config/config_parser.h"
#include "config/endpoint_settings.h"
#include "config/routes.h"
#include "config/uplink_mode.h"

// Every setting the gateway knows, parsed and checked once, where the text comes in
// (ConfigStore). Each field holds its documented default until the text sets it.
// Published as a shared_ptr<const Settings> and never changed after: a caller or a
// request reads all its values from one of them.
struct Settings {
  int srt_port = 9001;         // 1-65535
  int web_port = 8081;         // 1-65535
  int srt_latency = 120;       // ms, 0 up
  int srt_max_latency = 5000;  // ms, 20-60000
  std::vector<RistDestination> rist_endpoint;
  RouteTable routes;                // a stream without a route goes to rist_endpoint
  std::vector<std::string> ignore;  // interface names or addresses that must not send
  std::optional<TalkbackEndpoint> tb_endpoint;
  UplinkMode uplink_mode = UplinkMode::balance;
  std::string web_token;  // empty: no check
  AccessSettings access;
};

// A value that cannot be applied. `reason` may quote the value, never a passphrase;
// `instead` is what a file loaded at start gets in its place.
struct SettingsProblem {
  std::string key;
  int line = 0;
  std::string reason;
  std::string instead;
};

// "key, line N: reason", as the HTTP answer and the log show it.
std::string describe(const SettingsProblem& problem);

struct ParsedSettings {
  std::vector<ConfigEntry> entries;  // the accepted "key = value" lines
  Settings settings;                 // with every problem's `instead` applied
  std::vector<SettingsProblem> problems;
  std::vector<std::string> warnings;  // values taken, with text that was ignored
};

// Parses a config.ini text. The first entry of a key counts; unknown keys are allowed,
// so that files written for other versions load. An empty value leaves its key at the
// default, except for a route key, where it names no destination. Pure: writes nothing
// to the log.
ParsedSettings parse_settings(const std::string& text);
