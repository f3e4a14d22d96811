#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "base/clock.h"
#include "config/config_store.h"
#include "core/global_state.h"
#include "net/socket_headers.h"
#include "stats/stream_registry.h"

// A fresh directory below the system's temporary folder, removed with everything in it.
struct TempDir {
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }

  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("sluice-test-" + std::to_string(std::random_device()()));
};

inline std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Polls `condition` every 2 ms for up to 10 s; gives its last value.
inline bool wait_until(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// A port free on 127.0.0.1 at the moment of asking, for SOCK_STREAM or SOCK_DGRAM.
inline int free_port(int type) {
  int probe = ::socket(AF_INET, type, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// Stands in for MainApp: a configuration (every key at its default) in a temporary
// directory, the interfaces and route a test sets before it starts a server, a registry.
class FakeGlobalState final : public IGlobalState {
 public:
  ConfigStore& get_config() override { return config; }
  NetIfaceList get_interfaces() override { return interfaces; }
  void update(EndpointSet& set, const Settings&, const Route*) override { set = route; }
  StreamRegistry& get_streams() override { return streams; }

  TempDir dir;
  ConfigStore config{dir.file("config.ini")};
  NetIfaceList interfaces;
  EndpointSet route;
  StreamRegistry streams;
};

// Time that stands still until the test moves it on; its sleeps and waits look again
// every real millisecond. `reads` counts the readings, so a test knows that a wait has
// taken its start.
class FakeClock final : public Clock {
 public:
  TimePoint now() const override {
    ++reads;
    return TimePoint(elapsed.load());
  }
  void sleep_for(std::chrono::milliseconds) const override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bool wait_until(std::condition_variable&, std::unique_lock<std::mutex>& lock, TimePoint deadline,
                  const std::function<bool()>& done) const override {
    while (!done() && now() < deadline) {
      lock.unlock();
      sleep_for(std::chrono::milliseconds(1));
      lock.lock();
    }
    return done();
  }
  void advance(std::chrono::milliseconds by) { elapsed = elapsed.load() + by; }

  std::atomic<TimePoint::duration> elapsed{};
  mutable std::atomic<int> reads{0};
};
