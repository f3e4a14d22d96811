#pragma once

#include <srt/srt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/periodic_task.h"
#include "srt/caller_admission.h"
#include "srt/rist_worker.h"
#include "stats/stream_registry.h"

class IGlobalState;

// The SRT listener: accepts callers on one port on a thread of its own and gives each
// accepted connection a RistWorker, which it owns. `admission` decides, before a
// caller's handshake completes, whether it may connect at all. Finished workers are destroyed at
// the next accepted connection or by the sweeper within seconds, and all of them at
// stop. Every started worker's figures go into `streams`, which the HTTP handlers read.
// `state` gives each caller its configuration and route; it must outlive the server.
// Threads: start, stop and the destructor on the owner's thread (MainApp's main
// thread); run and the sweep on `server_thread`, the sweep also on `sweeper`'s
// thread. stop joins `server_thread` before it touches the workers.
class SrtServer {
 public:
  explicit SrtServer(IGlobalState& application);
  ~SrtServer();
  SrtServer(const SrtServer&) = delete;
  SrtServer& operator=(const SrtServer&) = delete;

  // Binds and listens on port, then serves on the listener thread and returns at once.
  // False, with a log line naming the reason, when the port cannot be bound or listened
  // on; nothing runs then.
  bool start(int port);
  // Closes the listener, ends its thread, stops and destroys every worker. Repeatable.
  void stop();

  StreamRegistry& streams() { return stream_registry; }

 private:
  void run(SRTSOCKET socket);
  SRTSOCKET open_listener(int port);
  void close_listener();
  void serve(SRTSOCKET socket);
  void sweep_workers();
  void sweep_and_release_memory();

  IGlobalState& state;
  StreamRegistry stream_registry;
  // Installed on every listening socket, which stop closes before this is destroyed.
  CallerAdmission admission{state, stream_registry};
  std::atomic<bool> stop_requested{false};
  std::thread server_thread;  // owner's thread only

  // guarded by mutex
  std::mutex mutex;
  SRTSOCKET listener = 0;  // 0 when not listening; whoever exchanges it for 0 closes it
  std::vector<std::unique_ptr<RistWorker>> workers;

  std::atomic<size_t> destroyed_workers{0};
  // sweeper's thread only
  size_t destroyed_at_last_sweep = 0;
  int heap_releases_due = 0;
  // Declared last, so that its thread is joined before the workers are destroyed.
  PeriodicTask sweeper{std::chrono::seconds(5)};
};

// Reads the stream id a caller announced (SRT allows up to 512 bytes); false when it
// cannot be read.
bool read_stream_id(SRTSOCKET socket, std::string& stream_id);
