#include <pthread.h>
#include <signal.h>

#include "base/log_line.h"
#include "base/stop_signals.h"

namespace {

// Sent by the destructor to end the wait; the same signal from outside finds `ending`
// unset and is dropped.
const int kWakeSignal = SIGUSR2;

bool is_stop_signal(int signal_number) {
  return signal_number == SIGHUP || signal_number == SIGINT || signal_number == SIGTERM;
}

// The stop signals, and SIGUSR1 and SIGUSR2, which the gateway does not use: by default
// they would end the process on the spot.
sigset_t watched_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, signal_number);
  return set;
}

}  // namespace

void capture_stop_signals() {
  sigset_t set = watched_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::~StopSignalWatcher() {
  if (!thread.joinable()) return;
  ending = true;
  pthread_kill(thread.native_handle(), kWakeSignal);
  thread.join();
}

void StopSignalWatcher::start(std::function<void()> on_stop) {
  thread = std::thread([this, on_stop = std::move(on_stop)] {
    sigset_t set = watched_signals();
    int received = 0;
    while (sigwait(&set, &received) == 0) {
      if (is_stop_signal(received)) {
        LogLine() << "STOP SIGNAL " << received;
        on_stop();
        return;
      }
      if (ending) return;
    }
  });
}
