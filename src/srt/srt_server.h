#pragma once

#include <srt/srt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rist/rist_worker.h"

// The SRT listener: accepts callers on one port on a thread of its own and gives each
// accepted connection a RistWorker, which it owns. Finished workers are destroyed at
// the next accepted connection and all of them at stop.
// Threads: start, stop and the destructor on the owner's thread (MainApp's main
// thread); run and the sweep on `server_thread`. stop joins `server_thread` before it
// touches the workers.
class SrtServer {
 public:
  SrtServer() = default;
  ~SrtServer();
  SrtServer(const SrtServer&) = delete;
  SrtServer& operator=(const SrtServer&) = delete;

  // Starts the listener thread on port and returns at once.
  void start(int port);
  // Closes the listener, ends its thread, stops and destroys every worker. Repeatable.
  void stop();

 private:
  void run(int port);
  SRTSOCKET open_listener(int port);
  void close_listener();
  void serve(SRTSOCKET socket);
  void sweep_workers();

  std::atomic<bool> stop_requested{false};
  std::thread server_thread;  // owner's thread only

  // guarded by mutex
  std::mutex mutex;
  SRTSOCKET listener = 0;  // 0 when not listening; whoever exchanges it for 0 closes it
  std::vector<std::unique_ptr<RistWorker>> workers;
};

// Reads the stream id a caller announced (SRT allows up to 512 bytes); false when it
// cannot be read.
bool read_stream_id(SRTSOCKET socket, std::string& stream_id);
