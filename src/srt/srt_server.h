#pragma once

// The SRT listener: accepts callers on one port and gives each a worker.
class SrtServer {
 public:
  SrtServer() = default;
  ~SrtServer();
  SrtServer(const SrtServer&) = delete;
  SrtServer& operator=(const SrtServer&) = delete;

  void start(int port);
  void stop();
};
