#include <srt/srt.h>

#include <cstdlib>
#include <string>

#include "app/main_app.h"
#include "base/heap_release.h"
#include "base/log_line.h"
#include "base/stop_signals.h"

int main() {
  capture_stop_signals();
  tune_heap_for_long_runs();
  unsigned version = static_cast<unsigned>(srt_getversion());
  int startup = srt_startup();
  if (startup < 0) {
    LogLine() << "SRT STARTUP FAILED " << startup;
  } else {
    LogLine() << "SRT STARTUP SUCCESS " << startup;
  }
  srt_setloglevel(3);
  LogLine() << "BUILD DATE: " << __DATE__;
  LogLine() << "SRT VERSION:" << ((version >> 16) & 0xff) << "." << ((version >> 8) & 0xff) << "."
            << (version & 0xff);
  std::string failed_start;
  {
    MainApp app;
    failed_start = app.failed_start();
  }
  // Ends libsrt's own threads before the static destructors run.
  srt_cleanup();
  if (failed_start.empty()) return 0;
  // A service manager restarts a gateway that ends with a failure status.
  LogLine() << "*** START-UP FAILED: " << failed_start << ", EXIT STATUS " << EXIT_FAILURE;
  return EXIT_FAILURE;
}
