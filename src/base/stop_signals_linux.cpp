#include <pthread.h>
#include <signal.h>

#include "base/log_line.h"
#include "base/stop_signals.h"

namespace {

// Sent by the destructor to end the wait when no stop signal came.
const int kWakeSignal = SIGUSR2;

sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

}  // namespace

void capture_stop_signals() {
  sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::~StopSignalWatcher() {
  if (!thread.joinable()) return;
  pthread_kill(thread.native_handle(), kWakeSignal);
  thread.join();
}

void StopSignalWatcher::start(std::function<void()> on_stop) {
  thread = std::thread([on_stop = std::move(on_stop)] {
    sigset_t set = watched_signals();
    int received = 0;
    if (sigwait(&set, &received) != 0 || received == kWakeSignal) return;
    LogLine() << "STOP SIGNAL " << received;
    on_stop();
  });
}
