#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"

enum class ApplyResult {
  applied,      // parsed, published and (when asked) saved
  bad_format,   // no accepted entry: settings and file unchanged
  bad_values,   // a value cannot be applied (see the problems): settings and file unchanged
  save_failed,  // well-formed but the file could not be written: settings and file unchanged
};

struct ApplyOutcome {
  ApplyResult result = ApplyResult::applied;
  std::vector<SettingsProblem> problems;  // for bad_values
};

// The gateway's settings, parsed from config.ini. The text is parsed once, here, and
// published as an immutable Settings; readers take a snapshot and keep it for a whole
// caller or request. `snapshot` runs on any thread (SRT listener, libsrt's receiver
// thread, HTTP workers), `load` on the main thread at start, `apply` on HTTP threads.
class ConfigStore {
 public:
  explicit ConfigStore(std::string path);

  // Reads the file and publishes it without saving; a missing file leaves every key at
  // its default (logged). A value that cannot be applied is logged once, with its key,
  // line and reason, and its default applies, or the entry is left out, or (access
  // settings) the callers it concerns are refused. False, with a log line naming the
  // path and the system's reason, when the file exists but cannot be read: the
  // settings then stay at their defaults.
  bool load();
  // The file's content exactly as stored on disk; empty when it cannot be read.
  std::string read_text() const;
  // Parses text as it comes over HTTP: when every value can be applied, replaces the
  // settings and, with save, first writes the text to the file (a temporary file
  // renamed over the old one). Otherwise nothing changes and the problems are given.
  ApplyOutcome apply(const std::string& text, bool save);
  std::shared_ptr<const Settings> snapshot() const;

 private:
  void publish(const ParsedSettings& parsed);

  // set at construction
  const std::string file_path;

  // held for a whole apply, so that the file and the settings always hold the same text
  std::mutex apply_mutex;
  // guarded by mutex: replaced whole, never changed
  mutable std::mutex mutex;
  std::shared_ptr<const Settings> settings = std::make_shared<const Settings>();
};
