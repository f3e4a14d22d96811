#include <windows.h>

#include <atomic>

#include "base/log_line.h"
#include "base/stop_signals.h"

namespace {

const DWORD kNoEvent = MAXDWORD;

// The console event that asked for the stop; the first one counts.
std::atomic<DWORD> received_event{kNoEvent};

// Set by the console handler on a stop request and by the watcher's destructor to end
// the wait; never reset, the process stops once.
HANDLE wake_event() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// Runs on a thread the system starts for each console event.
BOOL WINAPI on_console_event(DWORD event) {
  // Only services see a logoff, and a gateway that runs as one outlives the user's session.
  if (event == CTRL_LOGOFF_EVENT) return TRUE;
  DWORD none = kNoEvent;
  received_event.compare_exchange_strong(none, event);
  SetEvent(wake_event());
  // After a close or shutdown event the system ends the process as soon as the handler
  // returns: hold it here so that main can finish the orderly stop and return. The
  // system still ends the process when its own time limit for the event is up.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void capture_stop_signals() {
  wake_event();
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

StopSignalWatcher::~StopSignalWatcher() {
  if (!thread.joinable()) return;
  SetEvent(wake_event());
  thread.join();
}

void StopSignalWatcher::start(std::function<void()> on_stop) {
  thread = std::thread([on_stop = std::move(on_stop)] {
    WaitForSingleObject(wake_event(), INFINITE);
    DWORD received = received_event.load();
    if (received == kNoEvent) return;
    LogLine() << "STOP SIGNAL " << received;
    on_stop();
  });
}
